// CheckOutlook: when the product's Outlook client extension is registered, deletes Outlook's
// extension cache "extend.dat" in every user profile, so that Outlook rebuilds it and loads the
// extension as it is registered now.
#include "OutlookCleanup.h"

#include <windows.h>
#include <shlobj.h>

#include <cwchar>
#include <string>

#include "ActionLog.h"
#include "PathBuffer.h"
#include "VrxRunOnce.h"
#include "../../../support/OSInfo.h"
#include "../../../support/ReparsePoints.h"
#include "../../../support/UniqueAny.h"
#include "../../includes/ProductKeys.h"
#include "../../includes/RegKeyHolder.h"

namespace {

using ETWLogging::kSeverityError;
using VrxRunOnce::LogAction;

constexpr const wchar_t* kAction = L"CheckOutlook";
constexpr const wchar_t* kExtensionValue = L"Varlen Anti-Spam";

// Paths, terminator included; the registration is read with one character more.
using VrxRunOnce::JoinPath;
using VrxRunOnce::kPathChars;
constexpr DWORD kRegistrationChars = MAX_PATH + 1;

// Where Outlook keeps the cache inside a profile folder.
constexpr const wchar_t* kCacheSinceVista = L"\\AppData\\Local\\Microsoft\\Outlook\\extend.dat";
constexpr const wchar_t* kCacheBeforeVista =
    L"\\Local Settings\\Application Data\\Microsoft\\Outlook\\extend.dat";

static_assert(CSIDL_PROFILE == 0x28, "profile folder id");

// The registration's content is not used: a readable string value is enough.
bool ExtensionRegistered(const CRegKeyHolder& key) {
    wchar_t registration[kRegistrationChars] = {};
    DWORD chars = kRegistrationChars;
    return key.QueryRegString(kExtensionValue, registration, chars) == ERROR_SUCCESS;
}

// Cuts a profile folder back to the folder that holds it, keeping the separator:
// C:\Users\Default becomes C:\Users\. Clears characters from the end until a separator is met;
// the first character is never examined, so a text without one is cut to its first character.
void CutToParentFolder(wchar_t* path) {
    for (size_t i = std::wcslen(path); i > 0 && path[i] != L'\\'; --i) {
        path[i] = L'\0';
    }
}

// Only a full path that ends in a separator names the folder of the profiles: one that starts at
// a drive's root ("C:\") or with two separators (a network or long path). Anything else, rooted
// on the current drive ("\Users\") or relative to a drive's current folder ("C:Users\") as well,
// would send the search and the deletions to wherever the host happens to run.
bool IsFullFolderPath(const wchar_t* folder) {
    const size_t length = std::wcslen(folder);
    const bool driveRoot =
        length >= 3 &&
        ((folder[0] >= L'A' && folder[0] <= L'Z') || (folder[0] >= L'a' && folder[0] <= L'z')) &&
        folder[1] == L':' && folder[2] == L'\\';
    const bool doubleSeparator = length > 2 && folder[0] == L'\\' && folder[1] == L'\\';
    return (driveRoot || doubleSeparator) && folder[length - 1] == L'\\';
}

// "." and ".." name the folder of the profiles itself and the folder above it, not a profile.
bool IsProfileEntry(const wchar_t* name) {
    return std::wcscmp(name, L".") != 0 && std::wcscmp(name, L"..") != 0;
}

HRESULT DefaultUserProfileFolder(wchar_t* path) {
    // Token -1 stands for the default user.
    return ::SHGetFolderPathW(nullptr, CSIDL_PROFILE, reinterpret_cast<HANDLE>(-1),
                              SHGFP_TYPE_CURRENT, path);
}

DWORD SystemReleaseId() {
    return Tessel::GetOSReleaseId();
}

// Deletes the cache `target` (`profiles` + `entry` + `cache`). A profile belongs to its user, who
// could have made any folder on the way, or the cache itself, a link to somewhere else: the folders
// below `profiles` are held unchanged and must not be links, nor the file. ERROR_SUCCESS, the
// error of the deletion, or Tessel::kErrorLinkOnPath.
DWORD DeleteCacheFile(const wchar_t* profiles, const wchar_t* entry, const wchar_t* cache,
                      const wchar_t* target) {
    std::wstring folders = std::wstring(entry) + cache;
    folders.resize(folders.find_last_of(L'\\'));
    Tessel::CLinkFreePath held;
    const DWORD error = held.Hold(profiles, folders);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (Tessel::IsReparsePoint(target)) {
        return Tessel::kErrorLinkOnPath;
    }
    return ::DeleteFileW(target) ? ERROR_SUCCESS : ::GetLastError();
}

}  // namespace

