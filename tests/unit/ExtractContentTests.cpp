#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "src/common/vrxrunonce/VrxRunOnce.h"
#include "tests/support/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

namespace {

enum class Config { Missing, Empty, Full };

// What the installer leaves before it calls the action.
struct Installed {
    const wchar_t* version = L"12.7";  // "version2"; null: no value
    bool substituteKey = true;
    Config config = Config::Full;
    std::optional<DWORD> newNumber = 5;  // "upd_content"
    bool newNumberAsText = false;
    std::optional<DWORD> oldNumber = 7;  // "content"
};

// What the action leaves behind.
struct Outcome {
    bool unpacked = false;
    bool configKept = false;
    std::optional<DWORD> content;
    std::optional<DWORD> updContent;
    std::vector<int> lines;
};

std::vector<int> LoggedLines() {
    std::vector<int> lines;
    for (const LogRecord& record : LogRecords()) {
        lines.push_back(record.line);
    }
    return lines;
}

std::optional<DWORD> DwordValue(const wchar_t* name) {
    const RegValue value = ReadValue(kVrxKey, name);
    return value.present ? std::optional<DWORD>(value.AsDword()) : std::nullopt;
}

class ExtractContentTest : public ProductRegistryTest {
protected:
    void SetUp() override {
        ProductRegistryTest::SetUp();
        installDir = std::make_unique<ScratchFolder>();
    }
    void TearDown() override {
        installDir.reset();
        ProductRegistryTest::TearDown();
    }

    std::wstring InstallPath(const std::wstring& relative) const { return *installDir / relative; }

    void Arrange(const Installed& setup, const std::wstring& package = L"content.cab") {
        SetString(kVrxKey, L"Install Dir", installDir->Path());
        if (!package.empty()) {
            CopyFileTo(FixturePath(package), InstallPath(L"vrxcmcnt.cab"));
        }
        if (setup.substituteKey) {
            CreateKey(kSubstituteKey);
            if (setup.version) {
                SetString(kSubstituteKey, L"version2", setup.version);
            }
        }
        if (setup.config != Config::Missing) {
            MakeFolder(InstallPath(L"Config"));
        }
        if (setup.config == Config::Full) {
            WriteTextFile(InstallPath(L"Config\\old-rules.txt"), "old rules\n");
        }
        if (setup.newNumber && setup.newNumberAsText) {
            SetString(kVrxKey, L"upd_content", std::to_wstring(*setup.newNumber));
        } else if (setup.newNumber) {
            SetDword(kVrxKey, L"upd_content", *setup.newNumber);
        }
        if (setup.oldNumber) {
            SetDword(kVrxKey, L"content", *setup.oldNumber);
        }
    }

    Outcome Run() {
        ClearLogRecords();
        EXPECT_EQ(0, ExtractContent(nullptr, nullptr, nullptr, 0));
        Outcome outcome;
        outcome.unpacked = FileExists(InstallPath(L"content.ini")) &&
                           FileExists(InstallPath(L"Config\\reputation.txt"));
        outcome.configKept = FileExists(InstallPath(L"Config\\old-rules.txt"));
        outcome.content = DwordValue(L"content");
        outcome.updContent = DwordValue(L"upd_content");
        outcome.lines = LoggedLines();
        return outcome;
    }

    std::unique_ptr<ScratchFolder> installDir;
};

struct DecisionRow {
    const char* name;
    Installed setup;
    bool unpacked;
    bool configKept;
    std::optional<DWORD> content;
    std::optional<DWORD> updContent;
    std::vector<int> lines;
};

}  // namespace

