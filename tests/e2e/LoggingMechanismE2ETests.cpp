#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "RunDll32.h"
#include "support/RegKey.h"
#include "tests/support/Files.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

namespace {

// The file sink's folder for the library, <data folder>\Varlen\VLLOGS\Anti-Spam\VrxRO: empty at
// the start; at the end the outermost folder of that chain the test made is removed.
class LibraryLogFolder {
public:
    LibraryLogFolder() {
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
    ~LibraryLogFolder() { RemoveTree(m_outermostMade); }
    LibraryLogFolder(const LibraryLogFolder&) = delete;
    LibraryLogFolder& operator=(const LibraryLogFolder&) = delete;

    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
    std::wstring m_outermostMade;
};

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

}  // namespace

class LoggingMechanismE2E : public ProductRegistryTest {
protected:
    LibraryLogFolder logFolder;
};

TEST_F(LoggingMechanismE2E, WithMechanismOneTheActionsRecordsReachTheLogFile) {
    StoreMechanism(1);
    // Without the product's keys the action fails to stamp the date and logs that.
    EXPECT_EQ(0u, RunAction(L"SetInstallDate"));

    const std::wstring log = ReadWideFile(logFolder.Path() + L"\\VrxRO000.log");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(L'\xFEFF', log[0]);
    const std::wstring expected = L" -- (Error)$  Error writing last update date to registry.\r\n";
    const size_t found = log.find(expected);
    ASSERT_NE(std::wstring::npos, found) << "no record line in the log file";
    // The line starts with its time stamp: "MM/DD/YYYY hh:mm:ss AM$".
    const size_t newline = log.rfind(L'\n', found);
    const size_t lineStart = newline == std::wstring::npos ? 1 : newline + 1;  // after the BOM
    const std::wstring stamp = log.substr(lineStart, found - lineStart);
    EXPECT_EQ(23u, stamp.size()) << std::string(stamp.begin(), stamp.end());
    EXPECT_EQ(L'$', stamp.back());
}
