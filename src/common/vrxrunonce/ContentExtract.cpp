// ExtractContent: unpacks the content package that came with the install into the install
// folder, unless the content already in place is newer, and records the new content number.
#include <windows.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "ActionLog.h"
#include "ProductLocations.h"
#include "VrxCabUtils.h"
#include "VrxRunOnce.h"
#include "../../includes/ProductKeys.h"
#include "../../includes/RegKeyHolder.h"

namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityInformation;
using VrxRunOnce::LogAction;

constexpr const wchar_t* kAction = L"ExtractContent";
constexpr const wchar_t* kPackageName = L"\\vrxcmcnt.cab";
constexpr const wchar_t* kConfigFolder = L"\\Config";

// Content laid down for versions from 12.6 to 13.0 is kept; older content is cleared away, and a
// newer product's content is never touched.
constexpr double kLowestKeptVersion = 12.6;
constexpr double kHighestKeptVersion = 13.0;

// The number reads and writes use the key the holder already holds, and open the product key
// only when it holds none.
bool EnsureKey(CRegKeyHolder& key) {
    return key.IsOpen() ||
           key.Open(HKEY_LOCAL_MACHINE, ProductKeys::kVrx, ProductKeys::kRead64) == ERROR_SUCCESS;
}

// "version2" as a number: leading white space skipped, conversion stops at the first character
// that does not fit ("12.6abc" is 12.6), 0.0 when nothing fits.
bool ReadVersion(CRegKeyHolder& key, double& version) {
    if (!EnsureKey(key)) {
        return false;
    }
    wchar_t text[MAX_PATH] = {};
    DWORD chars = MAX_PATH;
    if (key.QueryRegString(L"version2", text, chars) != ERROR_SUCCESS) {
        return false;
    }
    version = std::wcstod(text, nullptr);
    return true;
}

// Reads a 32-bit number. With `requireDword`, a value of another type fails. A value longer than
// four bytes always fails and leaves `number` 0.
bool ReadNumber(CRegKeyHolder& key, const wchar_t* name, bool requireDword, DWORD& number) {
    number = 0;
    if (!EnsureKey(key)) {
        return false;
    }
    DWORD stored = 0;
    DWORD bytes = sizeof(stored);
    DWORD type = REG_NONE;
    if (key.QueryValue(name, type, &stored, bytes) != ERROR_SUCCESS) {
        return false;
    }
    if (requireDword && type != REG_DWORD) {
        return false;
    }
    number = stored;
    return true;
}

void RecordInstalledContent(CRegKeyHolder& key, DWORD installed) {
    if (!EnsureKey(key)) {
        return;
    }
    key.SetValue(L"content", REG_DWORD, &installed, sizeof(installed));
    key.DeleteValue(L"upd_content");
}

bool HoldsContent(const std::wstring& folder) {
    return ::PathIsDirectoryW(folder.c_str()) && !::PathIsDirectoryEmptyW(folder.c_str());
}

}  // namespace

extern "C" int CALLBACK ExtractContent(HWND, HINSTANCE, LPSTR, int) {
    LogAction(kSeverityInformation, kAction, 893, L"ExtractContent: entering..");

    CRegKeyHolder key;
    std::wstring installDir;
    if (!ReadVRXInstallDir(key, installDir)) {
        LogAction(kSeverityError, kAction, 907, L"ExtractContent: fail to get VRX install path");
        return 0;
    }
    const std::wstring package = installDir + kPackageName;
    if (!::PathFileExistsW(package.c_str())) {
        LogAction(kSeverityError, kAction, 913, L"ExtractContent: vrxcmcnt.cab not found");
        return 0;
    }

    double version = 0.0;
    const bool substituteOpen = key.Open(HKEY_LOCAL_MACHINE, ProductKeys::kSubstitute,
                                         ProductKeys::kRead64) == ERROR_SUCCESS;
    if (substituteOpen && !ReadVersion(key, version)) {
        LogAction(kSeverityError, kAction, 920, L"ExtractContent: failed to read fVRXVersion");
    }
    LogAction(kSeverityInformation, kAction, 924, L"ExtractContent: fVRXVersion = %f", version);

    const std::wstring config = installDir + kConfigFolder;
    if (substituteOpen && HoldsContent(config)) {
        if (version > kHighestKeptVersion) {
            LogAction(kSeverityInformation, kAction, 941,
                      L"ExtractContent: found existing content for version Saffron or higher, "
                      L"exiting.");
            return 0;
        }
        if (version < kLowestKeptVersion) {
            VRXUtils::RemoveFolderTree(config.c_str());
        }
    }

    DWORD newNumber = 0;
    const bool productOpen =
        key.Open(HKEY_LOCAL_MACHINE, ProductKeys::kVrx, ProductKeys::kReadWrite64) == ERROR_SUCCESS;
    const bool newNumberAvailable =
        productOpen && ReadNumber(key, L"upd_content", /*requireDword=*/true, newNumber);
    DWORD oldNumber = 0;
    ReadNumber(key, L"content", /*requireDword=*/false, oldNumber);
    if (!newNumberAvailable) {
        LogAction(kSeverityInformation, kAction, 959,
                  L"ExtractContent: failed to read content vers.");
    }

    const bool keptVersion = version == kLowestKeptVersion || version == kHighestKeptVersion;
    if (newNumberAvailable && keptVersion && newNumber < oldNumber) {
        LogAction(kSeverityInformation, kAction, 964,
                  L"ExtractContent: existing Saffron/Win8 content(#%d) is newer than install "
                  L"one(#%d), exiting.",
                  oldNumber, newNumber);
        return 0;
    }

    if (VRXUtils::ExtractCabFile(package.c_str(), installDir.c_str()) && newNumberAvailable) {
        LogAction(kSeverityInformation, kAction, 974,
                  L"ExtractContent: updated content #%d with #%d.", oldNumber, newNumber);
        RecordInstalledContent(key, newNumber);
    }
    return 0;
}
