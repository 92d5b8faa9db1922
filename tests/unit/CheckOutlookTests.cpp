#include <gtest/gtest.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "src/common/vrxrunonce/OutlookCleanup.h"
#include "support/OSInfo.h"
#include "tests/support/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Profiles.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

namespace {

const LogRecord kAccessDenied{
    4, L"VrxRunOnce", L"CheckOutlook", 829,
    L"checkOutlook: fail to delete extend.dat (outlook cache), Access is denied"};

LogRecord NoProfileFolder(const std::wstring& path) {
    return {4, L"VrxRunOnce", L"CheckOutlook", 779, L"Unable to get user profile path_" + path};
}

// What the substituted lookups answer.
DWORD g_release = Tessel::kOSReleaseWindows7;
HRESULT g_profileResult = S_OK;
const wchar_t* g_profilePath = L"";

// The current folder of the process, put back when the object goes.
class CurrentFolder {
public:
    explicit CurrentFolder(const std::wstring& folder) {
        ::GetCurrentDirectoryW(MAX_PATH, m_previous);
        EXPECT_TRUE(::SetCurrentDirectoryW(folder.c_str()));
    }
    ~CurrentFolder() { ::SetCurrentDirectoryW(m_previous); }

private:
    wchar_t m_previous[MAX_PATH] = {};
};

class CheckOutlookTest : public ProductRegistryTest {
protected:
    void SetUp() override {
        profiles.reset();
        extensions.reset();
        ProductRegistryTest::SetUp();
        extensions = std::make_unique<ExchangeExtensionsKey>();
        profiles = std::make_unique<ProfileFolders>();
    }
    void TearDown() override {
        profiles.reset();
        extensions.reset();
        ProductRegistryTest::TearDown();
    }

    // A new profile holding Outlook's cache in the layout of Vista and later.
    std::wstring ProfileWithCache(bool readOnly = false) {
        const std::wstring profile = profiles->Add();
        ProfileFolders::WriteFile(profile, kCacheSinceVista, readOnly);
        return profile;
    }

    // Runs the clean-up with the system's profile folder, as release `release`.
    static std::vector<LogRecord> Run(DWORD release = Tessel::kOSReleaseWindows7) {
        g_release = release;
        VrxRunOnce::OutlookCleanupSources sources = VrxRunOnce::SystemOutlookCleanupSources();
        sources.releaseId = [] { return g_release; };
        ClearLogRecords();
        VrxRunOnce::DeleteOutlookExtensionCaches(sources);
        return LogRecords();
    }

    std::unique_ptr<ExchangeExtensionsKey> extensions;
    std::unique_ptr<ProfileFolders> profiles;
};

}  // namespace

TEST_F(CheckOutlookTest, DeletesTheCacheOnlyInProfilesThatHoldIt) {
    extensions->Register();
    const std::wstring withCache = ProfileWithCache();
    ProfileFolders::WriteFile(withCache, L"AppData\\Local\\Microsoft\\Outlook\\outlook.pst");
    const std::wstring otherFiles = profiles->Add();
    ProfileFolders::WriteFile(otherFiles, L"AppData\\Local\\Microsoft\\Outlook\\extend.bak");
    const std::wstring empty = profiles->Add();

    EXPECT_TRUE(Run().empty());
    EXPECT_FALSE(ProfileFolders::Exists(withCache, kCacheSinceVista));
    EXPECT_TRUE(
        ProfileFolders::Exists(withCache, L"AppData\\Local\\Microsoft\\Outlook\\outlook.pst"));
    EXPECT_TRUE(
        ProfileFolders::Exists(otherFiles, L"AppData\\Local\\Microsoft\\Outlook\\extend.bak"));
    EXPECT_TRUE(FolderExists(empty));
}

