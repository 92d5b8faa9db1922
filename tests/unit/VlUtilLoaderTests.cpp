#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "support/VlUtilLoader.h"
#include "tests/support/Files.h"
#include "tests/support/Registry.h"
#include "tests/support/Signing.h"

using namespace VrxTest;
using Tessel::CVlUtilLoader;
using Tessel::VlUtilExport;

namespace {

constexpr const wchar_t* kPlatformKey = L"SOFTWARE\\Varlen\\Platform";
constexpr const wchar_t* kSuiteKey = L"SOFTWARE\\Varlen\\VSC";
constexpr const wchar_t* kInstallDir = L"vlutil32_install_dir";
constexpr const wchar_t* kCommonFilesDir = L"CommonFiles Dir";

// A loader whose administrator check gives a fixed answer.
class FixedAdminLoader : public CVlUtilLoader {
public:
    FixedAdminLoader(Tessel::CFileValidator& validator, bool admin)
        : CVlUtilLoader(validator), m_admin(admin) {}
    bool IsProcessAdmin() const override { return m_admin; }

private:
    bool m_admin;
};

bool TableIsEmpty(const CVlUtilLoader& loader) {
    for (size_t i = 0; i < Tessel::kVlUtilExportCount; ++i) {
        if (loader.Entry(static_cast<VlUtilExport>(i)) != nullptr) {
            return false;
        }
    }
    return true;
}

// No platform key, so every validation is the library's own check with the test configuration.
// "CommonFiles Dir" names a scratch folder. A copy put beside the test executable is removed
// afterwards, also when the test fails.
class VlUtilLoaderTest : public ProductRegistryTest {
protected:
    void SetUp() override {
        ProductRegistryTest::SetUp();
        m_besideExe = ExecutableFolder() + L"\\VlUtil.dll";
        ASSERT_FALSE(FileExists(m_besideExe)) << "a copy beside the test executable wins always";
        SetString(kSuiteKey, kCommonFilesDir, m_common.Path());
    }
    void TearDown() override {
        ::SetFileAttributesW(m_besideExe.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(m_besideExe.c_str());
        ProductRegistryTest::TearDown();
    }

    // Puts a copy of <fixtures>\signing\<kind>\VlUtil.dll into `folder` (created) and gives its
    // path.
    static std::wstring Place(const std::wstring& folder, const wchar_t* kind = L"vlutil") {
        MakeFolder(folder);
        const std::wstring path = folder + L"\\VlUtil.dll";
        CopyFileTo(SigningFixture(std::wstring(kind) + L"\\VlUtil.dll"), path);
        return path;
    }
    std::wstring Versioned(const wchar_t* name) const {
        return m_common / (std::wstring(L"vlutil\\") + name);
    }

    Tessel::CFileValidator m_validator{TestSignatureConfig()};
    ScratchFolder m_common;
    ScratchFolder m_recorded;
    std::wstring m_besideExe;
};

}  // namespace

TEST_F(VlUtilLoaderTest, EachLocationWinsWhenTheOnesBeforeItHaveNoCopy) {
    const std::wstring recorded = Place(m_recorded.Path());
    const std::wstring versioned = Place(Versioned(L"4,2,110,7"));
    const std::wstring common = Place(m_common.Path());
    SetString(kPlatformKey, kInstallDir, m_recorded.Path());
    CopyFileTo(SigningFixture(L"vlutil\\VlUtil.dll"), m_besideExe);

    struct Stage {
        const wchar_t* what;
        std::wstring expected;
    };
    const Stage stages[] = {{L"beside the executable", m_besideExe},
                            {L"the recorded folder", recorded},
                            {L"the newest versioned copy", versioned},
                            {L"the common platform folder", common}};
    const std::wstring* remove[] = {&m_besideExe, &recorded, &versioned, &common};
    for (size_t i = 0; i < ARRAYSIZE(stages); ++i) {
        SCOPED_TRACE(stages[i].what);
        {
            FixedAdminLoader loader(m_validator, false);
            ASSERT_EQ(0u, loader.Load());
            EXPECT_EQ(stages[i].expected, ModuleFilePath(loader.Module()));
            EXPECT_NE(nullptr, loader.VlDeleteTask());
        }
        EXPECT_FALSE(IsModuleLoaded(stages[i].expected)) << "the loader frees its module";
        ASSERT_TRUE(::DeleteFileW(remove[i]->c_str())) << ::GetLastError();
    }
    CVlUtilLoader loader(m_validator);
    EXPECT_EQ(126u, loader.Load());
    EXPECT_EQ(nullptr, loader.Module());
    EXPECT_TRUE(TableIsEmpty(loader));
}

TEST_F(VlUtilLoaderTest, TheNewestVersionWinsByNumberAndAnAdministratorRecordsIt) {
    Place(Versioned(L"4,2,9,1"));
    const std::wstring newest = Place(Versioned(L"4,2,10,0"));
    Place(Versioned(L"latest"));
    Place(Versioned(L"4,2,x,9"));
    Place(Versioned(L"9,9,9"));
    // A file with a version's name is no folder, and a folder with a further attribute is skipped.
    // Wine keeps no read-only attribute on a folder, so the first further attribute the platform
    // keeps stands in.
    WriteTextFile(Versioned(L"9,9,9,9"), "not a folder");
    const std::wstring marked = Versioned(L"8,0,0,0");
    Place(marked);
    DWORD kept = 0;
    for (const DWORD extra :
         {static_cast<DWORD>(FILE_ATTRIBUTE_READONLY), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE),
          static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN)}) {
        ::SetFileAttributesW(marked.c_str(), extra);
        kept = ::GetFileAttributesW(marked.c_str()) & extra;
        if (kept != 0) {
            break;
        }
    }
    ASSERT_NE(0u, kept) << "no further attribute stays on a folder";

    {
        FixedAdminLoader loader(m_validator, false);
        ASSERT_EQ(0u, loader.Load());
        EXPECT_EQ(newest, ModuleFilePath(loader.Module()));
        EXPECT_FALSE(ReadValue(kPlatformKey, kInstallDir).present)
            << "only an administrator records the folder";
    }
    {
        FixedAdminLoader loader(m_validator, true);
        ASSERT_EQ(0u, loader.Load());
        EXPECT_EQ(newest, ModuleFilePath(loader.Module()));
    }
    const RegValue value = ReadValue(kPlatformKey, kInstallDir);
    const std::wstring folder = Versioned(L"4,2,10,0");
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.type);
    EXPECT_EQ((folder.size() + 1) * sizeof(wchar_t), value.data.size());
    EXPECT_EQ(folder, value.AsString());
    EXPECT_FALSE(ReadValue(kPlatformKey, kInstallDir, KEY_WOW64_32KEY).present)
        << "the 64-bit view only";
    ::SetFileAttributesW(marked.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(VlUtilLoaderTest, OfEqualVersionsTheFirstEnumeratedStays) {
    const std::wstring names[] = {L"4,2,10,0", L"4,2,010,0", L"4,02,10,0"};
    for (const std::wstring& name : names) {
        Place(Versioned(name.c_str()));
    }
    WIN32_FIND_DATAW found = {};
    HANDLE find = ::FindFirstFileW((m_common / L"vlutil\\*,*,*,*").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    const std::wstring first = found.cFileName;
    ::FindClose(find);

    FixedAdminLoader loader(m_validator, false);
    ASSERT_EQ(0u, loader.Load());
    EXPECT_EQ(Versioned(first.c_str()) + L"\\VlUtil.dll", ModuleFilePath(loader.Module()));
}

TEST_F(VlUtilLoaderTest, CopiesThatFailValidationAreNeverLoaded) {
    const std::wstring unsignedRecorded = Place(m_recorded.Path(), L"vlutil-unsigned");
    const std::wstring unsignedNewest = Place(Versioned(L"5,0,0,0"), L"vlutil-unsigned");
    const std::wstring signedOlder = Place(Versioned(L"4,0,0,0"));
    SetString(kPlatformKey, kInstallDir, m_recorded.Path());
    {
        FixedAdminLoader loader(m_validator, true);
        EXPECT_EQ(5u, loader.TryLoadFromFolder(m_recorded.Path().c_str()));
        EXPECT_EQ(nullptr, loader.Module());
        // The newest folder's copy is refused, so the search goes on to the common folder, which
        // has none: the older signed copy is not a fallback.
        EXPECT_EQ(126u, loader.Load());
        EXPECT_TRUE(TableIsEmpty(loader));
    }
    EXPECT_FALSE(IsModuleLoaded(unsignedRecorded));
    EXPECT_FALSE(IsModuleLoaded(unsignedNewest));
    EXPECT_FALSE(IsModuleLoaded(signedOlder));
    EXPECT_EQ(m_recorded.Path(), ReadValue(kPlatformKey, kInstallDir).AsString())
        << "a refused copy is not recorded";

    // A relative folder is not loaded even when its copy would be accepted: the loader could find
    // another file than the one validated.
    Place(m_recorded / L"relative");
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(m_recorded.Path().c_str()));
    CVlUtilLoader loader(m_validator);
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_PATHNAME), loader.TryLoadFromFolder(L"relative"));
    ::SetCurrentDirectoryW(previous);
    EXPECT_EQ(nullptr, loader.Module());
}