TEST_F(ExtractContentTest, DecidesByVersionConfigFolderAndContentNumbers) {
    const std::optional<DWORD> none;
    const std::vector<DecisionRow> rows = {
        {"12.6, full, newer content in place", {L"12.6"}, false, true, 7, 5, {893, 924, 964}},
        {"13.0 counts as kept too", {L"13.0"}, false, true, 7, 5, {893, 924, 964}},
        {"12.6 with trailing text", {L"12.6abc"}, false, true, 7, 5, {893, 924, 964}},
        {"12.6, installed content newer",
         {L"12.6", true, Config::Full, 9},
         true,
         true,
         9,
         none,
         {893, 924, 974}},
        {"12.7 is no kept version", {L"12.7"}, true, true, 5, none, {893, 924, 974}},
        {"above 13.0 with content", {L"13.5"}, false, true, 7, 5, {893, 924, 941}},
        {"above 13.0, empty Config",
         {L"13.5", true, Config::Empty},
         true,
         false,
         5,
         none,
         {893, 924, 974}},
        {"above 13.0, no Config",
         {L"13.5", true, Config::Missing},
         true,
         false,
         5,
         none,
         {893, 924, 974}},
        {"below 12.6 clears Config", {L"12.5"}, true, false, 5, none, {893, 924, 974}},
        {"letters read as 0.0", {L"abc"}, true, false, 5, none, {893, 924, 974}},
        {"no version2", {nullptr}, true, false, 5, none, {893, 920, 924, 974}},
        {"no Substitute key: Config rules do not apply",
         {L"12.6", false},
         true,
         true,
         5,
         none,
         {893, 924, 974}},
        {"upd_content as text",
         {L"12.7", true, Config::Full, 5, true},
         true,
         true,
         7,
         none,
         {893, 924, 959}},
        {"no upd_content",
         {L"12.6", true, Config::Full, std::nullopt},
         true,
         true,
         7,
         none,
         {893, 924, 959}},
        {"no content value",
         {L"12.6", true, Config::Full, 5, false, std::nullopt},
         true,
         true,
         5,
         none,
         {893, 924, 974}},
    };
    for (const DecisionRow& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        Arrange(row.setup);
        const Outcome outcome = Run();
        EXPECT_EQ(row.unpacked, outcome.unpacked);
        EXPECT_EQ(row.configKept, outcome.configKept);
        EXPECT_EQ(row.content, outcome.content);
        // A text "upd_content" is not a number the action reads, so it stays as it was.
        if (!row.setup.newNumberAsText) {
            EXPECT_EQ(row.updContent, outcome.updContent);
        }
        EXPECT_EQ(row.lines, outcome.lines);
        TearDown();
    }
}

TEST_F(ExtractContentTest, RecordsNameTheVersionAndBothNumbers) {
    Arrange({L"12.6"});
    Run();
    const std::vector<LogRecord> stopped = LogRecords();
    ASSERT_EQ(3u, stopped.size());
    EXPECT_EQ((LogRecord{3, L"VrxRunOnce", L"ExtractContent", 893, L"ExtractContent: entering.."}),
              stopped[0]);
    EXPECT_EQ(L"ExtractContent: fVRXVersion = 12.600000", stopped[1].text);
    EXPECT_EQ((LogRecord{3, L"VrxRunOnce", L"ExtractContent", 964,
                         L"ExtractContent: existing Saffron/Win8 content(#7) is newer than install "
                         L"one(#5), exiting."}),
              stopped[2]);

    TearDown();
    SetUp();
    Arrange({L"13.5"});
    Run();
    EXPECT_EQ((LogRecord{3, L"VrxRunOnce", L"ExtractContent", 941,
                         L"ExtractContent: found existing content for version Saffron or higher, "
                         L"exiting."}),
              LogRecords().back());

    TearDown();
    SetUp();
    Arrange({nullptr, true, Config::Full, 5, true});
    Run();
    const std::vector<LogRecord> records = LogRecords();
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ((LogRecord{4, L"VrxRunOnce", L"ExtractContent", 920,
                         L"ExtractContent: failed to read fVRXVersion"}),
              records[1]);
    EXPECT_EQ(L"ExtractContent: fVRXVersion = 0.000000", records[2].text);
    EXPECT_EQ((LogRecord{3, L"VrxRunOnce", L"ExtractContent", 959,
                         L"ExtractContent: failed to read content vers."}),
              records[3]);

    TearDown();
    SetUp();
    Arrange({L"12.7"});
    Run();
    EXPECT_EQ((LogRecord{3, L"VrxRunOnce", L"ExtractContent", 974,
                         L"ExtractContent: updated content #7 with #5."}),
              LogRecords().back());
}

TEST_F(ExtractContentTest, NumbersOfTheWrongTypeOrSize) {
    // "content" longer than four bytes reads as 0, so the package counts as newer.
    Arrange({L"12.6", true, Config::Full, 5, false, std::nullopt});
    const BYTE eightBytes[8] = {9, 0, 0, 0, 9, 0, 0, 0};
    SetRaw(kVrxKey, L"content", REG_BINARY, eightBytes, sizeof(eightBytes));
    Outcome outcome = Run();
    EXPECT_TRUE(outcome.unpacked);
    EXPECT_EQ(std::optional<DWORD>(5), outcome.content);
    EXPECT_EQ(L"ExtractContent: updated content #0 with #5.", LogRecords().back().text);

    // "version2" that is not a string fails the read: version 0.0, Config cleared.
    TearDown();
    SetUp();
    Arrange({nullptr});
    SetDword(kSubstituteKey, L"version2", 13);
    outcome = Run();
    EXPECT_FALSE(outcome.configKept);
    EXPECT_EQ((std::vector<int>{893, 920, 924, 974}), outcome.lines);

    // An "upd_content" of eight bytes is no number either.
    TearDown();
    SetUp();
    Arrange({L"12.7", true, Config::Full, std::nullopt});
    SetRaw(kVrxKey, L"upd_content", REG_DWORD, eightBytes, sizeof(eightBytes));
    outcome = Run();
    EXPECT_TRUE(outcome.unpacked);
    EXPECT_EQ(std::optional<DWORD>(7), outcome.content);
    EXPECT_EQ((std::vector<int>{893, 924, 959}), outcome.lines);
}

