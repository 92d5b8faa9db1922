#include "tests/support/LogFile.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>

#include "support/IniReader.h"
#include "support/RegKey.h"
#include "tests/support/Files.h"
#include "tests/support/Registry.h"

namespace VrxTest {

LibraryLogFolder::LibraryLogFolder() {
    wchar_t data[MAX_PATH] = {};
    EXPECT_EQ(S_OK, ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, data));
    std::wstring folder = data;
    for (const wchar_t* part : {L"Varlen", L"VLLOGS", L"Anti-Spam", L"VrxRO"}) {
        folder += L"\\";
        folder += part;
        if (m_outermostMade.empty() && !FolderExists(folder)) {
            m_outermostMade = folder;
        }
    }
    m_path = folder;
    RemoveTree(m_path);
    if (m_outermostMade.empty()) {
        m_outermostMade = m_path;
    }
}

LibraryLogFolder::~LibraryLogFolder() {
    RemoveTree(m_outermostMade);
}

void LibraryLogFolder::LogEverySeverity() const {
    MakeFolder(m_path);
    Tessel::CObfuscatedIniReader settings;
    ASSERT_EQ(0u, settings.Load((m_path + L"\\log.ini").c_str()));
    ASSERT_TRUE(settings.WriteDword(L"Config", L"Severity", 0));
}

std::wstring LibraryLogFolder::Text() const {
    return ReadWideFile(m_path + L"\\VrxRO000.log");
}

std::wstring ReadWideFile(const std::wstring& path) {
    const std::string bytes = ReadTextFile(path);
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) {
        std::memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
    }
    return text;
}

void StoreMechanism(DWORD mechanism) {
    Tessel::CObfuscatedRegKey key;
    ASSERT_EQ(0u, key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varlen\\Logging", nullptr,
                             REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | kNativeView));
    ASSERT_EQ(0u, key.WriteDword(L"Logging Mechanism", mechanism));
}

}  // namespace VrxTest
