#include <gtest/gtest.h>

#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>

#include <memory>
#include <string>

#include "support/FileVersionInfo.h"
#include "tests/support/Files.h"

using namespace VrxTest;
using Tessel::FileVersionInfo;
using Tessel::SystemFileVersionInfo;

namespace {

std::wstring OwnDll() {
    return ExecutableFolder() + L"\\VrxRO.dll";
}

// Stands in for the shell's known-folder lookup: answers with `result` and a copy of `folder`
// (none when null), and records what it was asked.
class FakeShell : public Tessel::ShlObjAPI {
public:
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                               PWSTR* path) override {
        ++calls;
        askedForSystemFolder = IsEqualGUID(folderId, FOLDERID_System) && flags == 0 && !token;
        *path = nullptr;
        if (!folder.empty()) {
            const size_t bytes = (folder.size() + 1) * sizeof(wchar_t);
            *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
            memcpy(*path, folder.c_str(), bytes);
        }
        return result;
    }

    HRESULT result = S_OK;
    std::wstring folder;
    int calls = 0;
    bool askedForSystemFolder = false;
};

}  // namespace

TEST(FileVersionInfoTest, TakesEachStringFromTheFirstListedTranslationThatHasIt) {
    FileVersionInfo info;
    ASSERT_TRUE(info.Load(FixturePath(L"translations.dll")));
    const struct {
        const wchar_t* name;
        const wchar_t* expected;
    } cases[] = {
        {L"FileDescription", L"Translations fixture"},  // first translation
        {L"ProductVersion", L"2.5"},                    // missing from the first, second wins
        {L"CompanyName", L"Third"},
        {L"PrivateBuild", L""},  // only in a table that the translation list does not name
        {L"Comments", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, info.GetString(c.name)) << c.name;
    }
}

TEST(FileVersionInfoTest, FilesWithoutAVersionResourceLoadNothing) {
    ScratchFolder scratch;
    WriteTextFile(scratch / L"notes.txt", "not a module");
    const std::wstring paths[] = {ModuleFilePath(), scratch / L"notes.txt", scratch / L"none.dll",
                                  L""};
    for (const auto& path : paths) {
        FileVersionInfo info;
        EXPECT_FALSE(info.Load(path)) << path;
        EXPECT_EQ(L"", info.GetString(L"ProductVersion")) << path;
        // A failed read leaves the object free to read another file.
        EXPECT_TRUE(info.Load(OwnDll())) << path;
    }
}

TEST(FileVersionInfoTest, ASecondLoadIsRefusedAndKeepsTheFirstFile) {
    FileVersionInfo info;
    ASSERT_TRUE(info.Load(OwnDll()));
    EXPECT_FALSE(info.Load(FixturePath(L"translations.dll")));
    EXPECT_FALSE(info.Load(OwnDll()));
    EXPECT_EQ(L"18.9", info.GetString(L"ProductVersion"));
    EXPECT_EQ(L"Varlen Anti-Spam", info.GetString(L"ProductName"));
}

TEST(SystemFileVersionInfoTest, ReadsKernel32FromTheSystemFolder) {
    SystemFileVersionInfo kernel32;
    ASSERT_TRUE(kernel32.Load(L"kernel32.dll"));
    const std::wstring version = kernel32.GetString(L"ProductVersion");
    if (RunningUnderWine()) {
        EXPECT_EQ(L"10.0.18362.1350", version);
    } else {
        EXPECT_FALSE(version.empty());
    }
}

TEST(SystemFileVersionInfoTest, KeepsTheFolderOnlyWhenTheLookupGivesOne) {
    auto shell = std::make_shared<FakeShell>();
    SystemFileVersionInfo info(shell);

    // Without a folder the name is taken from the root of the current drive: make that the
    // drive of the test executable and name the DLL by its path below the root.
    const std::wstring folder = ExecutableFolder();
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(folder.c_str()));
    shell->result = E_FAIL;
    const bool loadedFromRoot = info.Load(folder.substr(3) + L"\\VrxRO.dll");
    ::SetCurrentDirectoryW(previous);
    EXPECT_TRUE(loadedFromRoot);
    EXPECT_EQ(1, shell->calls);
    EXPECT_TRUE(shell->askedForSystemFolder);

    // Not kept after a failure, nor after a success that returned no path.
    SystemFileVersionInfo later(shell);
    shell->result = S_OK;
    EXPECT_FALSE(later.Load(L"VrxRO.dll"));
    EXPECT_EQ(2, shell->calls);

    shell->folder = folder;
    EXPECT_TRUE(later.Load(L"VrxRO.dll"));
    EXPECT_EQ(L"18.9", later.GetString(L"ProductVersion"));
    EXPECT_FALSE(later.Load(L"VrxRO.dll"));
    EXPECT_EQ(3, shell->calls);
}
