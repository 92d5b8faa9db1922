// vrxconf.exe against the DLL and the library's stored forms, each in its own process.
#include <gtest/gtest.h>

#include <string>

#include "RunDll32.h"
#include "support/RegKey.h"
#include "tests/support/Files.h"
#include "tests/support/LogFile.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

namespace {

constexpr const wchar_t* kToolKey = L"SOFTWARE\\Varlen\\VrxConfTest";
const std::wstring kToolKeyPath = std::wstring(L"HKLM\\") + kToolKey;

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

}  // namespace

class VrxConfE2E : public ProductRegistryTest {
protected:
    LibraryLogFolder logFolder;
};

// What vrxconf writes the DLL honours (the mechanism, a log.ini threshold), and what the DLL
// writes vrxconf reads (its log lines, its log.ini).
TEST_F(VrxConfE2E, SettingsRoundTripWithTheDll) {
    MakeFolder(logFolder.Path());
    const std::wstring ini = logFolder.Path() + L"\\log.ini";
    for (const auto& arguments :
         {std::vector<std::wstring>{L"logging", L"file", L"--view", NativeView()},
          {L"ini", L"set", ini, L"Config", L"Severity", L"1"}}) {
        const ToolRun run = RunVrxConf(arguments);
        ASSERT_EQ(0u, run.exitCode) << run.output;
    }
    // Without an update manager the action logs at severity 1 (Normal), below the default
    // threshold of 3.
    EXPECT_EQ(0u, RunAction(L"SignalContentUpdate"));

    const ToolRun logs = RunVrxConf({L"logs", L"--tail", L"3"});
    EXPECT_EQ(0u, logs.exitCode) << logs.output;
    EXPECT_NE(std::string::npos, logs.output.find("== " + Narrow(logFolder.Path()))) << logs.output;
    EXPECT_NE(std::string::npos, logs.output.find("(Normal)$  Can not open CmlUpdator mutex.\r\n"))
        << logs.output;
    const ToolRun severity = RunVrxConf({L"ini", L"get", ini, L"Config", L"Severity"});
    EXPECT_EQ(0u, severity.exitCode) << severity.output;
    EXPECT_NE(std::string::npos, severity.output.find("Severity in " + Narrow(ini) + " = 1"))
        << severity.output;
}

TEST_F(VrxConfE2E, EncipheredValuesRoundTripInEveryType) {
    struct Case {
        const wchar_t* type;
        std::vector<std::wstring> value;
        const char* shown;
    };
    const Case cases[] = {
        {L"dword", {L"0x2A"}, "REG_DWORD 42 (0x0000002A)"},
        {L"qword", {L"5"}, "REG_QWORD 5 (0x0000000000000005)"},
        {L"sz", {L"C:\\Program Files\\Varlen"}, "REG_SZ \"C:\\Program Files\\Varlen\""},
        {L"multi_sz", {L"one", L"two"}, "REG_MULTI_SZ \"one\" \"two\""},
        {L"binary", {L"00ff10"}, "REG_BINARY (3 bytes) 00ff10"},
    };
    for (const Case& c : cases) {
        std::vector<std::wstring> set = {L"reg",    L"set", kToolKeyPath, c.type,
                                         L"--type", c.type, L"--view",    L"64"};
        set.insert(set.end(), c.value.begin(), c.value.end());
        const ToolRun run = RunVrxConf(set);
        ASSERT_EQ(0u, run.exitCode) << run.output;
        const ToolRun get =
            RunVrxConf({L"reg", L"get", kToolKeyPath, c.type, L"--view", L"64", L"--type", c.type});
        EXPECT_EQ(0u, get.exitCode) << get.output;
        EXPECT_NE(std::string::npos, get.output.find(c.shown)) << get.output;
    }
    // The library reads what the tool stored.
    Tessel::CObfuscatedRegKey key;
    ASSERT_EQ(0u, key.Open(HKEY_LOCAL_MACHINE, kToolKey, KEY_QUERY_VALUE | KEY_WOW64_64KEY));
    DWORD number = 0;
    EXPECT_EQ(0u, key.ReadDword(L"dword", number));
    EXPECT_EQ(42u, number);
}

