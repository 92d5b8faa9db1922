#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "etwlogging/FileLogging.h"
#include "support/IniReader.h"
#include "support/UniqueAny.h"
#include "tests/support/DebugOutput.h"
#include "tests/support/Files.h"
#include "tests/support/Links.h"

using ETWLogging::CLogging;
using Tessel::CObfuscatedIniReader;
using VrxTest::ScratchFolder;

namespace {

constexpr wchar_t kGroup[] = L"Anti-Spam";
constexpr wchar_t kSection[] = L"Config";
constexpr DWORD kMaxSize = CLogging::kDefaultMaxSize;

std::wstring ReadWideFile(const std::wstring& path) {
    const std::string bytes = VrxTest::ReadTextFile(path);
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) {
        memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
    }
    return text;
}

bool ReadConfig(const std::wstring& path, const wchar_t* key, DWORD& value) {
    CObfuscatedIniReader reader;
    return reader.Load(path.c_str()) == 0 && reader.ReadDword(kSection, key, value);
}

void WriteConfig(const std::wstring& path, const wchar_t* key, DWORD value) {
    CObfuscatedIniReader reader;
    ASSERT_EQ(0u, reader.Load(path.c_str()));
    ASSERT_TRUE(reader.WriteDword(kSection, key, value));
}

// A file of the default max size: a log file that counts as full.
void WriteFilledFile(const std::wstring& path) {
    VrxTest::WriteTextFile(path, std::string(kMaxSize, 'x'));
}

// Sinks whose data folder is a scratch folder and whose clock stands still at `now`.
class FileLoggingTest : public ::testing::Test {
protected:
    FileLoggingTest() {
        now.wYear = 2026;
        now.wMonth = 3;
        now.wDay = 7;
        now.wHour = 14;
        now.wMinute = 5;
        now.wSecond = 9;
        VrxTest::MakeFolder(LogFolder());
    }

    std::unique_ptr<CLogging> MakeSink(const std::wstring& dataFolder) {
        return std::make_unique<CLogging>(
            [dataFolder](wchar_t* buffer, DWORD capacity) {
                return static_cast<DWORD>(
                    wcsncpy_s(buffer, capacity, dataFolder.c_str(), _TRUNCATE) == 0
                        ? 0
                        : ERROR_INSUFFICIENT_BUFFER);
            },
            [this](SYSTEMTIME& time) { time = now; });
    }
    // Initialised for the test executable as module (no process tag) in the group kGroup.
    std::unique_ptr<CLogging> InitializedSink(const wchar_t* host = nullptr) {
        auto sink = MakeSink(scratch.Path());
        EXPECT_EQ(0u, sink->Initialize(kGroup, ::GetModuleHandleW(nullptr), host, 0));
        return sink;
    }

    std::wstring Root() const { return scratch / L"Varlen\\VLLOGS\\"; }
    std::wstring LogFolder() const { return Root() + kGroup + L"\\vrxro_unit_tests"; }
    std::wstring ModuleConfig() const { return LogFolder() + L"\\log.ini"; }
    std::wstring GlobalConfig() const { return Root() + L"log.ini"; }
    std::wstring LogFile(int index) const {
        wchar_t digits[8];
        _snwprintf(digits, 8, L"%03d", index);
        return LogFolder() + L"\\vrxro_unit_tests" + digits + L".log";
    }
    DWORD LastLogIdx() const {
        DWORD index = 9999;
        ReadConfig(ModuleConfig(), L"LastLogIdx", index);
        return index;
    }

    ScratchFolder scratch;
    SYSTEMTIME now = {};
};

// Who a folder's DACL, as the platform reads it back, lets change it.
struct FolderRights {
    bool isProtected = false;
    std::vector<std::wstring> writers;  // SIDs of allow entries that grant a right to change
    bool everyoneListed = false;
};

