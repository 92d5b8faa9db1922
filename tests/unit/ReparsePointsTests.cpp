#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/ReparsePoints.h"
#include "tests/support/Files.h"
#include "tests/support/Links.h"

using namespace VrxTest;
using Tessel::CLinkFreeFile;
using Tessel::CLinkFreePath;
using Tessel::FileDisposition;
using Tessel::kErrorLinkOnPath;

namespace {

// A trusted base folder holding "logs\mine.txt", a folder of someone else's beside it, and the
// links a row plants; the links go first.
struct LinkedFolders {
    LinkedFolders() {
        MakeFolder(base / L"logs");
        WriteTextFile(base / L"logs\\mine.txt", "mine");
        WriteTextFile(outside / L"theirs.txt", "theirs");
    }
    void Link(const std::wstring& at, const std::wstring& target, LinkKind kind) {
        links.push_back(std::make_unique<ScopedLink>(at, target, kind));
        ASSERT_TRUE(links.back()->Made()) << "no link could be made here";
    }

    ScratchFolder base;
    ScratchFolder outside;
    std::vector<std::unique_ptr<ScopedLink>> links;
};

}  // namespace

TEST(LinkFreeFile, OpensOnlyTheFileItsPathNames) {
    constexpr DWORD kAnyMissing =
        0xFFFFFFFF;  // not found, or refused as a link: the platform's way
    struct Row {
        const char* name;
        std::function<void(LinkedFolders&)> arrange;
        const wchar_t* relative;
        DWORD existing, openOrCreate, createOrEmpty;
    };
    const Row rows[] = {
        {"a plain file", nullptr, L"logs\\mine.txt", 0, 0, 0},
        {"a missing file", nullptr, L"logs\\new.txt", ERROR_FILE_NOT_FOUND, 0, 0},
        {"a link to a file",
         [](LinkedFolders& f) {
             f.Link(f.base / L"logs\\link.txt", f.outside / L"theirs.txt", LinkKind::kFile);
         },
         L"logs\\link.txt", kErrorLinkOnPath, kErrorLinkOnPath, kErrorLinkOnPath},
        {"a second name of a file",
         [](LinkedFolders& f) {
             f.Link(f.base / L"logs\\link.txt", f.outside / L"theirs.txt", LinkKind::kHardLink);
         },
         L"logs\\link.txt", kErrorLinkOnPath, kErrorLinkOnPath, kErrorLinkOnPath},
        {"a link to a missing file",
         [](LinkedFolders& f) {
             f.Link(f.base / L"logs\\link.txt", f.outside / L"new.txt", LinkKind::kFile);
         },
         L"logs\\link.txt", kAnyMissing, kErrorLinkOnPath, kErrorLinkOnPath},
        {"a file behind a folder link",
         [](LinkedFolders& f) { f.Link(f.base / L"linked", f.outside.Path(), LinkKind::kFolder); },
         L"linked\\theirs.txt", kErrorLinkOnPath, kErrorLinkOnPath, kErrorLinkOnPath},
        {"a step out of the base", nullptr, L"logs\\..\\..\\theirs.txt", ERROR_BAD_PATHNAME,
         ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME},
    };
    for (const Row& row : rows) {
        for (const auto& [disposition, expected] :
             {std::pair{FileDisposition::kOpenExisting, row.existing},
              std::pair{FileDisposition::kOpenOrCreate, row.openOrCreate},
              std::pair{FileDisposition::kCreateOrEmpty, row.createOrEmpty}}) {
            SCOPED_TRACE(std::string(row.name) + ", disposition " +
                         std::to_string(static_cast<int>(disposition)));
            LinkedFolders folders;
            if (row.arrange) {
                row.arrange(folders);
            }
            const auto outside = FolderSnapshot(folders.outside.Path());
            CLinkFreeFile file;
            const DWORD result = file.Open(folders.base.Path(), row.relative,
                                           GENERIC_READ | GENERIC_WRITE, disposition);
            if (expected == kAnyMissing) {
                EXPECT_TRUE(result == ERROR_FILE_NOT_FOUND || result == kErrorLinkOnPath) << result;
            } else {
                EXPECT_EQ(expected, result);
            }
            EXPECT_EQ(result == ERROR_SUCCESS, file.IsOpen());
            if (result == ERROR_SUCCESS) {
                const bool fresh = std::wstring(row.relative) == L"logs\\new.txt" ||
                                   disposition == FileDisposition::kCreateOrEmpty;
                EXPECT_EQ(fresh, file.IsFresh());
                file.Close();
                EXPECT_EQ(fresh ? "" : "mine", ReadTextFile(folders.base / row.relative));
            }
            EXPECT_EQ(outside, FolderSnapshot(folders.outside.Path()));
        }
    }
}

TEST(LinkFreePath, HeldFoldersCannotBeRenamedAndMissingOnesAreMadeButNeverThroughALink) {
    LinkedFolders folders;
    const std::wstring logs = folders.base / L"logs";
    {
        CLinkFreePath held;
        ASSERT_EQ(0u, held.Hold(folders.base.Path(), L"logs\\mine.txt"));
        EXPECT_FALSE(::MoveFileExW(logs.c_str(), (logs + L"-moved").c_str(), 0));
        EXPECT_FALSE(::DeleteFileW((logs + L"\\mine.txt").c_str()));
        held.Release();
        EXPECT_TRUE(::MoveFileExW(logs.c_str(), (logs + L"-moved").c_str(), 0));
    }

    CLinkFreePath made;
    EXPECT_EQ(0u, made.HoldCreatingFolders(folders.base.Path(), L"a\\b\\c", nullptr));
    EXPECT_TRUE(FolderExists(folders.base / L"a\\b\\c"));

    folders.Link(folders.base / L"a\\linked", folders.outside.Path(), LinkKind::kFolder);
    folders.Link(folders.base / L"a\\nowhere", folders.outside / L"none", LinkKind::kFolder);
    EXPECT_EQ(kErrorLinkOnPath,
              made.HoldCreatingFolders(folders.base.Path(), L"a\\linked\\new", nullptr));
    EXPECT_NE(0u, made.HoldCreatingFolders(folders.base.Path(), L"a\\nowhere\\new", nullptr));
    EXPECT_EQ(FolderSnapshot(folders.outside.Path()),
              (std::map<std::wstring, std::string>{{L"theirs.txt", "theirs"}}));
}