namespace VrxRunOnce {

OutlookCleanupSources SystemOutlookCleanupSources() {
    return {&DefaultUserProfileFolder, &SystemReleaseId};
}

void DeleteOutlookExtensionCaches(const OutlookCleanupSources& sources) {
    // The key is opened for reading and writing: a caller without write access to it does
    // nothing.
    CRegKeyHolder key;
    if (key.Open(HKEY_LOCAL_MACHINE, ProductKeys::kExchangeExtensions,
                 ProductKeys::kReadWriteNoView) != ERROR_SUCCESS ||
        !ExtensionRegistered(key)) {
        return;
    }

    // The profiles are the folders beside the default user's profile. Without that folder there
    // is nothing safe to sweep.
    wchar_t profile[kPathChars] = {};
    if (FAILED(sources.defaultProfileFolder(profile))) {
        profile[0] = L'\0';  // whatever a failed lookup left there is not a folder
    }
    profile[kPathChars - 1] = L'\0';
    wchar_t profiles[kPathChars] = {};
    std::wmemcpy(profiles, profile, kPathChars);
    CutToParentFolder(profiles);
    if (!IsFullFolderPath(profiles)) {
        LogAction(kSeverityError, kAction, 779, L"Unable to get user profile path_%s", profile);
        return;
    }

    wchar_t pattern[kPathChars] = {};
    if (!JoinPath(pattern, {profiles, L"*"})) {
        return;
    }
    WIN32_FIND_DATAW entry = {};
    const Tessel::UniqueFindHandle search(::FindFirstFileW(pattern, &entry));
    if (!search) {
        return;
    }
    const wchar_t* const cache = sources.releaseId() >= Tessel::kOSReleaseWindowsVista
                                     ? kCacheSinceVista
                                     : kCacheBeforeVista;

    // Every entry but "." and ".." is tried, whatever its kind: a plain file or a folder without a
    // cache simply fails to delete. An entry whose cache path would not fit a path buffer is
    // skipped.
    do {
        wchar_t target[kPathChars] = {};
        if (!IsProfileEntry(entry.cFileName) ||
            !JoinPath(target, {profiles, entry.cFileName, cache})) {
            continue;
        }
        const DWORD error = DeleteCacheFile(profiles, entry.cFileName, cache, target);
        if (error == ERROR_ACCESS_DENIED) {
            LogAction(kSeverityError, kAction, 829,
                      L"checkOutlook: fail to delete extend.dat (outlook cache), Access is denied");
        } else if (error == Tessel::kErrorLinkOnPath) {
            LogAction(kSeverityError, kAction, 831,
                      L"checkOutlook: extend.dat (outlook cache) not deleted, a link is on its "
                      L"path: %s",
                      target);
        }
    } while (::FindNextFileW(search.get(), &entry));
}

}  // namespace VrxRunOnce

extern "C" int CALLBACK CheckOutlook(HWND, HINSTANCE, LPSTR, int) {
    VrxRunOnce::DeleteOutlookExtensionCaches(VrxRunOnce::SystemOutlookCleanupSources());
    return 0;
}