FolderRights ReadFolderRights(const std::wstring& folder) {
    constexpr ACCESS_MASK kChange = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                    FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                    WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    FolderRights rights;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(0u, ::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, &dacl, nullptr, &descriptor));
    const Tessel::UniqueLocalMem descriptorOwner(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (descriptor == nullptr || dacl == nullptr ||
        !::GetSecurityDescriptorControl(descriptor, &control, &revision)) {
        ADD_FAILURE() << "no DACL read back";
        return rights;
    }
    rights.isProtected = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
            ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        LPWSTR sid = nullptr;
        if (!::ConvertSidToStringSidW(&ace->SidStart, &sid)) {
            ADD_FAILURE() << "unreadable SID: " << ::GetLastError();
            continue;
        }
        const Tessel::UniqueLocalMem sidOwner(sid);
        rights.everyoneListed = rights.everyoneListed || std::wstring(sid) == L"S-1-1-0";
        if ((ace->Mask & kChange) != 0) {
            rights.writers.push_back(sid);
        }
    }
    return rights;
}

std::wstring OwnerOf(const std::wstring& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(0u, ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                          &owner, nullptr, nullptr, nullptr, &descriptor));
    const Tessel::UniqueLocalMem descriptorOwner(descriptor);
    LPWSTR sid = nullptr;
    if (owner == nullptr || !::ConvertSidToStringSidW(owner, &sid)) {
        return L"";
    }
    const Tessel::UniqueLocalMem sidOwner(sid);
    return sid;
}

// The line a record gets with the default options and a module handle: head, the process tag's
// space (its piece is empty) and the message.
const wchar_t kDefaultLine[] = L"03/07/2026 02:05:09 PM$ -- (Information)$  message\r\n";

TEST_F(FileLoggingTest, LineCarriesEveryOptionInOrderFittedAndAlsoGoesToTheDebugger) {
    WriteConfig(GlobalConfig(), L"Options", 0x3D);
    auto sink = MakeSink(scratch.Path());
    // No module handle: the process names the module and its lines.
    ASSERT_EQ(0u, sink->Initialize(kGroup, nullptr, nullptr, 0));
    VrxTest::DebugOutputCapture debugger;
    ASSERT_EQ(0u, sink->Log(L"C:\\src\\etwlogging\\AVeryLongSourceFileName.cpp",
                            L"AFunctionNameLongerThanFortyCharactersToBeCut", 42, 4, L"failed"));

    wchar_t threadTag[64];
    _snwprintf(threadTag, 64, L"[PID:%5lu TID:%5lu]$", ::GetCurrentProcessId(),
               ::GetCurrentThreadId());
    const std::wstring line = std::wstring(L"03/07/2026 02:05:09 PM$ -- (Error)$") +
                              L" [vrxro_unit_test]$ " + threadTag +
                              L" [AVeryLongSourceFileN:   42]$" +
                              L" [AFunctionNameLongerThanFortyCharactersTo()]$ failed\r\n";
    EXPECT_EQ(L"\xFEFF" + line, ReadWideFile(LogFile(0)));
    EXPECT_EQ(std::vector<std::wstring>{line}, debugger.Lines());
}

TEST_F(FileLoggingTest, ShortNamesAreRightAlignedAndEmptyPiecesKeepTheirSpace) {
    WriteConfig(GlobalConfig(), L"Options", 0x28);
    auto sink = InitializedSink();
    ASSERT_EQ(0u, sink->Log(L"Short.cpp", L"Fn", 7, 1, L"first"));
    ASSERT_EQ(0u, sink->Log(L"", nullptr, 7, 2, L"second\n"));
    const std::wstring first = L"03/07/2026 02:05:09 PM$ -- (Normal)$ [" + std::wstring(11, L' ') +
                               L"Short.cpp:    7]$ [" + std::wstring(38, L' ') +
                               L"Fn()]$ first\r\n";
    EXPECT_EQ(L"\xFEFF" + first + L"03/07/2026 02:05:09 PM$ -- (Warning)$   second\n",
              ReadWideFile(LogFile(0)));
}