TEST_F(CheckOutlookTest, TheReleaseChoosesTheProfileLayout) {
    struct Row {
        const char* name;
        DWORD release;
        bool sinceVista;
    };
    const std::vector<Row> rows = {
        {"undetermined", Tessel::kOSReleaseUndetermined, false},
        {"XP", Tessel::kOSReleaseWindowsXP, false},
        {"Vista", Tessel::kOSReleaseWindowsVista, true},
        {"Windows 10", Tessel::kOSReleaseWindows10, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        extensions->Register();
        const std::wstring profile = ProfileWithCache();
        ProfileFolders::WriteFile(profile, kCacheBeforeVista);

        EXPECT_TRUE(Run(row.release).empty());
        EXPECT_EQ(!row.sinceVista, ProfileFolders::Exists(profile, kCacheSinceVista));
        EXPECT_EQ(row.sinceVista, ProfileFolders::Exists(profile, kCacheBeforeVista));
        TearDown();
    }
}

TEST_F(CheckOutlookTest, EachLockedCacheIsReportedAndTheSweepGoesOn) {
    // A read-only file refuses deletion with ERROR_ACCESS_DENIED.
    extensions->Register();
    const std::vector<std::wstring> locked = {ProfileWithCache(true), ProfileWithCache(true)};
    const std::vector<std::wstring> open = {ProfileWithCache(), ProfileWithCache()};

    EXPECT_EQ((std::vector<LogRecord>{kAccessDenied, kAccessDenied}), Run());
    for (const std::wstring& profile : locked) {
        EXPECT_TRUE(ProfileFolders::Exists(profile, kCacheSinceVista));
    }
    for (const std::wstring& profile : open) {
        EXPECT_FALSE(ProfileFolders::Exists(profile, kCacheSinceVista));
    }
}

TEST_F(CheckOutlookTest, OnlyAReadableStringRegistrationStartsTheSweep) {
    const std::wstring fills(MAX_PATH, L'r');  // with its terminator, exactly the read buffer
    struct Row {
        const char* name;
        DWORD type;
        std::wstring text;
        size_t bytes;  // stored bytes of `text`
        bool registered;
    };
    const std::vector<Row> rows = {
        {"a number", REG_DWORD, L"\x0001\x0000", sizeof(DWORD), false},
        {"not terminated", REG_SZ, L"abc", 3 * sizeof(wchar_t), false},
        {"odd length", REG_SZ, L"abc", 3 * sizeof(wchar_t) + 1, false},
        {"longer than the read buffer", REG_SZ, fills + L"r", (fills.size() + 2) * sizeof(wchar_t),
         false},
        {"fills the read buffer", REG_SZ, fills, (fills.size() + 1) * sizeof(wchar_t), true},
        {"expandable", REG_EXPAND_SZ, L"%ProgramFiles%", 15 * sizeof(wchar_t), true},
        {"empty", REG_SZ, L"", sizeof(wchar_t), true},
        {"no data", REG_SZ, L"", 0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        SetRaw(kExchangeExtensionsKey, kOutlookExtensionValue, row.type, row.text.c_str(),
               row.bytes);
        const std::wstring profile = ProfileWithCache();
        EXPECT_TRUE(Run().empty());
        EXPECT_EQ(!row.registered, ProfileFolders::Exists(profile, kCacheSinceVista));
        TearDown();
    }

    // No value in the key, and no key at all (as on 32-bit Windows, which has no Wow6432Node).
    SetUp();
    const std::wstring profile = ProfileWithCache();
    if (!extensions->Existed()) {
        EXPECT_TRUE(Run().empty());
        EXPECT_TRUE(ProfileFolders::Exists(profile, kCacheSinceVista));
    }
    CreateKey(kExchangeExtensionsKey);
    EXPECT_TRUE(Run().empty());
    EXPECT_TRUE(ProfileFolders::Exists(profile, kCacheSinceVista));
}

TEST_F(CheckOutlookTest, WithoutWriteAccessToTheRegistrationNothingIsDone) {
    extensions->Register();
    const std::wstring profile = ProfileWithCache();
    DenyKeyAccess(kExchangeExtensionsKey, KEY_SET_VALUE);
    EXPECT_TRUE(Run().empty());
    EXPECT_TRUE(ProfileFolders::Exists(profile, kCacheSinceVista));

    AllowKeyAccess(kExchangeExtensionsKey);
    EXPECT_TRUE(Run().empty());
    EXPECT_FALSE(ProfileFolders::Exists(profile, kCacheSinceVista));
}

TEST_F(CheckOutlookTest, ACachePathBeyondAPathBufferIsSkipped) {
    // The longest profile name whose cache path, terminator included, fits 260 characters.
    const size_t longest = MAX_PATH - 1 - profiles->Parent().size() - 1 - wcslen(kCacheSinceVista);
    extensions->Register();
    const std::wstring fits = profiles->Add(longest);
    const std::wstring tooLong = profiles->Add(longest + 1);
    ProfileFolders::WriteFile(fits, kCacheSinceVista);
    ProfileFolders::WriteFile(tooLong, kCacheSinceVista);

    EXPECT_TRUE(Run().empty());
    EXPECT_FALSE(ProfileFolders::Exists(fits, kCacheSinceVista));
    EXPECT_TRUE(ProfileFolders::Exists(tooLong, kCacheSinceVista));
}

TEST_F(CheckOutlookTest, TheSweepStaysInsideTheFolderOfTheProfiles) {
    // "." and ".." would name <profiles>\AppData\... and the same beside the profiles folder.
    const std::wstring parent = profiles->Parent().substr(0, profiles->Parent().size() - 1);
    const std::wstring grandparent = parent.substr(0, parent.find_last_of(L'\\'));
    for (const std::wstring& folder : {parent, grandparent}) {
        ASSERT_FALSE(FolderExists(folder + L"\\AppData")) << "left alone: not made by this test";
        profiles->RemoveLater(folder + L"\\AppData");
        ProfileFolders::WriteFile(folder, kCacheSinceVista);
    }
    extensions->Register();
    const std::wstring profile = ProfileWithCache();

    EXPECT_TRUE(Run().empty());
    EXPECT_FALSE(ProfileFolders::Exists(profile, kCacheSinceVista));
    EXPECT_TRUE(ProfileFolders::Exists(parent, kCacheSinceVista));
    EXPECT_TRUE(ProfileFolders::Exists(grandparent, kCacheSinceVista));
}

TEST_F(CheckOutlookTest, WithoutAFullProfileFolderNothingIsSwept) {
    // Every cache below the current folder would be in reach of a sweep relative to it.
    ScratchFolder work;
    for (const wchar_t* name : {L"Cx", L"Dx"}) {
        for (const wchar_t* cache : {kCacheSinceVista, kCacheBeforeVista}) {
            ProfileFolders::WriteFile(work / name, cache);
        }
    }
    const CurrentFolder current(work.Path());
    struct Row {
        const char* name;
        HRESULT result;
        std::wstring path;
        std::wstring logged;
    };
    // The current folder and its drive, written without the drive, or on the drive without its
    // root.
    const std::wstring rooted = work.Path().substr(2) + L"\\Default";
    const std::vector<Row> rows = {
        {"lookup failed", E_FAIL, L"", L""},
        {"lookup failed after writing", E_FAIL, L"C:\\users\\Default", L""},
        {"relative folder", S_OK, L"Default", L"Default"},
        {"drive-relative folder", S_OK, L"C:Default", L"C:Default"},
        {"folder on the current drive", S_OK, rooted, rooted},
        {"relative folder on a drive", S_OK, L"C:.\\Default", L"C:.\\Default"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        extensions->Register();
        g_profileResult = row.result;
        g_profilePath = row.path.c_str();
        const VrxRunOnce::OutlookCleanupSources sources{
            [](wchar_t* path) {
                wcscpy(path, g_profilePath);
                return g_profileResult;
            },
            [] { return DWORD{Tessel::kOSReleaseWindows10}; }};
        VrxRunOnce::DeleteOutlookExtensionCaches(sources);

        EXPECT_EQ(std::vector<LogRecord>{NoProfileFolder(row.logged)}, LogRecords());
        for (const wchar_t* name : {L"Cx", L"Dx"}) {
            for (const wchar_t* cache : {kCacheSinceVista, kCacheBeforeVista}) {
                EXPECT_TRUE(ProfileFolders::Exists(work / name, cache));
            }
        }
        TearDown();
    }
}
