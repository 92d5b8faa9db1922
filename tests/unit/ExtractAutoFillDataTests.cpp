#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "src/common/vrxrunonce/AutoFillData.h"
#include "src/common/vrxrunonce/VrxRunOnce.h"
#include "support/SecurityDescriptor.h"
#include "support/UniqueAny.h"
#include "tests/support/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ProductDataFolder.h"
#include "tests/support/Registry.h"
#include "tests/support/Signing.h"

using namespace VrxTest;

namespace {

LogRecord ActionRecord(DWORD severity, int line, const std::wstring& text) {
    return {severity, L"VrxRunOnce", L"ExtractAutoFillData", line, text};
}

const LogRecord kEntering = ActionRecord(3, 1129, L"ExtractAutoFillData: Entering..");
const LogRecord kExiting = ActionRecord(3, 1209, L"ExtractAutoFillData: Exiting..");
const LogRecord kInvalidPath =
    ActionRecord(4, 1134, L"ExtractAutoFillData Error Invalid db name and path");
const LogRecord kNotFound =
    ActionRecord(4, 1204, L"ExtractAutoFillData Error Unable to find resource");
const LogRecord kEmpty = ActionRecord(4, 1183, L"ExtractAutoFillData Error ResourceSize 0");
const LogRecord kDaclFailed = ActionRecord(4, 1155, L"Failed to retrive dacl info\n");

LogRecord Refused(const std::wstring& path) {
    return {4, L"src\\includes\\hmodule",
            L"CHModuleT<struct TStatBuffer<260>,struct TVRXVars>::Load", 145,
            L"Unable to validate file: " + path + L" \r\n"};
}

LogRecord WriteFailed(const std::wstring& database, DWORD error) {
    return ActionRecord(4, 1207,
                        L"ExtractAutoFillData Error Unable to write db file " + database +
                            L", error " + std::to_wstring(error));
}

using Records = std::vector<LogRecord>;

// An install folder named by "Install Dir" and a product data folder that the test starts
// without and that goes when it ends.
class ExtractAutoFillDataTest : public ProductRegistryTest {
protected:
    void SetUp() override {
        ProductRegistryTest::SetUp();
        SetString(kVrxKey, L"Install Dir", install.Path());
    }

    std::wstring LibraryPath() const { return install / L"VRXAutoFillRes.dll"; }
    void Install(const wchar_t* fixture) { CopyFileTo(SigningFixture(fixture), LibraryPath()); }

    // Runs the action with a validator that accepts the test publisher; the records it wrote.
    Records Run(int expectedResult) {
        Tessel::CFileValidator validator(TestSignatureConfig());
        ClearLogRecords();
        EXPECT_EQ(expectedResult, VrxRunOnce::ExtractAutoFillDatabase(validator));
        EXPECT_FALSE(IsModuleLoaded(LibraryPath())) << "the resource library is freed";
        EXPECT_FALSE(FileExists(data.Database() + L".new")) << "no partial file is left";
        return LogRecords();
    }

    ScratchFolder install;
    ProductDataFolder data;
};

const std::string& DatabaseBytes() {
    static const std::string bytes = ReadTextFile(SigningFixture(L"autofill.dat"));
    return bytes;
}

}  // namespace

TEST_F(ExtractAutoFillDataTest, WritesTheResourceBytesUnchangedAndReplacesThemWhole) {
    ASSERT_GT(DatabaseBytes().size(), 65536u);
    Install(L"autofill\\VRXAutoFillRes.dll");
    EXPECT_EQ((Records{kEntering, kExiting}), Run(0));
    EXPECT_TRUE(DatabaseBytes() == ReadTextFile(data.Database()));

    // A longer file in its place is replaced, not written over.
    WriteTextFile(data.Database(), std::string(DatabaseBytes().size() * 2, 'x'));
    EXPECT_EQ((Records{kEntering, kExiting}), Run(0));
    EXPECT_TRUE(DatabaseBytes() == ReadTextFile(data.Database()));

    if (!RunningUnderWine()) {
        // Wine stores no folder DACL, so what was granted can be read back on Windows only.
        Tessel::CDaclEditor dacl;
        ASSERT_TRUE(Tessel::ReadNamedDacl(data.Path().c_str(), SE_FILE_OBJECT, &dacl));
        const Tessel::CSecurityId everyone = Tessel::EveryoneSid();
        EXPECT_FALSE(dacl.RemoveEntriesForSid(everyone.Sid()));
    }
}

TEST_F(ExtractAutoFillDataTest, AnUnsignedOrMissingLibraryIsNeverLoadedAndTheDatabaseIsKept) {
    Install(L"autofill-unsigned\\VRXAutoFillRes.dll");
    EXPECT_EQ((Records{kEntering, Refused(LibraryPath()), kNotFound}), Run(1));
    EXPECT_FALSE(FileExists(data.Database()));

    WriteTextFile(data.Database(), "earlier database");
    ASSERT_TRUE(::DeleteFileW(LibraryPath().c_str()));
    EXPECT_EQ((Records{kEntering, Refused(LibraryPath()), kNotFound}), Run(1));
    EXPECT_EQ("earlier database", ReadTextFile(data.Database()));
}