TEST_F(FileLoggingTest, TimestampUsesTheTwelveHourClockAndEachSeverityItsName) {
    auto sink = InitializedSink();
    const WORD hours[] = {0, 1, 11, 12, 13, 23};
    const DWORD severities[] = {1, 2, 3, 4, 5, 6};
    for (int i = 0; i < 6; ++i) {
        now.wHour = hours[i];
        ASSERT_EQ(0u, sink->Log(nullptr, nullptr, 0, severities[i], L"m"));
    }
    EXPECT_EQ(std::wstring(L"\xFEFF") + L"03/07/2026 12:05:09 AM$ -- (Normal)$  m\r\n" +
                  L"03/07/2026 01:05:09 AM$ -- (Warning)$  m\r\n" +
                  L"03/07/2026 11:05:09 AM$ -- (Information)$  m\r\n" +
                  L"03/07/2026 12:05:09 PM$ -- (Error)$  m\r\n" +
                  L"03/07/2026 01:05:09 PM$ -- (Critical)$  m\r\n" +
                  L"03/07/2026 11:05:09 PM$ -- (Information)$  m\r\n",
              ReadWideFile(LogFile(0)));
}

TEST_F(FileLoggingTest, RefusedRecordsWriteNothingAndStartNoFile) {
    auto sink = InitializedSink();
    EXPECT_EQ(87u, sink->Log(nullptr, nullptr, 0, 3, L""));
    EXPECT_EQ(87u, sink->Log(nullptr, nullptr, 0, 3, nullptr));
    EXPECT_EQ(87u, sink->Log(nullptr, nullptr, 0, 0, L"m"));
    EXPECT_EQ(87u, sink->Log(nullptr, nullptr, 0, 7, L"m"));
    EXPECT_FALSE(VrxTest::FileExists(LogFile(0)));
    // A full file is not rotated (and the next one not emptied) for a refused record.
    WriteFilledFile(LogFile(0));
    EXPECT_EQ(87u, sink->Log(nullptr, nullptr, 0, 7, L"m"));
    EXPECT_FALSE(VrxTest::FileExists(LogFile(1)));
}

TEST_F(FileLoggingTest, LogFormatHonoursEnabledFlagAndThresholdAndCutsAt4159Characters) {
    auto sink = InitializedSink();
    EXPECT_EQ(0u, sink->LogFormat(2, nullptr, nullptr, 0, L"%s", L"below threshold"));
    sink->SetEnabled(false);
    EXPECT_EQ(0u, sink->LogFormat(4, nullptr, nullptr, 0, L"%s", L"disabled"));
    EXPECT_FALSE(VrxTest::FileExists(LogFile(0)));
    sink->SetEnabled(true);
    const std::wstring longText(5000, L'a');
    ASSERT_EQ(0u, sink->LogFormat(3, nullptr, nullptr, 0, L"%s", longText.c_str()));
    const std::wstring head = L"03/07/2026 02:05:09 PM$ -- (Information)$  ";
    EXPECT_EQ(L"\xFEFF" + head + std::wstring(4159, L'a') + L"\r\n", ReadWideFile(LogFile(0)));
}

TEST_F(FileLoggingTest, HostNameIsAppendedToTheFileNameAndAFileIsAppendedAtItsEnd) {
    auto sink = InitializedSink(L"hostA");
    ASSERT_EQ(0u, sink->Log(nullptr, nullptr, 0, 3, L"message"));
    ASSERT_EQ(0u, sink->Log(nullptr, nullptr, 0, 3, L"message"));
    EXPECT_EQ(std::wstring(L"\xFEFF") + kDefaultLine + kDefaultLine,
              ReadWideFile(LogFolder() + L"\\vrxro_unit_tests_hostA000.log"));
}

