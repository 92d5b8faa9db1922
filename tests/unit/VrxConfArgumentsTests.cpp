#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tools/vrxconf/Arguments.h"

using namespace VrxConf;

namespace {

using Bytes = std::vector<BYTE>;

Bytes WideBytes(const wchar_t* text, size_t chars) {
    Bytes bytes(chars * sizeof(wchar_t));
    std::memcpy(bytes.data(), text, bytes.size());
    return bytes;
}

}  // namespace

TEST(VrxConfArguments, ValuesParseToTheirStoredFormOrAreRefused) {
    struct Case {
        DWORD type;
        std::vector<std::wstring> texts;
        bool parses;
        Bytes stored;
        const wchar_t* shown;
    };
    const Case cases[] = {
        {REG_DWORD, {L"1"}, true, {1, 0, 0, 0}, L"REG_DWORD 1 (0x00000001)"},
        {REG_DWORD, {L"0xffffffff"}, true, {0xFF, 0xFF, 0xFF, 0xFF}, nullptr},
        {REG_DWORD, {L"4294967296"}, false, {}, nullptr},
        {REG_DWORD, {L"-1"}, false, {}, nullptr},
        {REG_DWORD, {L"12a"}, false, {}, nullptr},
        {REG_DWORD, {L"0x"}, false, {}, nullptr},
        {REG_DWORD, {L"1", L"2"}, false, {}, nullptr},
        {REG_QWORD, {L"0x0102030405060708"}, true, {8, 7, 6, 5, 4, 3, 2, 1}, nullptr},
        {REG_QWORD, {L"18446744073709551616"}, false, {}, nullptr},
        {REG_SZ, {L"ab"}, true, WideBytes(L"ab", 3), L"REG_SZ \"ab\""},
        {REG_SZ, {L""}, true, WideBytes(L"", 1), L"REG_SZ \"\""},
        {REG_MULTI_SZ, {L"a", L"b"}, true, WideBytes(L"a\0b\0", 5), L"REG_MULTI_SZ \"a\" \"b\""},
        {REG_MULTI_SZ, {L"a", L""}, false, {}, nullptr},
        {REG_BINARY, {L"00Ff"}, true, {0x00, 0xFF}, L"REG_BINARY (2 bytes) 00ff"},
        {REG_BINARY, {L"0f0"}, false, {}, nullptr},
        {REG_BINARY, {L"zz"}, false, {}, nullptr},
        {REG_BINARY, {L""}, false, {}, nullptr},
    };
    for (const Case& c : cases) {
        const std::string label = std::to_string(c.type) + ": " +
                                  std::string(c.texts.front().begin(), c.texts.front().end());
        RegistryValue value;
        std::wstring error;
        ASSERT_EQ(c.parses, ParseValue(c.type, c.texts, value, error)) << label;
        EXPECT_EQ(c.parses, error.empty()) << label;
        if (c.parses) {
            EXPECT_EQ(c.stored, value.bytes) << label;
        }
        if (c.shown != nullptr) {
            EXPECT_EQ(c.shown, DescribeValue(value)) << label;
        }
    }
}

TEST(VrxConfArguments, CommandLinesKeyPathsAndViews) {
    struct PathCase {
        const wchar_t* path;
        const wchar_t* subKey;  // null: refused
    };
    for (const PathCase& c :
         {PathCase{L"HKLM\\SOFTWARE\\Varlen", L"SOFTWARE\\Varlen"},
          PathCase{L"hkey_local_machine\\A", L"A"}, PathCase{L"HKCU\\Software", nullptr},
          PathCase{L"HKLM\\", nullptr}, PathCase{L"HKLM\\A\\", nullptr},
          PathCase{L"HKLM\\A\\\\B", nullptr}, PathCase{L"SOFTWARE\\Varlen", nullptr}}) {
        std::wstring subKey;
        EXPECT_EQ(c.subKey != nullptr, SplitMachineKeyPath(c.path, subKey))
            << std::string(c.path, c.path + std::wcslen(c.path));
        if (c.subKey != nullptr) {
            EXPECT_EQ(c.subKey, subKey);
        }
    }

    const wchar_t* const argv[] = {L"vrxconf", L"reg", L"--view", L"64", L"get", L"-1"};
    CommandLine line;
    std::wstring error;
    ASSERT_TRUE(ParseCommandLine(6, argv, line, error));
    EXPECT_EQ((std::vector<std::wstring>{L"reg", L"get", L"-1"}), line.positional);
    REGSAM view = 0;
    ASSERT_TRUE(ParseView(line, view, error));
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), view);
    EXPECT_TRUE(CheckOptions(line, {L"--view"}, error));
    EXPECT_FALSE(CheckOptions(line, {L"--type"}, error));
    EXPECT_TRUE(ParseView(CommandLine{}, view, error));
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), view);  // where the shipped DLL reads

    const wchar_t* const dangling[] = {L"vrxconf", L"logs", L"--tail"};
    EXPECT_FALSE(ParseCommandLine(3, dangling, line, error));
    const wchar_t* const twice[] = {L"vrxconf", L"--view", L"32", L"--view", L"64"};
    CommandLine other;
    EXPECT_FALSE(ParseCommandLine(5, twice, other, error));
}
