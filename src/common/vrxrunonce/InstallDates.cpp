// SetInstallDate: stamps the install time under the substitute key and gives the content date a
// first value when it has no usable one.
#include <windows.h>

#include <ctime>

#include "ActionLog.h"
#include "VrxRunOnce.h"
#include "../../includes/ProductKeys.h"
#include "../../includes/RegKeyHolder.h"

namespace {

constexpr const wchar_t* kAction = L"SetInstallDate";

// Writes "date" and then "gmtdate"; a failed "date" skips "gmtdate".
bool WriteInstallTime(const CRegKeyHolder& substitute, const SYSTEMTIME& now, __time64_t seconds) {
    if (substitute.SetValue(L"date", REG_BINARY, &now, sizeof(now)) != ERROR_SUCCESS) {
        return false;
    }
    // Only the low 32 bits are kept, unsigned: the count wraps in 2106, not in 2038.
    const DWORD gmtDate = static_cast<DWORD>(static_cast<unsigned long long>(seconds));
    return substitute.SetValue(L"gmtdate", REG_DWORD, &gmtDate, sizeof(gmtDate)) == ERROR_SUCCESS;
}

// A content date set earlier, by anyone, is kept when it is a binary value of at most 16 bytes.
bool HasUsableContentDate(const CRegKeyHolder& product) {
    BYTE stored[sizeof(SYSTEMTIME)] = {};
    DWORD bytes = sizeof(stored);
    DWORD type = REG_NONE;
    return product.QueryValue(L"contentDate", type, stored, bytes) == ERROR_SUCCESS &&
           type == REG_BINARY;
}

}  // namespace

extern "C" int CALLBACK SetInstallDate(HWND, HINSTANCE, LPSTR, int) {
    using VrxRunOnce::LogAction;
    SYSTEMTIME now = {};
    ::GetSystemTime(&now);
    const __time64_t seconds = ::_time64(nullptr);

    CRegKeyHolder key;
    const bool substituteOpen = key.Open(HKEY_LOCAL_MACHINE, ProductKeys::kSubstitute,
                                         ProductKeys::kWrite64) == ERROR_SUCCESS;
    if (!substituteOpen || !WriteInstallTime(key, now, seconds)) {
        LogAction(ETWLogging::kSeverityError, kAction, 117,
                  L"Error writing last update date to registry.");
    }

    // One key at a time: the substitute key is closed only when the product key opens.
    if (key.Open(HKEY_LOCAL_MACHINE, ProductKeys::kVrx, ProductKeys::kAllAccess64) !=
        ERROR_SUCCESS) {
        return 0;
    }
    if (!HasUsableContentDate(key) &&
        key.SetValue(L"contentDate", REG_BINARY, &now, sizeof(now)) != ERROR_SUCCESS) {
        LogAction(ETWLogging::kSeverityError, kAction, 128,
                  L"Error writing last content date to registry.");
    }
    return 0;
}