TEST_F(VlUtilLoaderTest, RecordedValuesThatAreNotAFolderAreSkipped) {
    const std::wstring common = Place(m_common.Path());
    Place(m_recorded.Path());
    for (const DWORD type : {static_cast<DWORD>(REG_EXPAND_SZ), static_cast<DWORD>(REG_SZ)}) {
        SetString(kPlatformKey, kInstallDir, type == REG_SZ ? L"" : m_recorded.Path(), type);
        CVlUtilLoader loader(m_validator);
        ASSERT_EQ(0u, loader.Load()) << type;
        EXPECT_EQ(common, ModuleFilePath(loader.Module())) << type;
    }
}

TEST_F(VlUtilLoaderTest, AMissingExportLeavesOnlyItsEntryNull) {
    Place(m_common.Path(), L"vlutil-partial");
    CVlUtilLoader partial(m_validator);
    ASSERT_EQ(0u, partial.Load());
    EXPECT_EQ(nullptr, partial.VlDeleteTask());
    for (size_t i = 0; i < Tessel::kVlUtilExportCount; ++i) {
        const char* name = Tessel::kVlUtilExportNames[i];
        SCOPED_TRACE(name);
        EXPECT_EQ(::GetProcAddress(partial.Module(), name),
                  partial.Entry(static_cast<VlUtilExport>(i)));
        const bool left =
            std::string(name) == "VlDeleteTask" || std::string(name) == "VlGetMachineId";
        EXPECT_EQ(left, partial.Entry(static_cast<VlUtilExport>(i)) == nullptr);
    }
}

