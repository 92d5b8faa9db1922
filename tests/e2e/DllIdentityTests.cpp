#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RunDll32.h"
#include "support/UniqueAny.h"
#include "tests/support/Registry.h"

using VrxTest::DllUnderTest;

namespace {

std::wstring VersionString(const std::vector<BYTE>& info, const wchar_t* name) {
    void* text = nullptr;
    UINT chars = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!::VerQueryValueW(info.data(), query.c_str(), &text, &chars) || text == nullptr) {
        return L"<missing>";
    }
    return static_cast<const wchar_t*>(text);
}

}  // namespace

TEST(DllIdentity, ExportsTheTenActionsByNameWithAlphabeticalOrdinals) {
    const Tessel::UniqueHModule dll(::LoadLibraryW(DllUnderTest().c_str()));
    ASSERT_TRUE(dll) << ::GetLastError();
    const char* names[] = {
        "AdjustFiltLevel",     "CheckOutlook",       "ConvertUFilters", "DeleteVRXTask",
        "ExtractAutoFillData", "ExtractContent",     "MoveApfFile",     "RemoveServiceDependency",
        "SetInstallDate",      "SignalContentUpdate"};
    for (WORD ordinal = 1; ordinal <= 10; ++ordinal) {
        const FARPROC byName = ::GetProcAddress(dll.get(), names[ordinal - 1]);
        EXPECT_NE(nullptr, byName) << names[ordinal - 1];
        EXPECT_EQ(byName, ::GetProcAddress(dll.get(), MAKEINTRESOURCEA(ordinal)))
            << names[ordinal - 1];
    }
    EXPECT_EQ(nullptr, ::GetProcAddress(dll.get(), MAKEINTRESOURCEA(11)));
}

TEST(DllIdentity, VersionResourceNamesTheProduct) {
    const std::wstring path = DllUnderTest();
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(0u, size);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    EXPECT_EQ(MAKELONG(9, 18), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(0, 161), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);

    EXPECT_EQ(L"VrxRO", VersionString(info, L"InternalName"));
    EXPECT_EQ(L"vrxro.dll", VersionString(info, L"OriginalFilename"));
    EXPECT_EQ(L"Varlen Anti-Spam VrxRunOnce Dynamic Link Library",
              VersionString(info, L"FileDescription"));
    EXPECT_EQ(L"Varlen Anti-Spam", VersionString(info, L"ProductName"));
    EXPECT_EQ(L"18.9", VersionString(info, L"ProductVersion"));
}

class DllLoad : public VrxTest::ProductRegistryTest {};

TEST_F(DllLoad, LoadingAndUnloadingWithoutAnActionTouchesNothing) {
    // Only logging is configured at load; no registry key may appear.
    HKEY probe = nullptr;
    ASSERT_NE(ERROR_SUCCESS,
              ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varlen", 0, KEY_READ, &probe));
    for (int round = 0; round < 3; ++round) {
        const HMODULE dll = ::LoadLibraryW(DllUnderTest().c_str());
        ASSERT_NE(nullptr, dll);
        EXPECT_TRUE(::FreeLibrary(dll));
    }
    EXPECT_NE(ERROR_SUCCESS,
              ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varlen", 0, KEY_READ, &probe));
}