TEST_F(VrxConfE2E, BadInputIsExplainedAndWritesNothing) {
    SetDword(kToolKey, L"plain", 1);
    SetRaw(kToolKey, L"short", REG_BINARY, "VLRG", 4);
    const ToolRun stored = RunVrxConf(
        {L"reg", L"set", kToolKeyPath, L"damaged", L"--type", L"dword", L"--view", L"64", L"7"});
    ASSERT_EQ(0u, stored.exitCode) << stored.output;
    const ToolRun text =
        RunVrxConf({L"reg", L"set", kToolKeyPath, L"text", L"--view", L"64", L"abc"});
    ASSERT_EQ(0u, text.exitCode) << text.output;
    RegValue record = ReadValue(kToolKey, L"damaged");
    ASSERT_TRUE(record.present);
    record.data.back() ^= 1;
    SetRaw(kToolKey, L"damaged", REG_BINARY, record.data.data(), record.data.size());
    const std::wstring missingIni = logFolder.Path() + L"\\log.ini";
    const std::wstring lockedKey = std::wstring(kToolKey) + L"\\Locked";
    CreateKey(lockedKey.c_str());
    DenyKeyAccess(lockedKey.c_str(), KEY_QUERY_VALUE);

    struct Case {
        std::vector<std::wstring> arguments;
        DWORD exitCode;
        const char* message;
    };
    // The test helpers work in the 64-bit view.
    const std::wstring view = L"64";
    const Case cases[] = {
        {{L"reg", L"get", kToolKeyPath, L"damaged", L"--view", view}, 1, "digest mismatch"},
        {{L"reg", L"get", kToolKeyPath, L"short", L"--view", view}, 1, "truncated"},
        {{L"reg", L"get", kToolKeyPath, L"plain", L"--view", view}, 1, "stored as plain REG_DWORD"},
        {{L"reg", L"get", kToolKeyPath, L"none", L"--view", view}, 1, "no such value"},
        {{L"reg", L"get", kToolKeyPath, L"text", L"--type", L"dword", L"--view", view},
         1,
         "holds REG_SZ, not REG_DWORD"},
        {{L"reg", L"get", kToolKeyPath + L"\\Missing", L"x", L"--view", view},
         1,
         "the key does not exist"},
        {{L"reg", L"get", L"HKLM\\" + lockedKey, L"x", L"--view", view}, 1, "(5)"},
        {{L"reg", L"set", kToolKeyPath + L"\\New", L"x", L"--type", L"dword", L"--view", view,
          L"0x100000000"},
         2,
         "nothing written"},
        {{L"reg", L"get", L"HKCU\\Software", L"x"}, 2, "is not a key under HKLM"},
        {{L"logging", L"files"}, 2, "usage: vrxconf logging"},
        {{L"logging", L"file", L"--view", L"16"}, 2, "--view takes 32 or 64"},
        {{L"ini", L"set", missingIni, L"Config", L"Severity", L"high"}, 2, "nothing written"},
        {{L"ini", L"get", missingIni, L"Config", L"Severity"}, 1, "cannot read"},
        {{L"logs", L"--tail", L"0"}, 2, "N at least 1"},
        {{L"logs"}, 1, "no log files of VrxRO"},
    };
    for (const Case& c : cases) {
        const ToolRun run = RunVrxConf(c.arguments);
        EXPECT_EQ(c.exitCode, run.exitCode) << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.message)) << run.output;
    }
    AllowKeyAccess(lockedKey.c_str());
    EXPECT_FALSE(KeyExists((std::wstring(kToolKey) + L"\\New").c_str()));
    EXPECT_FALSE(FileExists(missingIni));
    for (const REGSAM logView : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        EXPECT_FALSE(KeyExists(L"SOFTWARE\\Varlen\\Logging", logView));
    }
}

TEST_F(VrxConfE2E, StatusShowsWhatTheActionsRead) {
    SetString(kVrxKey, L"Install Dir", L"C:\\Program Files\\Varlen\\VRX");
    const ToolRun selected = RunVrxConf({L"logging", L"file", L"--view", L"32"});
    ASSERT_EQ(0u, selected.exitCode) << selected.output;

    const ToolRun status = RunVrxConf({L"status"});
    EXPECT_EQ(0u, status.exitCode) << status.output;
    for (const char* expected :
         {"the actions use C:\\Program Files\\Varlen\\VRX (from \"Install Dir\")",
          "32-bit view: REG_DWORD 1 (0x00000001) -> log files",
          "64-bit view: not read: the key does not exist -> event tracing", "}-VRX-UPD",
          "-> validation service not configured"}) {
        EXPECT_NE(std::string::npos, status.output.find(expected)) << expected << "\n"
                                                                   << status.output;
    }
}