TEST_F(VlUtilLoaderTest, TheBoundDeleteTaskEntryReachesTheLibrary) {
    Place(m_common.Path());
    ScopedEnvironmentVariable calls(L"VLUTIL_STANDIN_DELETED", nullptr);
    CVlUtilLoader loader(m_validator);
    ASSERT_EQ(0u, loader.Load());
    ASSERT_NE(nullptr, loader.VlDeleteTask());
    EXPECT_EQ(1, loader.VlDeleteTask()(L"VrxAgentTask"));
    EXPECT_EQ(L"VrxAgentTask;", EnvironmentVariable(L"VLUTIL_STANDIN_DELETED"));
}

TEST_F(VlUtilLoaderTest, TheCommonPlatformFolderIsShapedAsAsked) {
    CVlUtilLoader loader(m_validator);
    wchar_t folder[MAX_PATH] = {};
    struct Case {
        const wchar_t* stored;
        bool trailing;
        const wchar_t* expected;
    };
    const Case cases[] = {{L"C:\\Common\\Platform", true, L"C:\\Common\\Platform\\"},
                          {L"C:\\Common\\Platform\\", true, L"C:\\Common\\Platform\\"},
                          {L"C:\\Common\\Platform\\", false, L"C:\\Common\\Platform"},
                          {L"\"C:\\Common\\Platform\"", false, L"C:\\Common\\Platform\""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        SetString(kSuiteKey, kCommonFilesDir, c.stored);
        EXPECT_EQ(0u, loader.FindCommonPlatformFolder(folder, MAX_PATH, c.trailing));
        EXPECT_STREQ(c.expected, folder);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
              loader.FindCommonPlatformFolder(folder, 5, true));
    EXPECT_STREQ(L"", folder) << "no cut folder is handed out";
    EXPECT_EQ(87u, loader.FindCommonPlatformFolder(nullptr, MAX_PATH, true));
    EXPECT_EQ(87u, loader.FindCommonPlatformFolder(folder, 0, true));

    // A value that is empty or not REG_SZ gives way to the common program files folder.
    wchar_t commonFiles[MAX_PATH] = {};
    ASSERT_EQ(S_OK, ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr,
                                       SHGFP_TYPE_CURRENT, commonFiles));
    const std::wstring fallback = std::wstring(commonFiles) + L"\\Varlen\\Platform";
    for (const DWORD type : {static_cast<DWORD>(REG_EXPAND_SZ), static_cast<DWORD>(REG_SZ)}) {
        SetString(kSuiteKey, kCommonFilesDir, type == REG_SZ ? L"" : L"C:\\Elsewhere", type);
        EXPECT_EQ(0u, loader.FindCommonPlatformFolder(folder, MAX_PATH, false));
        EXPECT_EQ(fallback, folder);
    }
}

