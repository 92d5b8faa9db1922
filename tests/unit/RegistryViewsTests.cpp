// The product's keys present in one registry view and missing from the other, as an earlier
// install or a tool of the other bitness can leave them. Each action reaches the view it names
// (or, naming none, its own) and fails there as it does for a missing key.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "src/common/vrxrunonce/VrxRunOnce.h"
#include "tests/support/Files.h"
#include "tests/support/LegacyApf.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Registry.h"
#include "tests/support/UpdMgrStandIn.h"

using namespace VrxTest;

namespace {

using Action = int(WINAPI*)(HWND, HINSTANCE, LPSTR, int);

// The action's own errors: what an installer's log would show.
std::vector<LogRecord> ActionErrors() {
    std::vector<LogRecord> errors;
    for (const LogRecord& record : LogRecords()) {
        if (record.file == L"VrxRunOnce" && record.severity >= 4) {
            errors.push_back(record);
        }
    }
    return errors;
}

class RegistryViewsTest : public MachineGuidTest {};

}  // namespace

TEST_F(RegistryViewsTest, AProductKeyInTheOtherViewOnlyIsAMissingKey) {
    struct Case {
        const wchar_t* name;
        REGSAM onlyView;  // the one view that holds the product keys
        Action action;
        std::vector<LogRecord> errors;
        std::function<void()> check;
    };
    LegacyApfFolder legacy;
    const auto error = [](const wchar_t* function, int line, const wchar_t* text) {
        return LogRecord{4, L"VrxRunOnce", function, line, text};
    };
    const Case cases[] = {
        {L"install dates, keys in the 32-bit view only",
         KEY_WOW64_32KEY,
         SetInstallDate,
         {error(L"SetInstallDate", 117, L"Error writing last update date to registry.")},
         [] {
             EXPECT_FALSE(ReadValue(kSubstituteKey, L"date", KEY_WOW64_32KEY).present);
             EXPECT_FALSE(ReadValue(kVrxKey, L"contentDate", KEY_WOW64_32KEY).present);
         }},
        {L"apf move, keys in the 32-bit view only",
         KEY_WOW64_32KEY,
         MoveApfFile,
         {error(L"MoveApfFile", 883, L"copy apf file: fail to read VRX registry key")},
         [&legacy] { EXPECT_TRUE(FileExists(legacy / L"apf")); }},
        {L"update date, the key missing from the process's own view",
         kOtherView,
         SignalContentUpdate,
         {error(L"SignalContentUpdate", 1009, L"Error writing update date to registry.")},
         [] { EXPECT_FALSE(ReadValue(kVrxKey, L"contentUMDate", kOtherView).present); }},
    };
    SetMachineGuid(L"0d9e8f7a-6b5c-4d3e-9f10-a1b2c3d4e5f6");
    legacy.Create();
    WriteTextFile(legacy / L"apf", "apf of an earlier install");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveProductKeys();
        CreateKey(kSubstituteKey, c.onlyView);
        SetString(kVrxKey, L"Install Dir", L"C:\\VRX", REG_SZ, c.onlyView);
        ClearLogRecords();

        EXPECT_EQ(0, c.action(nullptr, nullptr, nullptr, 0));
        EXPECT_EQ(c.errors, ActionErrors());
        c.check();
    }
}
