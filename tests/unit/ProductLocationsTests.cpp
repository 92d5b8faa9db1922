#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>

#include "src/common/vrxrunonce/ProductLocations.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

namespace {

class ProductLocationsTest : public ProductRegistryTest {
protected:
    static std::wstring ProgramFilesFallback() {
        wchar_t folder[MAX_PATH] = {};
        ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, folder);
        return std::wstring(folder) + L"\\Varlen\\VRX";
    }

    // GetVRXInstallPath as its callers use it: a zero-filled buffer of 260 characters.
    static bool InstallPath(std::wstring& path) {
        wchar_t buffer[MAX_PATH] = {};
        const bool found = GetVRXInstallPath(buffer, MAX_PATH);
        path.assign(buffer, wcsnlen(buffer, MAX_PATH));
        return found;
    }
};

}  // namespace

TEST_F(ProductLocationsTest, InstallPathComesFromTheRegistryWhateverItsType) {
    std::wstring path;
    SetString(kVrxKey, L"Install Dir", L"D:\\Apps\\VRX");
    EXPECT_TRUE(InstallPath(path));
    EXPECT_EQ(L"D:\\Apps\\VRX", path);

    // The type is not examined: four bytes of a DWORD are taken as they are.
    SetDword(kVrxKey, L"Install Dir", 0x00420041);
    EXPECT_TRUE(InstallPath(path));
    EXPECT_EQ(L"AB", path);
}

TEST_F(ProductLocationsTest, InstallPathFallsBackToProgramFilesWhenTheValueIsUnusable) {
    std::wstring path;
    EXPECT_TRUE(InstallPath(path)) << "no product key";
    EXPECT_EQ(ProgramFilesFallback(), path);

    CreateKey(kVrxKey);
    EXPECT_TRUE(InstallPath(path)) << "no value";
    EXPECT_EQ(ProgramFilesFallback(), path);

    SetString(kVrxKey, L"Install Dir", std::wstring(300, L'x'));
    EXPECT_TRUE(InstallPath(path)) << "longer than the buffer";
    EXPECT_EQ(ProgramFilesFallback(), path);

    // Exactly 260 characters and no terminator: the buffer would be left unterminated.
    SetRaw(kVrxKey, L"Install Dir", REG_SZ, std::wstring(MAX_PATH, L'y').c_str(),
           MAX_PATH * sizeof(wchar_t));
    EXPECT_TRUE(InstallPath(path)) << "unterminated";
    EXPECT_EQ(ProgramFilesFallback(), path);
}

TEST_F(ProductLocationsTest, InstallPathRefusesAMissingBufferAndOneTooSmallForTheFallback) {
    wchar_t untouched[4] = {L'a', L'b', L'c', L'\0'};
    EXPECT_FALSE(GetVRXInstallPath(nullptr, MAX_PATH));
    EXPECT_FALSE(GetVRXInstallPath(untouched, 0));
    EXPECT_STREQ(L"abc", untouched);
    EXPECT_FALSE(GetVRXInstallPath(untouched, 4));  // no registry value, fallback does not fit
}

TEST_F(ProductLocationsTest, ReadInstallDirUsesTheHeldKeyAndAcceptsOnlyStrings) {
    std::wstring dir;
    CRegKeyHolder holder;
    EXPECT_FALSE(ReadVRXInstallDir(holder, dir)) << "no product key";
    EXPECT_FALSE(holder.IsOpen());

    SetString(kVrxKey, L"Install Dir", L"C:\\VRX");
    EXPECT_TRUE(ReadVRXInstallDir(holder, dir));
    EXPECT_EQ(L"C:\\VRX", dir);
    EXPECT_TRUE(holder.IsOpen());

    // A key already held is used unchanged, whichever key it is.
    SetString(kSubstituteKey, L"Install Dir", L"C:\\Other");
    ASSERT_EQ(ERROR_SUCCESS,
              holder.Open(HKEY_LOCAL_MACHINE, kSubstituteKey, KEY_READ | KEY_WOW64_64KEY));
    EXPECT_TRUE(ReadVRXInstallDir(holder, dir));
    EXPECT_EQ(L"C:\\Other", dir);

    CRegKeyHolder fresh;
    SetDword(kVrxKey, L"Install Dir", 0x00420041);
    EXPECT_FALSE(ReadVRXInstallDir(fresh, dir));
}

TEST_F(ProductLocationsTest, InstallDirWithSeparatorCountsTerminatorAndSeparator) {
    wchar_t buffer[MAX_PATH];
    EXPECT_EQ(0u, ReadVRXInstallDirWithSeparator(buffer, MAX_PATH)) << "no value";

    SetString(kVrxKey, L"Install Dir", L"C:\\VRX");
    EXPECT_EQ(8u, ReadVRXInstallDirWithSeparator(buffer, MAX_PATH));
    EXPECT_STREQ(L"C:\\VRX\\", buffer);

    const std::wstring longest(MAX_PATH - 2, L'p');
    SetString(kVrxKey, L"Install Dir", longest);
    EXPECT_EQ(static_cast<DWORD>(MAX_PATH), ReadVRXInstallDirWithSeparator(buffer, MAX_PATH));
    EXPECT_EQ(longest + L"\\", buffer);

    SetString(kVrxKey, L"Install Dir", std::wstring(MAX_PATH - 1, L'p'));
    EXPECT_EQ(0u, ReadVRXInstallDirWithSeparator(buffer, MAX_PATH)) << "no room for the separator";

    SetString(kVrxKey, L"Install Dir", L"");
    EXPECT_EQ(0u, ReadVRXInstallDirWithSeparator(buffer, MAX_PATH)) << "empty";
    SetDword(kVrxKey, L"Install Dir", 1);
    EXPECT_EQ(0u, ReadVRXInstallDirWithSeparator(buffer, MAX_PATH)) << "not a string";
}