TEST_F(VlUtilLoaderTest, StringValuesRoundTripThroughTheAnsiRegistryFunctions) {
    const wchar_t* key = L"SOFTWARE\\Varlen\\VlUtilTest";
    const wchar_t text[] = L"C:\\Caf\u00e9 Folder";
    ASSERT_EQ(ERROR_SUCCESS, Tessel::RegWriteStringValue(HKEY_LOCAL_MACHINE, key, L"Text", REG_SZ,
                                                         text, sizeof(text), 0x10));
    EXPECT_EQ(text, ReadValue(key, L"Text").AsString());

    wchar_t buffer[64] = {};
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, Tessel::RegReadStringValue(HKEY_LOCAL_MACHINE, key, L"Text", &type,
                                                        buffer, &bytes, 0x10));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(sizeof(text), bytes);
    EXPECT_STREQ(text, buffer);

    // Too small a buffer: 234 and the size needed.
    bytes = 8;
    EXPECT_EQ(ERROR_MORE_DATA, Tessel::RegReadStringValue(HKEY_LOCAL_MACHINE, key, L"Text", &type,
                                                          buffer, &bytes, 0x10));
    EXPECT_EQ(sizeof(text), bytes);

    // Stored text without its terminator comes back terminated.
    SetRaw(key, L"Bare", REG_SZ, L"abc", 3 * sizeof(wchar_t));
    wmemset(buffer, L'x', ARRAYSIZE(buffer));
    bytes = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, Tessel::RegReadStringValue(HKEY_LOCAL_MACHINE, key, L"Bare", &type,
                                                        buffer, &bytes, 0x10));
    EXPECT_STREQ(L"abc", buffer);
    EXPECT_EQ(4 * sizeof(wchar_t), bytes);

    // Text the code page cannot hold exactly is not stored with substitutes.
    const wchar_t foreign[] = L"C:\\\u4e2d\u6587";
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION,
              Tessel::RegWriteStringValue(HKEY_LOCAL_MACHINE, key, L"Foreign", REG_SZ, foreign,
                                          sizeof(foreign), 0x10));
    EXPECT_FALSE(ReadValue(key, L"Foreign").present);

    // Option 0x8 writes the 32-bit view.
    ASSERT_EQ(ERROR_SUCCESS, Tessel::RegWriteStringValue(HKEY_LOCAL_MACHINE, key, L"View", REG_SZ,
                                                         text, sizeof(text), 0x8));
    EXPECT_FALSE(ReadValue(key, L"View").present);
    EXPECT_EQ(text, ReadValue(key, L"View", KEY_WOW64_32KEY).AsString());
}

TEST(VlUtilAdminTest, TheAdministratorAnswerMatchesTheTokenMembership) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    ASSERT_TRUE(::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                           DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins));
    BOOL member = FALSE;
    const BOOL checked = ::CheckTokenMembership(nullptr, admins, &member);
    ::FreeSid(admins);
    ASSERT_TRUE(checked);
    Tessel::CFileValidator validator(TestSignatureConfig());
    EXPECT_EQ(member != FALSE, CVlUtilLoader(validator).IsProcessAdmin());
}