TEST_F(ExtractAutoFillDataTest, ALibraryWithoutTheResourceOrWithAnEmptyOneWritesNothing) {
    Install(L"signed.dll");
    EXPECT_EQ((Records{kEntering, kNotFound}), Run(1));
    Install(L"autofill-empty\\VRXAutoFillRes.dll");
    EXPECT_EQ((Records{kEntering, kEmpty}), Run(1));
    EXPECT_FALSE(FileExists(data.Database()));
}

TEST_F(ExtractAutoFillDataTest, WithoutAnInstallFolderThatNamesTheLibraryNothingIsLoaded) {
    Install(L"autofill\\VRXAutoFillRes.dll");
    DeleteValue(kVrxKey, L"Install Dir");
    EXPECT_EQ((Records{kEntering, kNotFound}), Run(1));
    // A folder that leaves no room for the library's name within a path.
    SetString(kVrxKey, L"Install Dir", L"C:\\" + std::wstring(240, L'a'));
    EXPECT_EQ((Records{kEntering, kNotFound}), Run(1));
    EXPECT_FALSE(FileExists(data.Database()));
}

TEST_F(ExtractAutoFillDataTest, ADatabaseThatCannotBeReplacedIsKeptAndTheFailureReported) {
    Install(L"autofill\\VRXAutoFillRes.dll");
    MakeFolder(data.Path());
    WriteTextFile(data.Database(), "earlier database");
    {
        // Someone reads the database and lets nobody delete it meanwhile.
        const Tessel::UniqueFileHandle reader(::CreateFileW(data.Database().c_str(), GENERIC_READ,
                                                            FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                            nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader);
        EXPECT_EQ((Records{kEntering, WriteFailed(data.Database(), ERROR_ACCESS_DENIED)}), Run(1));
    }
    EXPECT_EQ("earlier database", ReadTextFile(data.Database()));

    // The new database cannot even be written: a folder stands where it would go first, and the
    // new file is only ever created, never opened through whatever stands at its name.
    MakeFolder(data.Database() + L".new");
    EXPECT_EQ((Records{kEntering, WriteFailed(data.Database(), ERROR_FILE_EXISTS)}), Run(1));
    EXPECT_EQ("earlier database", ReadTextFile(data.Database()));
    ASSERT_TRUE(::RemoveDirectoryW((data.Database() + L".new").c_str()));

    // A folder stands where the database goes.
    ASSERT_TRUE(::DeleteFileW(data.Database().c_str()));
    MakeFolder(data.Database());
    EXPECT_EQ((Records{kEntering, WriteFailed(data.Database(), ERROR_ACCESS_DENIED)}), Run(1));
}

TEST_F(ExtractAutoFillDataTest, ADataFolderThatCannotBeMadeIsAnInvalidPath) {
    const std::wstring maker = data.Path().substr(0, data.Path().rfind(L'\\'));
    if (FolderExists(maker)) {
        GTEST_SKIP() << "the maker's folder is in use: a file cannot stand in its place";
    }
    Install(L"autofill\\VRXAutoFillRes.dll");
    WriteTextFile(maker, "a file where the maker's folder belongs");
    EXPECT_EQ((Records{kEntering, kInvalidPath}), Run(1));
}

TEST_F(ExtractAutoFillDataTest, TheExportAdmitsOnlyWhatTheShippedValidationAccepts) {
    // The shipped configuration pins no certificate and there is no validation service here.
    Install(L"autofill\\VRXAutoFillRes.dll");
    EXPECT_EQ(1, ExtractAutoFillData(nullptr, nullptr, nullptr, 0));
    EXPECT_EQ((Records{kEntering, Refused(LibraryPath()), kNotFound}), LogRecords());
    EXPECT_FALSE(IsModuleLoaded(LibraryPath()));
    EXPECT_FALSE(FileExists(data.Database()));
}

namespace {

// Wine keeps the DACL written to a registry key, not one written to a folder: the rights step is
// checked on a key.
class DataFolderAccessTest : public ProductRegistryTest {
protected:
    static constexpr const wchar_t* kKey = L"SOFTWARE\\Varlen\\VRX\\DaclTest";
    static constexpr const wchar_t* kName = L"MACHINE\\SOFTWARE\\Varlen\\VRX\\DaclTest";

    void SetUp() override {
        ProductRegistryTest::SetUp();
        // An object name carries no view: it names the key in the process's own view.
        CreateKey(kKey, kNativeView);
    }
    void TearDown() override {
        AllowKeyAccess(kKey, kNativeView);
        ProductRegistryTest::TearDown();
    }

    void SetDacl(PACL dacl) {
        Tessel::UniqueHKey key;
        ASSERT_EQ(0,
                  ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, WRITE_DAC | kNativeView, key.put()));
        SECURITY_DESCRIPTOR descriptor;
        ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
        ASSERT_EQ(0, ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor));
    }

    // "A|D <sid> <mask> <flags>" for each explicit entry of the key's DACL, in order.
    std::vector<std::wstring> ExplicitEntries() {
        Tessel::CDaclEditor dacl;
        EXPECT_TRUE(Tessel::ReadNamedDacl(kName, SE_REGISTRY_KEY, &dacl));
        std::vector<std::wstring> described;
        for (const Tessel::CAceEntry& entry : dacl.Entries()) {
            wchar_t* sid = nullptr;
            if (entry.IsInherited() || !::ConvertSidToStringSidW(entry.Sid(), &sid)) {
                continue;
            }
            const Tessel::UniqueLocalMem sidOwner(sid);
            wchar_t text[64];
            swprintf(text, 64, L"%ls %ls %lX %u", entry.IsAllow() ? L"A" : L"D", sid, entry.Mask(),
                     entry.Flags());
            described.push_back(text);
        }
        return described;
    }

    const Tessel::CSecurityId everyone = Tessel::EveryoneSid();
    const Tessel::CSecurityId users = Tessel::AuthenticatedUsersSid();
    const Tessel::CSecurityId guests = Tessel::GuestsSid();
};

}  // namespace

