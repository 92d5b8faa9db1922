#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "src/common/vrxrunonce/VrxRunOnce.h"
#include "support/UniqueAny.h"
#include "tests/support/Files.h"
#include "tests/support/LegacyApf.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

namespace {

const LogRecord kNoProductKey{4, L"VrxRunOnce", L"MoveApfFile", 883,
                              L"copy apf file: fail to read VRX registry key"};
const LogRecord kNoApfPath{4, L"VrxRunOnce", L"MoveApfFile", 877,
                           L"copy apf file: fail to get VRX apf path"};

constexpr const char* kNewApf = "apf carried over from the earlier install\n";
constexpr const char* kOlderApf = "older apf\n";

enum class Source { Missing, Empty, OtherFiles, Apf, ApfAndOthers };
enum class Destination { Missing, Empty, OlderApf };

class MoveApfFileTest : public ProductRegistryTest {
protected:
    void SetUp() override {
        ProductRegistryTest::SetUp();
        legacy = std::make_unique<LegacyApfFolder>();
        install = std::make_unique<ScratchFolder>();
    }
    void TearDown() override {
        install.reset();
        legacy.reset();
        ProductRegistryTest::TearDown();
    }

    std::wstring SourceApf() const { return *legacy / L"apf"; }
    std::wstring DestinationApf() const { return *install / L"apf\\apf"; }

    void Arrange(Source source, Destination destination) {
        if (source != Source::Missing) {
            legacy->Create();
        }
        if (source == Source::Apf || source == Source::ApfAndOthers) {
            WriteTextFile(SourceApf(), kNewApf);
        }
        if (source == Source::OtherFiles || source == Source::ApfAndOthers) {
            WriteTextFile(*legacy / L"apf.bak", "other\n");
        }
        if (destination != Destination::Missing) {
            MakeFolder(*install / L"apf");
        }
        if (destination == Destination::OlderApf) {
            WriteTextFile(DestinationApf(), kOlderApf);
        }
    }

    static std::vector<LogRecord> Run() {
        ClearLogRecords();
        EXPECT_EQ(0, MoveApfFile(nullptr, nullptr, nullptr, 0));
        return LogRecords();
    }

    std::unique_ptr<LegacyApfFolder> legacy;
    std::unique_ptr<ScratchFolder> install;
};

}  // namespace

TEST_F(MoveApfFileTest, MovesTheApfFileOnlyFromAFolderThatHoldsIt) {
    struct Row {
        const char* name;
        Source source;
        Destination destination;
        const char* sourceAfter;       // null: no "apf" left in the source folder
        const char* destinationAfter;  // null: no "apf" at the destination
    };
    const std::vector<Row> rows = {
        {"older file replaced", Source::Apf, Destination::OlderApf, nullptr, kNewApf},
        {"empty destination", Source::Apf, Destination::Empty, nullptr, kNewApf},
        {"other files stay behind", Source::ApfAndOthers, Destination::Empty, nullptr, kNewApf},
        {"no destination folder", Source::Apf, Destination::Missing, kNewApf, nullptr},
        {"other files but no apf", Source::OtherFiles, Destination::OlderApf, nullptr, kOlderApf},
        {"empty source folder", Source::Empty, Destination::OlderApf, nullptr, kOlderApf},
        {"no source folder", Source::Missing, Destination::OlderApf, nullptr, kOlderApf},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        SetString(kVrxKey, L"Install Dir", install->Path());
        Arrange(row.source, row.destination);

        EXPECT_TRUE(Run().empty());
        EXPECT_EQ(row.sourceAfter != nullptr, FileExists(SourceApf()));
        if (row.sourceAfter) {
            EXPECT_EQ(row.sourceAfter, ReadTextFile(SourceApf()));
        }
        EXPECT_EQ(row.destinationAfter != nullptr, FileExists(DestinationApf()));
        if (row.destinationAfter) {
            EXPECT_EQ(row.destinationAfter, ReadTextFile(DestinationApf()));
        }
        EXPECT_EQ(row.source == Source::OtherFiles || row.source == Source::ApfAndOthers,
                  FileExists(*legacy / L"apf.bak"));
        EXPECT_EQ(row.destination != Destination::Missing, FolderExists(*install / L"apf"));
        TearDown();
    }
}

