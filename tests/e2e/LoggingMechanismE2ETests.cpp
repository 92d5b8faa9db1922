#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "RunDll32.h"
#include "tests/support/Files.h"
#include "tests/support/LibraryLog.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

namespace {

std::wstring ReadWideFile(const std::wstring& path) {
    const std::string bytes = ReadTextFile(path);
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) {
        std::memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
    }
    return text;
}

}  // namespace

class LoggingMechanismE2E : public ProductRegistryTest {
protected:
    LibraryLogFolder logFolder;
};

TEST_F(LoggingMechanismE2E, WithMechanismOneTheActionsRecordsReachTheLogFile) {
    StoreLoggingMechanism(kMechanismFileSink);
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