TEST_F(FileLoggingTest, FullFileMovesToTheNextAndTheLastWrapsToAnEmptied000) {
    WriteFilledFile(LogFile(0));
    auto sink = InitializedSink();
    ASSERT_EQ(0u, sink->Log(nullptr, nullptr, 0, 3, L"message"));
    EXPECT_EQ(1u, LastLogIdx());
    EXPECT_EQ(std::wstring(L"\xFEFF") + kDefaultLine, ReadWideFile(LogFile(1)));

    WriteFilledFile(LogFile(1));
    WriteFilledFile(LogFile(2));
    WriteConfig(ModuleConfig(), L"LastLogIdx", 2);
    ASSERT_EQ(0u, sink->Log(nullptr, nullptr, 0, 3, L"message"));
    EXPECT_EQ(0u, LastLogIdx());
    EXPECT_EQ(std::wstring(L"\xFEFF") + kDefaultLine, ReadWideFile(LogFile(0)));
    EXPECT_EQ(kMaxSize, VrxTest::ReadTextFile(LogFile(2)).size());
}

TEST_F(FileLoggingTest, IndexAtOrAboveMaxEntriesRestartsAtAnEmptied000) {
    VrxTest::WriteTextFile(LogFile(0), "old");
    WriteConfig(ModuleConfig(), L"LastLogIdx", 3);
    auto sink = InitializedSink();
    ASSERT_EQ(0u, sink->Log(nullptr, nullptr, 0, 3, L"message"));
    EXPECT_EQ(0u, LastLogIdx());
    EXPECT_EQ(std::wstring(L"\xFEFF") + kDefaultLine, ReadWideFile(LogFile(0)));
}

TEST_F(FileLoggingTest, InvalidValuesAreReplacedByTheirDefaultInTheFileTheyCameFrom) {
    WriteConfig(ModuleConfig(), L"MaxEntries", 1);
    WriteConfig(ModuleConfig(), L"Severity", 7);
    WriteConfig(GlobalConfig(), L"MaxSize", 0x3FFFF);
    WriteConfig(GlobalConfig(), L"Enable", 0);
    auto sink = InitializedSink();
    EXPECT_EQ(3u, sink->GetMaxEntries());
    EXPECT_EQ(3u, sink->GetSeverity());
    EXPECT_EQ(kMaxSize, sink->GetMaxSize());
    EXPECT_FALSE(sink->IsEnabled());

    DWORD value = 0;
    EXPECT_TRUE(ReadConfig(ModuleConfig(), L"MaxEntries", value));
    EXPECT_EQ(3u, value);
    EXPECT_TRUE(ReadConfig(ModuleConfig(), L"Severity", value));
    EXPECT_EQ(3u, value);
    EXPECT_TRUE(ReadConfig(GlobalConfig(), L"MaxSize", value));
    EXPECT_EQ(kMaxSize, value);
    EXPECT_FALSE(ReadConfig(GlobalConfig(), L"MaxEntries", value));
    EXPECT_FALSE(ReadConfig(ModuleConfig(), L"MaxSize", value));
}

TEST_F(FileLoggingTest, ModuleValuesWinOverGlobalOnesAndSeverityZeroEnablesEverything) {
    WriteConfig(GlobalConfig(), L"MaxSize", 0x100000);
    WriteConfig(GlobalConfig(), L"MaxEntries", 50);
    WriteConfig(GlobalConfig(), L"Severity", 5);
    WriteConfig(ModuleConfig(), L"MaxSize", 0xA00000);
    WriteConfig(ModuleConfig(), L"Severity", 0);
    auto sink = InitializedSink();
    EXPECT_EQ(0xA00000u, sink->GetMaxSize());
    EXPECT_EQ(50u, sink->GetMaxEntries());
    EXPECT_EQ(0u, sink->GetSeverity());
    EXPECT_TRUE(sink->IsSeverityEnabled(1));
}

