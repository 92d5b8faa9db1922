// The hostile-state suite: every action run through rundll32 (and the support tool) against a
// product install that is damaged or tampered with in one way per row, with logging into files
// on. Every row must end within a bound far below an installer's patience, without a crash (exit
// code 0, or 1 where the action may fail), leave the files outside the install untouched, and log
// the record the row names. Links are planted as an unprivileged user could: in the folders below
// the common data folder, where any user may create folders, and in the install's folders.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RunDll32.h"
#include "support/UniqueAny.h"
#include "support/IniReader.h"
#include "tests/support/Files.h"
#include "tests/support/LegacyApf.h"
#include "tests/support/Links.h"
#include "tests/support/LogFile.h"
#include "tests/support/ProductDataFolder.h"
#include "tests/support/Profiles.h"
#include "tests/support/Registry.h"
#include "tests/support/ScheduledTasks.h"

using namespace VrxTest;

namespace {

constexpr DWORD kPatienceMs = 20000;

std::wstring ParentOf(const std::wstring& folder) {
    return folder.substr(0, folder.rfind(L'\\'));
}

// A product install with content, old content, a registered Outlook extension and a profile with
// its cache, and beside it a folder of files no action may touch, which rows aim links at.
class HostileMachine {
public:
    HostileMachine() {
        SetString(kVrxKey, L"Install Dir", install.Path());
        SetString(kSubstituteKey, L"version2", L"12.0");
        SetDword(kVrxKey, L"upd_content", 5);
        SetDword(kVrxKey, L"content", 3);
        CopyFileTo(FixturePath(L"content.cab"), install / L"vrxcmcnt.cab");
        MakeFolder(install / L"Config");
        WriteTextFile(install / L"Config\\old-rules.txt", "old\n");
        extensions.Register();
        profile = profiles.Add();
        ProfileFolders::WriteFile(profile, kCacheSinceVista);
        for (const wchar_t* file : {L"extend.dat", L"x.txt", L"VRXWMAutoFillDB.dat",
                                    L"profile\\Local\\Microsoft\\Outlook\\extend.dat"}) {
            MakeFolder((outside / file).substr(0, (outside / file).rfind(L'\\')));
            WriteTextFile(outside / file, "keep me");
        }
    }

