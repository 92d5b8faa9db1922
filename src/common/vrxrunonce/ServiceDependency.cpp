// RemoveServiceDependency: clears the start dependencies of the product's service, so that it no
// longer waits for the maker's service "vlnfire", unless the maker's host product is enabled.
#include <windows.h>

#include "ActionLog.h"
#include "VrxRunOnce.h"
#include "../../includes/ProductKeys.h"
#include "../../includes/RegKeyHolder.h"
#include "../../includes/Scam.h"

namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityInformation;
using VrxRunOnce::LogAction;

constexpr const wchar_t* kAction = L"RemoveServiceDependency";
constexpr const wchar_t* kServiceName = L"VRX80Service";

// No service and no group: the list's terminator and the terminator that ends the list.
constexpr wchar_t kNoDependencies[] = L"\0";
static_assert(sizeof(kNoDependencies) == 2 * sizeof(wchar_t), "an empty dependency list");

// "Enable" under the host product's key, read in the 64-bit view. A missing key or value, and a
// value that is not a 4-byte REG_DWORD, count as 0.
bool HostProductEnabled() {
    CRegKeyHolder key;
    if (key.Open(HKEY_LOCAL_MACHINE, ProductKeys::kZedHost, ProductKeys::kQuery64) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD enable = 0;
    DWORD bytes = sizeof(enable);
    DWORD type = REG_NONE;
    if (key.QueryValue(ProductKeys::kEnableValue, type, &enable, bytes) != ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof(enable)) {
        return false;
    }
    return enable != 0;
}

}  // namespace

extern "C" int CALLBACK RemoveServiceDependency(HWND, HINSTANCE, LPSTR, int) {
    if (HostProductEnabled()) {
        return 0;
    }
    LogAction(kSeverityInformation, kAction, 1224, L"RemoveServiceDependency: Entering..");

    const CScam scam(kServiceName);
    if (scam.SetDependency(kNoDependencies) != 0) {
        LogAction(kSeverityError, kAction, 1230,
                  L"Failed to remove legacy dependency for VRX80Service");
        return 1;
    }
    LogAction(kSeverityInformation, kAction, 1233, L"Removed dependency on vlnfire");
    LogAction(kSeverityInformation, kAction, 1234, L"RemoveServiceDependency: Exiting..");
    return 0;
}