TEST_F(FileLoggingTest, DamagedValueCountsAsMissingAndIsLeftAsItIs) {
    WriteConfig(GlobalConfig(), L"MaxEntries", 10);
    WriteConfig(ModuleConfig(), L"Severity", 4);
    // Wrong checksum, wrong length, not hexadecimal.
    ::WritePrivateProfileStringW(kSection, L"MaxEntries", L"AFC33C5AFF", ModuleConfig().c_str());
    ::WritePrivateProfileStringW(kSection, L"Options", L"A6C3FF", ModuleConfig().c_str());
    ::WritePrivateProfileStringW(kSection, L"LastLogIdx", L"zz", ModuleConfig().c_str());
    auto sink = InitializedSink();
    EXPECT_EQ(10u, sink->GetMaxEntries());
    EXPECT_EQ(4u, sink->GetSeverity());
    ASSERT_EQ(0u, sink->Log(nullptr, nullptr, 0, 4, L"message"));
    EXPECT_TRUE(VrxTest::FileExists(LogFile(0)));
    wchar_t text[32] = {};
    ::GetPrivateProfileStringW(kSection, L"MaxEntries", L"", text, 32, ModuleConfig().c_str());
    EXPECT_STREQ(L"AFC33C5AFF", text);
}

TEST_F(FileLoggingTest, StoredFormIsTheObfuscatedStructureWithItsChecksum) {
    WriteConfig(GlobalConfig(), L"MaxEntries", 3);
    wchar_t text[32] = {};
    ::GetPrivateProfileStringW(kSection, L"MaxEntries", L"", text, 32, GlobalConfig().c_str());
    EXPECT_STREQ(L"A6C33C5AFF", text);
    DWORD value = 0;
    EXPECT_FALSE(ReadConfig(scratch / L"absent.ini", L"MaxEntries", value));
}

TEST_F(FileLoggingTest, AFolderThatCannotBeCreatedSwitchesTheSinkOffForGood) {
    VrxTest::WriteTextFile(scratch / L"blocker", "a file where a folder should be");
    auto sink = MakeSink(scratch / L"blocker");
    ASSERT_EQ(0u, sink->Initialize(kGroup, ::GetModuleHandleW(nullptr), nullptr, 0));
    EXPECT_EQ(87u, sink->Log(nullptr, nullptr, 0, 4, L"message"));
    EXPECT_FALSE(sink->IsEnabled());
    for (DWORD severity = 0; severity <= 6; ++severity) {
        EXPECT_FALSE(sink->IsSeverityEnabled(severity)) << severity;
    }
    ::DeleteFileW((scratch / L"blocker").c_str());
    EXPECT_EQ(87u, sink->Log(nullptr, nullptr, 0, 4, L"message"));
    // A reset re-arms the check.
    ASSERT_EQ(0u, sink->Shutdown());
    ASSERT_EQ(0u, sink->Initialize(kGroup, ::GetModuleHandleW(nullptr), nullptr, 0));
    EXPECT_EQ(0u, sink->Log(nullptr, nullptr, 0, 4, L"message"));
}

TEST_F(FileLoggingTest, MissingFoldersAreCreatedOnTheFirstWrite) {
    auto sink = MakeSink(scratch / L"new\\data");
    ASSERT_EQ(0u, sink->Initialize(nullptr, ::GetModuleHandleW(nullptr), nullptr, 0));
    ASSERT_EQ(0u, sink->Log(nullptr, nullptr, 0, 4, L"message"));
    EXPECT_TRUE(VrxTest::FileExists(scratch / L"new\\data\\Varlen\\VLLOGS\\vrxro_unit_tests\\"
                                              L"vrxro_unit_tests000.log"));
}