TEST_F(ExtractContentTest, EndsEarlyWithoutInstallFolderOrPackage) {
    Outcome outcome = Run();
    EXPECT_EQ((std::vector<int>{893, 907}), outcome.lines);
    EXPECT_EQ((LogRecord{4, L"VrxRunOnce", L"ExtractContent", 907,
                         L"ExtractContent: fail to get VRX install path"}),
              LogRecords().back());

    SetDword(kVrxKey, L"Install Dir", 1);
    outcome = Run();
    EXPECT_EQ((std::vector<int>{893, 907}), outcome.lines);

    Arrange({L"12.5"}, L"");
    outcome = Run();
    EXPECT_EQ((std::vector<int>{893, 913}), outcome.lines);
    EXPECT_EQ(L"ExtractContent: vrxcmcnt.cab not found", LogRecords().back().text);
    EXPECT_TRUE(outcome.configKept);
    EXPECT_EQ(std::optional<DWORD>(5), outcome.updContent);
}

TEST_F(ExtractContentTest, FailedUnpackChangesNoRegistryValue) {
    Arrange({L"12.7"});
    MakeFolder(InstallPath(L"content.ini"));  // a folder where the package has a file
    const Outcome outcome = Run();
    EXPECT_FALSE(outcome.unpacked);
    EXPECT_EQ(std::optional<DWORD>(7), outcome.content);
    EXPECT_EQ(std::optional<DWORD>(5), outcome.updContent);
    const std::vector<LogRecord> records = LogRecords();
    ASSERT_EQ(3u, records.size());
    const std::wstring package = InstallPath(L"vrxcmcnt.cab");
    EXPECT_EQ(
        (LogRecord{
            4, L"src\\common\\vrxrunonce\\VrxCabUtils", L"VRXUtils::ExtractCabFile", 60,
            L"ExtractCabFile: fail cab extraction from " + package + L" to " + installDir->Path()}),
        records[2]);
}

TEST_F(ExtractContentTest, UncompressedPackageUnpacksToo) {
    Arrange({L"12.7"}, L"content-stored.cab");
    const Outcome outcome = Run();
    EXPECT_TRUE(outcome.unpacked);
    EXPECT_EQ("version=5\nrules=42\n", ReadTextFile(InstallPath(L"content.ini")));
    EXPECT_EQ(std::optional<DWORD>(5), outcome.content);
}

TEST_F(ExtractContentTest, UndeletableFileKeepsConfigAndTheUnpackStillRuns) {
    Arrange({L"12.5"});
    const std::wstring readOnly = InstallPath(L"Config\\old-rules.txt");
    ASSERT_TRUE(::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    Outcome outcome = Run();
    EXPECT_TRUE(outcome.configKept);
    EXPECT_TRUE(outcome.unpacked);
    EXPECT_EQ(std::optional<DWORD>(5), outcome.content);
    ::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);

    // A file held open without delete sharing stays as well.
    TearDown();
    SetUp();
    Arrange({L"12.5"});
    const std::wstring held = InstallPath(L"Config\\old-rules.txt");
    HANDLE file = ::CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    outcome = Run();
    ::CloseHandle(file);
    EXPECT_TRUE(outcome.configKept);
    EXPECT_TRUE(outcome.unpacked);
}

TEST_F(ExtractContentTest, InstallFoldersAtAndBeyondThePathLimits) {
    // Longer than the 260-character read buffer: the folder cannot be read.
    SetString(kVrxKey, L"Install Dir", L"C:\\" + std::wstring(300, L'x'));
    EXPECT_EQ((std::vector<int>{893, 907}), Run().lines);

    // Readable, but the package path no longer fits 260 ANSI bytes: nothing is unpacked and no
    // number changes.
    const std::wstring deep = L"\\\\?\\" + installDir->Path() + L"\\" +
                              std::wstring(MAX_PATH - 12 - installDir->Path().size(), L'd');
    ASSERT_TRUE(::CreateDirectoryW(deep.c_str(), nullptr)) << ::GetLastError();
    const std::wstring folder = deep.substr(4);
    ASSERT_LT(folder.size(), static_cast<size_t>(MAX_PATH));
    ASSERT_TRUE(::CopyFileW(FixturePath(L"content.cab").c_str(), (deep + L"\\vrxcmcnt.cab").c_str(),
                            FALSE));
    CreateKey(kSubstituteKey);
    SetString(kSubstituteKey, L"version2", L"12.7");
    SetDword(kVrxKey, L"upd_content", 5);
    SetString(kVrxKey, L"Install Dir", folder);
    const Outcome outcome = Run();
    EXPECT_EQ((std::vector<int>{893, 924, 54}), outcome.lines);
    EXPECT_EQ(std::nullopt, outcome.content);
    EXPECT_EQ(std::optional<DWORD>(5), outcome.updContent);
}