    // Makes `at` a link to `target`; the row cannot run where no link can be made.
    void Link(const std::wstring& at, const std::wstring& target,
              LinkKind kind = LinkKind::kFolder) {
        links.push_back(std::make_unique<ScopedLink>(at, target, kind));
        linkMissing = linkMissing || !links.back()->Made();
    }
    void HoldOpen(const std::wstring& path, DWORD share) {
        held.emplace_back(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        EXPECT_TRUE(held.back().is_valid()) << "holding " << testing::PrintToString(path);
    }
    void MakeReadOnly(const std::wstring& path) {
        EXPECT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    }

    // Every file and folder below the outside folder with its content.
    std::map<std::wstring, std::string> OutsideFiles() const {
        return FolderSnapshot(outside.Path());
    }

    // First made, last gone: the log is read after the row, and its folders may hold links.
    LibraryLogFolder log;
    ScratchFolder install;
    ScratchFolder outside;
    ExchangeExtensionsKey extensions;
    ProfileFolders profiles;
    std::wstring profile;
    ProductDataFolder data;
    std::unique_ptr<ScopedTasks> tasks;
    std::unique_ptr<LegacyApfFolder> legacy;
    std::vector<std::wstring> removeLater;    // files made outside any scratch folder
    std::vector<std::wstring> treesToRemove;  // folders made outside any scratch folder
    std::vector<std::wstring> toolArguments;  // the support tool's, for rows that run it
    ToolRun tool;
    // Released first: links before the folders they are in, handles before their files.
    std::vector<std::unique_ptr<ScopedLink>> links;
    bool linkMissing = false;
    std::vector<Tessel::UniqueFileHandle> held;

    ~HostileMachine() {
        held.clear();
        links.clear();
        for (const std::wstring& file : removeLater) {
            ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(file.c_str());
        }
        for (const std::wstring& folder : treesToRemove) {
            RemoveTree(folder);
        }
    }
};

struct HostileRow {
    std::string state;
    std::function<void(HostileMachine&)> arrange;
    const wchar_t* record = nullptr;  // a text the log must hold afterwards
    std::function<void(HostileMachine&)> verify = nullptr;
};

// A registry value an action reads, and the forms a hostile or damaged machine gives it.
struct ValueRead {
    const wchar_t* key;
    const wchar_t* name;
    bool isString;
};

std::vector<HostileRow> ValueRows(std::initializer_list<ValueRead> reads) {
    std::vector<HostileRow> rows;
    for (const ValueRead& read : reads) {
        const std::string name(read.name, read.name + std::wcslen(read.name));
        const std::vector<BYTE> huge(256 * 1024, 'A');
        rows.push_back({name + " missing", [read](HostileMachine&) {
                            CreateKey(read.key);
                            DeleteValue(read.key, read.name);
                        }});
        rows.push_back({name + " of the wrong type", [read](HostileMachine&) {
                            if (read.isString) {
                                SetDword(read.key, read.name, 7);
                            } else {
                                SetString(read.key, read.name, L"7");
                            }
                        }});
        rows.push_back({name + " one byte long", [read](HostileMachine&) {
                            const BYTE one = '7';
                            SetRaw(read.key, read.name, read.isString ? REG_SZ : REG_DWORD, &one,
                                   1);
                        }});
        if (read.isString) {
            rows.push_back({name + " without terminator", [read](HostileMachine&) {
                                const wchar_t text[] = {L'1', L'2', L'.', L'7'};
                                SetRaw(read.key, read.name, REG_SZ, text, sizeof(text));
                            }});
        }
        rows.push_back({name + " of 256 KB", [read, huge](HostileMachine&) {
                            SetRaw(read.key, read.name, read.isString ? REG_SZ : REG_BINARY,
                                   huge.data(), huge.size());
                        }});
    }
    return rows;
}

std::vector<HostileRow> operator+(std::vector<HostileRow> rows, std::vector<HostileRow> more) {
    rows.insert(rows.end(), more.begin(), more.end());
    return rows;
}

HostileRow DeniedKeyRow(const wchar_t* key) {
    const std::string name(key, key + std::wcslen(key));
    return {name + " denied",
            [key](HostileMachine&) {
                CreateKey(key);
                DenyKeyAccess(key, KEY_QUERY_VALUE | KEY_SET_VALUE);
            },
            nullptr, [key](HostileMachine&) { AllowKeyAccess(key); }};
}

HostileRow InstallDirRow(size_t chars) {
    return {"install folder path of " + std::to_string(chars) + " characters",
            [chars](HostileMachine&) {
                std::wstring path = L"C:\\";
                path.resize(chars, L'p');
                SetString(kVrxKey, L"Install Dir", path);
            }};
}

std::vector<HostileRow> CommonRows() {
    return ValueRows({{kVrxKey, L"Install Dir", true}}) +
           std::vector<HostileRow>{DeniedKeyRow(kVrxKey), InstallDirRow(259), InstallDirRow(262),
                                   InstallDirRow(32767)};
}

// Runs what a table exercises on the arranged machine; false when it did not end in time.
using Runner = std::function<bool(HostileMachine&, DWORD& exitCode)>;

void RunTable(const Runner& run, const std::vector<HostileRow>& rows, DWORD highestExit) {
    for (const HostileRow& row : rows) {
        SCOPED_TRACE(row.state);
        RemoveProductKeys();
        StoreMechanism(1);
        HostileMachine machine;
        row.arrange(machine);
        if (machine.linkMissing) {
            ADD_FAILURE() << "no link could be made here";
            continue;
        }
        const auto outside = machine.OutsideFiles();
        DWORD exitCode = 0;
        EXPECT_TRUE(run(machine, exitCode)) << "no end within the bound";
        EXPECT_LE(exitCode, highestExit) << std::hex << exitCode;
        EXPECT_EQ(outside, machine.OutsideFiles());
        if (row.record != nullptr) {
            EXPECT_NE(std::wstring::npos, machine.log.Text().find(row.record))
                << testing::PrintToString(std::wstring(row.record));
        }
        if (row.verify) {
            row.verify(machine);
        }
        RemoveProductKeys();
    }
}

void RunTable(const wchar_t* action, const std::vector<HostileRow>& rows, DWORD highestExit) {
    const std::wstring name = action;
    RunTable([name](HostileMachine&,
                    DWORD& exitCode) { return RunActionWithin(name, kPatienceMs, exitCode); },
             rows, highestExit);
}

HostileRow HostilePackageRow(const wchar_t* cabinet, const wchar_t* landing) {
    const std::wstring cab = cabinet;
    return {std::string(cab.begin(), cab.end()),
            [cab, landing](HostileMachine& m) {
                CopyFileTo(FixturePath(cab), m.install / L"vrxcmcnt.cab");
                m.removeLater.push_back(
                    landing != nullptr ? landing : ParentOf(m.install.Path()) + L"\\x.txt");
            },
            L"ExtractCabFile: fail cab extraction",
            [](HostileMachine& m) {
                EXPECT_FALSE(FileExists(m.removeLater.back())) << "written outside";
                EXPECT_EQ(3u, ReadValue(kVrxKey, L"content").AsDword());
            }};
}

}  // namespace

class HostileStateE2E : public ProductRegistryTest {};

TEST_F(HostileStateE2E, CheckOutlook) {
    const wchar_t* kLinked = L"a link is on its path";
    const auto cacheOf = [](HostileMachine& m) { return m.profile + L"\\" + kCacheSinceVista; };
    RunTable(
        L"CheckOutlook",
        ValueRows({{kExchangeExtensionsKey, kOutlookExtensionValue, true}}) +
            std::vector<HostileRow>{
                DeniedKeyRow(kExchangeExtensionsKey),
                {"Outlook folder of a profile links outside",
                 [](HostileMachine& m) {
                     const std::wstring other = m.profiles.Add();
                     MakeFolder(other + L"\\AppData\\Local\\Microsoft");
                     m.Link(other + L"\\AppData\\Local\\Microsoft\\Outlook", m.outside.Path());
                 },
                 kLinked, [cacheOf](HostileMachine& m) { EXPECT_FALSE(FileExists(cacheOf(m))); }},
                {"AppData of a profile links outside",
                 [](HostileMachine& m) {
                     const std::wstring other = m.profiles.Add();
                     m.Link(other + L"\\AppData", m.outside / L"profile");
                 },
                 kLinked},
                {"read-only cache", [cacheOf](HostileMachine& m) { m.MakeReadOnly(cacheOf(m)); },
                 L"Access is denied"},
                {"cache held open without delete sharing",
                 [cacheOf](HostileMachine& m) { m.HoldOpen(cacheOf(m), FILE_SHARE_READ); }, nullptr,
                 [cacheOf](HostileMachine& m) { EXPECT_TRUE(FileExists(cacheOf(m))); }},
                {"profile name of 240 characters",
                 [](HostileMachine& m) {
                     ProfileFolders::WriteFile(m.profiles.Add(240), kCacheSinceVista);
                 }},
            },
        0);
}

TEST_F(HostileStateE2E, ExtractContent) {
    RunTable(
        L"ExtractContent",
        CommonRows() +
            ValueRows({{kSubstituteKey, L"version2", true},
                       {kVrxKey, L"upd_content", false},
                       {kVrxKey, L"content", false}}) +
            std::vector<HostileRow>{
                DeniedKeyRow(kSubstituteKey),
                HostilePackageRow(L"hostile-dotdot.cab", nullptr),
                HostilePackageRow(L"hostile-drive.cab", L"C:\\x.txt"),
                HostilePackageRow(L"hostile-rooted.cab", L"C:\\hxx.txt"),
                HostilePackageRow(L"hostile-device.cab",
                                  nullptr),  // a device name: no file to look for
                {"Config links outside, content kept",
                 [](HostileMachine& m) {
                     RemoveTree(m.install / L"Config");
                     SetString(kSubstituteKey, L"version2", L"12.8");
                     m.Link(m.install / L"Config", m.outside.Path());
                 },
                 L"ExtractCabFile: fail cab extraction"},
                {"Config links outside, content cleared",
                 [](HostileMachine& m) {
                     RemoveTree(m.install / L"Config");
                     m.Link(m.install / L"Config", m.outside.Path());
                 }},
                {"Config file held open without sharing",
                 [](HostileMachine& m) { m.HoldOpen(m.install / L"Config\\old-rules.txt", 0); }},
                {"read-only Config file",
                 [](HostileMachine& m) { m.MakeReadOnly(m.install / L"Config\\old-rules.txt"); }},
                {"package held open without sharing",
                 [](HostileMachine& m) { m.HoldOpen(m.install / L"vrxcmcnt.cab", 0); }},
            },
        0);
}

TEST_F(HostileStateE2E, ExtractAutoFillData) {
    RunTable(L"ExtractAutoFillData",
             CommonRows() +
                 std::vector<HostileRow>{
                     {"data folder links outside",
                      [](HostileMachine& m) {
                          MakeFolder(ParentOf(m.data.Path()));
                          m.Link(m.data.Path(), m.outside.Path());
                      },
                      L"ExtractAutoFillData Error Invalid db name and path"},
                     {"database held open without sharing",
                      [](HostileMachine& m) {
                          MakeFolder(m.data.Path());
                          WriteTextFile(m.data.Database(), "earlier");
                          m.HoldOpen(m.data.Database(), 0);
                      }},
                     {"read-only database",
                      [](HostileMachine& m) {
                          MakeFolder(m.data.Path());
                          WriteTextFile(m.data.Database(), "earlier");
                          m.MakeReadOnly(m.data.Database());
                      }},
                 },
             1);
}

TEST_F(HostileStateE2E, DeleteVRXTask) {
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring tasks = std::wstring(windows) + L"\\tasks\\";
    RunTable(L"DeleteVRXTask",
             std::vector<HostileRow>{
                 {"task file held open with delete sharing",
                  [tasks](HostileMachine& m) {
                      m.tasks = std::make_unique<ScopedTasks>(
                          std::vector<std::wstring>{L"VRX_ABImport_1", L"VRX_ABImport_2"});
                      m.HoldOpen(tasks + L"VRX_ABImport_1.job",
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
                  },
                  L"Task VRX_ABImport_1 is still listed after its deletion",
                  [](HostileMachine&) { EXPECT_FALSE(TaskExists(L"VRX_ABImport_2")); }},
                 {"task whose file path is too long",
                  [tasks](HostileMachine& m) {
                      m.tasks = std::make_unique<ScopedTasks>(
                          std::vector<std::wstring>{L"VRX_ABImport_3"});
                      const std::wstring longFile =
                          L"\\\\?\\" + tasks + L"VRX_ABImport" + std::wstring(238, L'x') + L".job";
                      EXPECT_TRUE(::CopyFileW((tasks + L"VRX_ABImport_3.job").c_str(),
                                              longFile.c_str(), FALSE));
                      m.removeLater.push_back(longFile);
                  },
                  L"the path of its task file is too long",
                  [](HostileMachine& m) {
                      EXPECT_TRUE(FileExists(m.removeLater.back()));
                      EXPECT_FALSE(TaskExists(L"VRX_ABImport_3"));
                  }},
             },
             0);
}

// The other actions read product values too; they must hold against the same damage.
TEST_F(HostileStateE2E, OtherActions) {
    const std::vector<HostileRow> common = CommonRows();
    RunTable(L"SetInstallDate", common + ValueRows({{kVrxKey, L"contentDate", false}}), 0);
    RunTable(L"SignalContentUpdate", common + ValueRows({{kVrxKey, L"contentUMDate", false}}), 0);
    RunTable(L"AdjustFiltLevel", common, 0);
    RunTable(L"ConvertUFilters", common, 0);
    RunTable(L"MoveApfFile", common, 0);
    RunTable(L"RemoveServiceDependency",
             ValueRows({{L"SOFTWARE\\Varlen\\ZEDHOST", L"Enable", false}}) +
                 std::vector<HostileRow>{DeniedKeyRow(L"SOFTWARE\\Varlen\\ZEDHOST")},
             1);
}

namespace {

const wchar_t kEntered[] = L"ExtractContent: entering..";

// The file sink's folders for the library below the common data folder, from "Varlen" down.
struct LogFolders {
    std::wstring varlen, logs, group, module;
};

LogFolders LogFoldersOf(const HostileMachine& m) {
    LogFolders folders;
    folders.module = m.log.Path();
    folders.group = ParentOf(folders.module);
    folders.logs = ParentOf(folders.group);
    folders.varlen = ParentOf(folders.logs);
    return folders;
}

// Makes `folder`, one of the log folders, a link to `target`: the folders above it are made, it
// and all below it go first.
void LinkLogFolder(HostileMachine& m, const std::wstring& folder, const std::wstring& target) {
    MakeFolder(ParentOf(folder));
    RemoveTree(folder);
    m.Link(folder, target);
}

// A "log.ini" outside the install with a value the sink would write back (MaxEntries 1 is
// invalid) and one a reader would show (Severity 5).
std::wstring WriteOutsideIni(HostileMachine& m, const wchar_t* name) {
    const std::wstring path = m.outside / name;
    Tessel::CObfuscatedIniReader ini;
    EXPECT_EQ(0u, ini.Load(path.c_str()));
    EXPECT_TRUE(ini.WriteDword(L"Config", L"MaxEntries", 1));
    EXPECT_TRUE(ini.WriteDword(L"Config", L"Severity", 5));
    return path;
}

// A log file of someone else's outside the install, in the sink's own form.
std::wstring WriteOutsideLog(HostileMachine& m, const wchar_t* relative) {
    const std::wstring path = m.outside / relative;
    MakeFolder(ParentOf(path));
    const std::wstring text =
        L"\xFEFF"
        L"their secret line\r\n";
    WriteTextFile(path, std::string(reinterpret_cast<const char*>(text.data()),
                                    text.size() * sizeof(wchar_t)));
    return path;
}

void WriteLastLogIdx(HostileMachine& m, DWORD index) {
    Tessel::CObfuscatedIniReader ini;
    ASSERT_EQ(0u, ini.Load((m.log.Path() + L"\\log.ini").c_str()));
    ASSERT_TRUE(ini.WriteDword(L"Config", L"LastLogIdx", index));
}

void WriteFullLogFile(HostileMachine& m, const wchar_t* name) {
    WriteTextFile(m.log.Path() + L"\\" + name, std::string(256 * 1024, 'x'));
}

// The module's own log folder exists, and its first log file is `kind` of a link to `target`.
void LinkLogFile(HostileMachine& m, const wchar_t* name, const std::wstring& target,
                 LinkKind kind) {
    MakeFolder(m.log.Path());
    m.Link(m.log.Path() + L"\\" + name, target, kind);
}

void NoLogFileWritten(HostileMachine& m) {
    EXPECT_FALSE(FileExists(m.log.Path() + L"\\VrxRO000.log"));
}

}  // namespace

// Links planted where the file sink writes: the sink must stay off (a link among its folders) or
// drop the record (a link in a file's place), and write nothing anywhere else.
TEST_F(HostileStateE2E, FileSink) {
    RunTable(
        L"ExtractContent",
        std::vector<HostileRow>{
            {"first run without VLLOGS: the folders are made and the records logged",
             [](HostileMachine& m) {
                 RemoveTree(LogFoldersOf(m).logs);
                 m.treesToRemove.push_back(LogFoldersOf(m).logs);
             },
             kEntered},
            {"Varlen links outside",
             [](HostileMachine& m) { LinkLogFolder(m, LogFoldersOf(m).varlen, m.outside.Path()); }},
            {"VLLOGS links outside",
             [](HostileMachine& m) { LinkLogFolder(m, LogFoldersOf(m).logs, m.outside.Path()); }},
            {"the group folder links outside",
             [](HostileMachine& m) { LinkLogFolder(m, LogFoldersOf(m).group, m.outside.Path()); }},
            {"the module folder links outside",
             [](HostileMachine& m) { LinkLogFolder(m, LogFoldersOf(m).module, m.outside.Path()); }},
            {"the module folder links to a missing folder",
             [](HostileMachine& m) {
                 LinkLogFolder(m, LogFoldersOf(m).module, m.outside / L"made-by-no-one");
             }},
            {"the log file links to an outside file",
             [](HostileMachine& m) {
                 LinkLogFile(m, L"VrxRO000.log", m.outside / L"x.txt", LinkKind::kFile);
             }},
            {"the log file is a second name of an outside file",
             [](HostileMachine& m) {
                 LinkLogFile(m, L"VrxRO000.log", m.outside / L"x.txt", LinkKind::kHardLink);
             }},
            {"the log file links to a missing outside file",
             [](HostileMachine& m) {
                 LinkLogFile(m, L"VrxRO000.log", m.outside / L"new.log", LinkKind::kFile);
             }},
            {"the module's log.ini links to an outside file",
             [](HostileMachine& m) {
                 LinkLogFile(m, L"log.ini", WriteOutsideIni(m, L"log.ini"), LinkKind::kFile);
             },
             nullptr, &NoLogFileWritten},
            {"the global log.ini links to an outside file",
             [](HostileMachine& m) {
                 MakeFolder(LogFoldersOf(m).logs);
                 m.Link(LogFoldersOf(m).logs + L"\\log.ini", WriteOutsideIni(m, L"global.ini"),
                        LinkKind::kFile);
             },
             kEntered},
            {"rotation: the next log file links to an outside file",
             [](HostileMachine& m) {
                 MakeFolder(m.log.Path());
                 WriteFullLogFile(m, L"VrxRO000.log");
                 LinkLogFile(m, L"VrxRO001.log", m.outside / L"x.txt", LinkKind::kFile);
             },
             nullptr,
             [](HostileMachine& m) {
                 EXPECT_EQ(256u * 1024, ReadTextFile(m.log.Path() + L"\\VrxRO000.log").size());
                 EXPECT_FALSE(FileExists(m.log.Path() + L"\\log.ini"));
             }},
            {"wrap-around: the first log file links to an outside file",
             [](HostileMachine& m) {
                 MakeFolder(m.log.Path());
                 WriteLastLogIdx(m, 2);
                 WriteFullLogFile(m, L"VrxRO002.log");
                 LinkLogFile(m, L"VrxRO000.log", m.outside / L"x.txt", LinkKind::kFile);
             },
             nullptr,
             [](HostileMachine& m) {
                 DWORD index = 0;
                 Tessel::CObfuscatedIniReader ini;
                 ASSERT_EQ(0u, ini.Load((m.log.Path() + L"\\log.ini").c_str()));
                 EXPECT_TRUE(ini.ReadDword(L"Config", L"LastLogIdx", index));
                 EXPECT_EQ(2u, index);
             }},
        },
        0);
}

TEST_F(HostileStateE2E, MoveApfFileThroughLinks) {
    // The earlier install's "apf" file goes to the install's "apf" folder only when neither
    // end, nor a folder on the way, is a link.
    const auto earlierApf = [](HostileMachine& m, bool withFile) {
        m.legacy = std::make_unique<LegacyApfFolder>();
        m.legacy->Create();
        if (withFile) {
            WriteTextFile(*m.legacy / L"apf", "earlier apf");
        }
    };
    const auto theirFolder = [](HostileMachine& m, const wchar_t* relative) {
        MakeFolder(m.outside / relative);
        WriteTextFile(m.outside / relative + L"\\apf", "their apf");
        return m.outside / relative;
    };
    // The earlier "apf" file is `kind` of a link to a file outside.
    const auto linkedEarlierApf = [earlierApf](LinkKind kind) {
        return [earlierApf, kind](HostileMachine& m) {
            earlierApf(m, false);
            m.Link(*m.legacy / L"apf", m.outside / L"x.txt", kind);
            MakeFolder(m.install / L"apf");
        };
    };
    const auto notMoved = [](HostileMachine& m) {
        EXPECT_FALSE(FileExists(m.install / L"apf\\apf"));
        EXPECT_TRUE(m.log.Text().empty());
    };
    RunTable(L"MoveApfFile",
             std::vector<HostileRow>{
                 {"plain folders and file: moved",
                  [earlierApf](HostileMachine& m) {
                      earlierApf(m, true);
                      MakeFolder(m.install / L"apf");
                  },
                  nullptr,
                  [](HostileMachine& m) {
                      EXPECT_EQ("earlier apf", ReadTextFile(m.install / L"apf\\apf"));
                  }},
                 {"the earlier apf folder links outside",
                  [theirFolder](HostileMachine& m) {
                      m.legacy = std::make_unique<LegacyApfFolder>();
                      MakeFolder(m.legacy->ProductFolder());
                      m.Link(m.legacy->Path(), theirFolder(m, L"theirs"));
                      MakeFolder(m.install / L"apf");
                  },
                  nullptr, notMoved},
                 {"the earlier product folder links outside",
                  [theirFolder](HostileMachine& m) {
                      m.legacy = std::make_unique<LegacyApfFolder>();
                      MakeFolder(ParentOf(m.legacy->ProductFolder()));
                      RemoveTree(m.legacy->ProductFolder());
                      theirFolder(m, L"theirs\\apf");
                      m.Link(m.legacy->ProductFolder(), m.outside / L"theirs");
                      MakeFolder(m.install / L"apf");
                  },
                  nullptr, notMoved},
                 {"the earlier apf file links to an outside file",
                  linkedEarlierApf(LinkKind::kFile), nullptr, notMoved},
                 {"the earlier apf file is a second name of an outside file",
                  linkedEarlierApf(LinkKind::kHardLink), nullptr, notMoved},
                 {"the install's apf folder links outside",
                  [earlierApf, theirFolder](HostileMachine& m) {
                      earlierApf(m, true);
                      m.Link(m.install / L"apf", theirFolder(m, L"theirs"));
                  },
                  nullptr, [](HostileMachine& m) { EXPECT_TRUE(FileExists(*m.legacy / L"apf")); }},
                 {"the install's apf file links to an outside file",
                  [earlierApf](HostileMachine& m) {
                      earlierApf(m, true);
                      MakeFolder(m.install / L"apf");
                      m.Link(m.install / L"apf\\apf", m.outside / L"x.txt", LinkKind::kFile);
                  },
                  nullptr, [](HostileMachine& m) { EXPECT_TRUE(FileExists(*m.legacy / L"apf")); }},
             },
             0);
}

// The support tool runs elevated too: it neither writes nor shows what a link leads to.
TEST_F(HostileStateE2E, VrxConfThroughLinks) {
    const auto ini = [](HostileMachine& m) { return m.log.Path() + L"\\log.ini"; };
    const auto refused = [](HostileMachine& m) {
        EXPECT_EQ(1u, m.tool.exitCode) << m.tool.output;
        EXPECT_NE(std::string::npos, m.tool.output.find("refused")) << m.tool.output;
        EXPECT_EQ(std::string::npos, m.tool.output.find("= 5")) << m.tool.output;
        EXPECT_EQ(std::string::npos, m.tool.output.find("secret")) << m.tool.output;
    };
    RunTable(
        [](HostileMachine& m, DWORD& exitCode) {
            m.tool = RunVrxConf(m.toolArguments);
            exitCode = m.tool.exitCode;
            return true;
        },
        std::vector<HostileRow>{
            {"ini set through a linked log folder",
             [ini](HostileMachine& m) {
                 WriteOutsideIni(m, L"log.ini");
                 LinkLogFolder(m, LogFoldersOf(m).module, m.outside.Path());
                 m.toolArguments = {L"ini", L"set", ini(m), L"Config", L"Severity", L"1"};
             },
             nullptr, refused},
            {"ini set of a log.ini that links to an outside file",
             [ini](HostileMachine& m) {
                 LinkLogFile(m, L"log.ini", WriteOutsideIni(m, L"log.ini"), LinkKind::kFile);
                 m.toolArguments = {L"ini", L"set", ini(m), L"Config", L"Severity", L"1"};
             },
             nullptr, refused},
            {"ini get of a log.ini that links to an outside file",
             [ini](HostileMachine& m) {
                 LinkLogFile(m, L"log.ini", WriteOutsideIni(m, L"log.ini"), LinkKind::kFile);
                 m.toolArguments = {L"ini", L"get", ini(m), L"Config", L"Severity"};
             },
             nullptr, refused},
            {"logs of a linked log folder",
             [](HostileMachine& m) {
                 WriteOutsideLog(m, L"VrxRO000.log");
                 LinkLogFolder(m, LogFoldersOf(m).module, m.outside.Path());
                 m.toolArguments = {L"logs"};
             },
             nullptr, refused},
            {"logs of a log file that links to an outside file",
             [](HostileMachine& m) {
                 LinkLogFile(m, L"VrxRO000.log", WriteOutsideLog(m, L"their.log"), LinkKind::kFile);
                 m.toolArguments = {L"logs"};
             },
             nullptr, refused},
            {"logs of a log file that is a second name of an outside file",
             [](HostileMachine& m) {
                 LinkLogFile(m, L"VrxRO000.log", WriteOutsideLog(m, L"their.log"),
                             LinkKind::kHardLink);
                 m.toolArguments = {L"logs"};
             },
             nullptr, refused},
        },
        1);
}