TEST_F(FileLoggingTest, InitializeAndShutdownCodes) {
    auto sink = MakeSink(scratch.Path());
    EXPECT_EQ(87u, sink->Initialize(L"", nullptr, nullptr, 0));
    EXPECT_EQ(87u, sink->Initialize(kGroup, nullptr, L"", 0));
    EXPECT_EQ(20002u, sink->Shutdown());
    EXPECT_EQ(87u, sink->Log(nullptr, nullptr, 0, 4, L"before initialize"));

    auto failingRoot = std::make_unique<CLogging>(
        [](wchar_t*, DWORD) -> DWORD { return ERROR_PATH_NOT_FOUND; }, nullptr);
    EXPECT_EQ(3u, failingRoot->Initialize(kGroup, nullptr, nullptr, 0));
    EXPECT_EQ(20002u, failingRoot->Shutdown());

    // Reading the configuration creates no file.
    ASSERT_EQ(0u, sink->Initialize(kGroup, ::GetModuleHandleW(nullptr), nullptr, 0));
    EXPECT_FALSE(VrxTest::FileExists(ModuleConfig()));
    EXPECT_FALSE(VrxTest::FileExists(GlobalConfig()));
    EXPECT_EQ(0u, sink->Shutdown());

    WriteConfig(GlobalConfig(), L"MaxEntries", 20);
    ASSERT_EQ(0u, sink->Initialize(kGroup, ::GetModuleHandleW(nullptr), nullptr, 0));
    EXPECT_EQ(20001u, sink->Initialize(kGroup, nullptr, nullptr, 0));
    EXPECT_EQ(20u, sink->GetMaxEntries());
    EXPECT_EQ(0u, sink->Shutdown());
    EXPECT_EQ(3u, sink->GetMaxEntries());
    EXPECT_EQ(20002u, sink->Shutdown());
    EXPECT_EQ(87u, sink->Log(nullptr, nullptr, 0, 4, L"after shutdown"));
}

TEST(FileLogging, SettersClampTheirValues) {
    CLogging sink;
    sink.SetMaxEntries(1);
    EXPECT_EQ(2u, sink.GetMaxEntries());
    sink.SetMaxEntries(101);
    EXPECT_EQ(100u, sink.GetMaxEntries());
    sink.SetMaxSize(0);
    EXPECT_EQ(0x40000u, sink.GetMaxSize());
    sink.SetMaxSize(0xA00001);
    EXPECT_EQ(0xA00000u, sink.GetMaxSize());
    EXPECT_EQ(0u, sink.SetSeverity(0));
    EXPECT_EQ(1u, sink.GetSeverity());
    EXPECT_EQ(7u, sink.SetSeverity(7));
    EXPECT_EQ(6u, sink.GetSeverity());
}