TEST_F(MoveApfFileTest, WithoutSourceFilesTheProductKeyIsNotLookedAt) {
    // No product key at all: an absent or empty source folder ends the action before the key.
    EXPECT_TRUE(Run().empty());
    legacy->Create();
    EXPECT_TRUE(Run().empty());

    WriteTextFile(SourceApf(), kNewApf);
    EXPECT_EQ(std::vector<LogRecord>{kNoProductKey}, Run());
    EXPECT_TRUE(FileExists(SourceApf()));

    SetString(kVrxKey, L"Install Dir", install->Path());
    DenyKeyAccess(kVrxKey, KEY_QUERY_VALUE);
    EXPECT_EQ(std::vector<LogRecord>{kNoProductKey}, Run());
    AllowKeyAccess(kVrxKey);
    EXPECT_TRUE(FileExists(SourceApf()));
}

TEST_F(MoveApfFileTest, InstallFolderThatCannotNameTheApfFileIsRefused) {
    const std::wstring base = install->Path() + L"\\";
    auto ofLength = [&](size_t chars) { return base + std::wstring(chars - base.size(), L'd'); };
    const std::wstring unterminated = install->Path();
    struct Row {
        const char* name;
        DWORD type;
        std::wstring text;
        bool terminated;
    };
    const std::vector<Row> rows = {
        {"as a number", REG_DWORD, L"\x0001", false},
        {"not terminated", REG_SZ, unterminated, false},
        {"longer than the read buffer", REG_SZ, ofLength(261), true},
        {"fills the read buffer", REG_SZ, ofLength(260), true},
        {"one character too long for \\apf\\apf", REG_SZ, ofLength(252), true},
        {"empty", REG_SZ, L"", true},
        {"relative", REG_SZ, L"Varlen\\VRX", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        Arrange(Source::Apf, Destination::Empty);
        const size_t bytes = (row.text.size() + (row.terminated ? 1 : 0)) * sizeof(wchar_t);
        SetRaw(kVrxKey, L"Install Dir", row.type, row.text.c_str(),
               row.type == REG_DWORD ? sizeof(DWORD) : bytes);
        EXPECT_EQ(std::vector<LogRecord>{kNoApfPath}, Run());
        EXPECT_EQ(kNewApf, ReadTextFile(SourceApf()));
        TearDown();
    }

    // A key without the value at all.
    SetUp();
    Arrange(Source::Apf, Destination::Empty);
    CreateKey(kVrxKey);
    EXPECT_EQ(std::vector<LogRecord>{kNoApfPath}, Run());
    EXPECT_TRUE(FileExists(SourceApf()));
}

TEST_F(MoveApfFileTest, LongestInstallFolderThatStillFitsReceivesTheFile) {
    // 251 characters leave room for "\apf\apf" and the terminator in 260. The folder is made with
    // the long-path prefix, since folder creation refuses paths near the limit without it.
    const std::wstring base = install->Path() + L"\\";
    const std::wstring folder = base + std::wstring(251 - base.size(), L'd');
    ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr)) << ::GetLastError();
    ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + folder + L"\\apf").c_str(), nullptr));
    Arrange(Source::Apf, Destination::Missing);
    SetString(kVrxKey, L"Install Dir", folder);

    EXPECT_TRUE(Run().empty());
    EXPECT_FALSE(FileExists(SourceApf()));
    EXPECT_EQ(kNewApf, ReadTextFile(L"\\\\?\\" + folder + L"\\apf\\apf"));
}

TEST_F(MoveApfFileTest, MoveOntoItselfOrOfAFileInUseKeepsBothFiles) {
    // The install folder is the earlier product folder itself: source and destination coincide.
    Arrange(Source::Apf, Destination::Missing);
    SetString(kVrxKey, L"Install Dir", legacy->ProductFolder());
    EXPECT_TRUE(Run().empty());
    EXPECT_EQ(kNewApf, ReadTextFile(SourceApf()));

    // A source file held open without delete sharing cannot be moved; the older file stays.
    SetString(kVrxKey, L"Install Dir", install->Path());
    Arrange(Source::Apf, Destination::OlderApf);
    const Tessel::UniqueFileHandle held(::CreateFileW(
        SourceApf().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_TRUE(Run().empty());
    EXPECT_EQ(kNewApf, ReadTextFile(SourceApf()));
    EXPECT_EQ(kOlderApf, ReadTextFile(DestinationApf()));
}