TEST_F(DataFolderAccessTest, EveryoneMakesWayForUsersAndGuestsOnEveryRun) {
    alignas(DWORD) BYTE buffer[256];
    const PACL start = reinterpret_cast<PACL>(buffer);
    ASSERT_TRUE(::InitializeAcl(start, sizeof(buffer), ACL_REVISION));
    // Everyone's entries go, whether they allow or deny.
    ::AddAccessDeniedAceEx(start, ACL_REVISION, 0, KEY_SET_VALUE, everyone.Sid());
    ::AddAccessAllowedAceEx(start, ACL_REVISION, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS,
                            everyone.Sid());
    ::AddAccessAllowedAceEx(start, ACL_REVISION, 0, KEY_READ, guests.Sid());
    SetDacl(start);

    VrxRunOnce::OpenDataFolderAccess(kName, SE_REGISTRY_KEY);
    const std::vector<std::wstring> once = {L"A S-1-5-32-546 20019 0", L"A S-1-5-11 101F01FF 3",
                                            L"A S-1-5-32-546 C0000000 3"};
    EXPECT_EQ(once, ExplicitEntries());
    // The editor does not look for equal entries: a second run adds them again.
    VrxRunOnce::OpenDataFolderAccess(kName, SE_REGISTRY_KEY);
    std::vector<std::wstring> twice = once;
    twice.insert(twice.end(), once.begin() + 1, once.end());
    EXPECT_EQ(twice, ExplicitEntries());
    EXPECT_EQ(Records{}, LogRecords());
}

TEST_F(DataFolderAccessTest, ANullOrUnreadableDaclIsLeftAloneSilently) {
    SetDacl(nullptr);
    VrxRunOnce::OpenDataFolderAccess(kName, SE_REGISTRY_KEY);
    Tessel::CDaclEditor dacl;
    EXPECT_FALSE(Tessel::ReadNamedDacl(kName, SE_REGISTRY_KEY, &dacl)) << "still a null DACL";
    VrxRunOnce::OpenDataFolderAccess(L"MACHINE\\SOFTWARE\\Varlen\\VRX\\Missing", SE_REGISTRY_KEY);
    // Under Wine the folder's DACL is read from its mode and the write stores nothing.
    ScratchFolder folder;
    VrxRunOnce::OpenDataFolderAccess(folder.Path().c_str(), SE_FILE_OBJECT);
    EXPECT_EQ(Records{}, LogRecords());
}

TEST_F(DataFolderAccessTest, AnEditorErrorIsLoggedAndTheDaclKept) {
    // As many entries as an ACL holds: with the two new ones the ACL would pass its 64 KB limit.
    Tessel::CDaclEditor full;
    const DWORD entries =
        (0xFFFF - sizeof(ACL)) / (sizeof(ACCESS_ALLOWED_ACE) - 4 + users.Length());
    for (DWORD i = 0; i < entries; ++i) {
        full.AddAllowEntry(users.Sid(), KEY_READ + i, 0);
    }
    SetDacl(full.BuildAcl());
    VrxRunOnce::OpenDataFolderAccess(kName, SE_REGISTRY_KEY);
    EXPECT_EQ(Records{kDaclFailed}, LogRecords());
    EXPECT_EQ(entries, ExplicitEntries().size());
}