TEST(FileLogging, ReleaseDeletesAtZeroEvenAfterShutdown) {
    struct CountedSink : CLogging {
        explicit CountedSink(bool& deleted)
            : CLogging(
                  [](wchar_t* buffer, DWORD capacity) {
                      return wcsncpy_s(buffer, capacity, L"C:\\vrx-unused", _TRUNCATE) == 0
                                 ? DWORD{0}
                                 : DWORD{ERROR_INSUFFICIENT_BUFFER};
                  },
                  nullptr),
              deleted(deleted) {}
        ~CountedSink() override { deleted = true; }
        bool& deleted;
    };
    bool deleted = false;
    auto* sink = new CountedSink(deleted);
    EXPECT_EQ(1, sink->AddRef());
    EXPECT_EQ(2, sink->AddRef());
    ASSERT_EQ(0u, sink->Initialize(nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(0u, sink->Shutdown());
    EXPECT_EQ(1, sink->Release());
    EXPECT_FALSE(deleted);
    EXPECT_EQ(0, sink->Release());
    EXPECT_TRUE(deleted);
}

TEST(FileLogging, LogRootIsTheCommonDataFolder) {
    CLogging sink;
    EXPECT_EQ(87u, sink.GetLogRoot(nullptr, MAX_PATH));
    wchar_t root[MAX_PATH] = {};
    ASSERT_EQ(0u, sink.GetLogRoot(root, MAX_PATH));
    EXPECT_EQ(0, _wcsicmp(root, L"C:\\ProgramData")) << root;
    wchar_t tooSmall[4] = {L'x'};
    EXPECT_EQ(122u, sink.GetLogRoot(tooSmall, 4));
    EXPECT_EQ(L'\0', tooSmall[0]);
}

// What the sink answers about a link (the hostile-state suite has every placement): a link among
// its folders switches it off; a link in a file's place drops that record with
// ERROR_REPARSE_POINT_ENCOUNTERED and the sink goes on; a linked configuration file is not read.
TEST_F(FileLoggingTest, ALinkSwitchesTheSinkOffOrDropsTheRecord) {
    ScratchFolder outside;
    WriteConfig(outside / L"log.ini", L"MaxEntries", 50);
    VrxTest::WriteTextFile(outside / L"x.txt", "theirs");
    using VrxTest::LinkKind;
    const struct {
        const char* name;
        std::wstring at;
        std::wstring target;
        LinkKind kind;
        DWORD logged;
    } rows[] = {
        {"the module folder", LogFolder(), outside.Path(), LinkKind::kFolder,
         ERROR_INVALID_PARAMETER},
        {"the log file", LogFile(0), outside / L"x.txt", LinkKind::kFile, Tessel::kErrorLinkOnPath},
        {"the module's log.ini", ModuleConfig(), outside / L"log.ini", LinkKind::kFile,
         Tessel::kErrorLinkOnPath},
        {"the global log.ini", GlobalConfig(), outside / L"log.ini", LinkKind::kFile,
         ERROR_SUCCESS},
    };
    const auto theirs = VrxTest::FolderSnapshot(outside.Path());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        VrxTest::RemoveTree(LogFolder());
        VrxTest::MakeFolder(LogFolder());
        VrxTest::RemoveTree(row.at);
        {
            const VrxTest::ScopedLink link(row.at, row.target, row.kind);
            ASSERT_TRUE(link.Made());
            auto sink = InitializedSink();
            EXPECT_EQ(3u, sink->GetMaxEntries());
            EXPECT_EQ(row.logged, sink->Log(nullptr, nullptr, 0, 4, L"message"));
            EXPECT_EQ(row.logged != ERROR_INVALID_PARAMETER, sink->IsSeverityEnabled(4) != 0);
        }
        EXPECT_EQ(theirs, VrxTest::FolderSnapshot(outside.Path()));
    }
}

// Wine keeps no rights of its own: it turns the DACL a folder is created with into the folder's
// Unix mode and reads a DACL back from the mode, where the owner stands for the Administrators and
// Everyone for the others.
TEST_F(FileLoggingTest, OnlySystemAndAdministratorsMayChangeTheModuleFolderItMakes) {
    auto sink = MakeSink(scratch / L"fresh");
    ASSERT_EQ(0u, sink->Initialize(kGroup, ::GetModuleHandleW(nullptr), nullptr, 0));
    ASSERT_EQ(0u, sink->Log(nullptr, nullptr, 0, 4, L"message"));
    const std::wstring group = scratch / L"fresh\\Varlen\\VLLOGS\\Anti-Spam";
    const std::wstring module = group + L"\\vrxro_unit_tests";
    std::vector<std::wstring> mayChange = {L"S-1-5-18", L"S-1-5-32-544"};
    if (VrxTest::RunningUnderWine()) {
        mayChange.push_back(OwnerOf(module));
    }
    const FolderRights moduleRights = ReadFolderRights(module);
    for (const std::wstring& writer : moduleRights.writers) {
        EXPECT_NE(mayChange.end(), std::find(mayChange.begin(), mayChange.end(), writer))
            << testing::PrintToString(writer);
    }
    EXPECT_FALSE(moduleRights.everyoneListed);
    const FolderRights groupRights = ReadFolderRights(group);
    if (VrxTest::RunningUnderWine()) {
        // The shared folder keeps the mode of a folder made without a DACL: Everyone may read.
        EXPECT_TRUE(groupRights.everyoneListed);
    } else {
        EXPECT_TRUE(moduleRights.isProtected);
        EXPECT_FALSE(groupRights.isProtected);
    }
}

}  // namespace
