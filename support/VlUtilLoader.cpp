#include "support/VlUtilLoader.h"

#include <shlobj.h>

#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "support/HeldPath.h"

namespace Tessel {

const std::array<const char*, kVlUtilExportCount> kVlUtilExportNames = {
    "VlGetModuleFolder",      "VlLoadModuleFromFolder",
    "VlIsProcessRunning",     "VlTerminateProcessByName",
    "VlGetProcessImagePath",  "VlWaitForProcessExit",
    "VlDeleteFileOnReboot",   "VlDeleteFolderOnReboot",
    "VlDeleteFolderTree",     "VlCopyFile",
    "VlCopyFolder",           "VlCreateFolderWithAccess",
    "VlRegReadString",        "VlRegWriteString",
    "VlRegReadDword",         "VlRegWriteDword",
    "VlRegDeleteKeyTree",     "VlGetOSVersion",
    "VlIsOSVersionAtLeast",   "VlIs64BitOS",
    "VlGetSuiteVersion",      "VlGetSuiteInstallFolder",
    "VlShellExecute",         "VlShellExecuteAndWait",
    "VlCreateTask",           "VlDeleteTask",
    "VlEnableTask",           "VlDisableTask",
    "VlTaskExists",           "VlBeginInstallMonitor",
    "VlEndInstallMonitor",    "VlGetInstallMonitorMode",
    "VlBeginUpdateMonitor",   "VlEndUpdateMonitor",
    "VlGetUpdateMonitorMode", "VlBeginScanMonitor",
    "VlEndScanMonitor",       "VlGetScanMonitorMode",
    "VlBeginQuietMonitor",    "VlEndQuietMonitor",
    "VlGetQuietMonitorMode",  "VlStartUIHost",
    "VlStopUIHost",           "VlIsUIHostRunning",
    "VlNotifyUIHost",         "VlGetHardwareId",
    "VlGetWindowsId",         "VlGetMachineId",
    "VlGetMachineName",       "VlGetUserSid",
    "VlIsUserAdmin",          "VlGetProductLanguage",
    "VlGetLastErrorText",
};

namespace {

using UniqueSid = TUniqueAny<internal::TNullTraits<PSID, decltype(&::FreeSid), &::FreeSid>>;

constexpr const wchar_t* kVersionedFolder = L"vlutil";
constexpr const wchar_t* kVersionPattern = L"\\*,*,*,*";
constexpr const wchar_t* kPlatformBelowCommonFiles = L"\\Varlen\\Platform";
// The buffers the registry values are read into: 520 and 1040 bytes.
constexpr size_t kInstallDirChars = 260;
constexpr size_t kCommonFilesDirChars = 520;
// What a validation that throws is reported as (ERROR_UNHANDLED_EXCEPTION, absent from mingw's
// headers).
constexpr DWORD kUnhandledException = 574;

// Appends `tail` to the terminated text in `buffer` of `capacity` characters. False, the buffer
// unchanged, when the result would not fit: a cut path could name another file.
bool Append(wchar_t* buffer, size_t capacity, const wchar_t* tail) {
    const size_t used = wcsnlen(buffer, capacity);
    const size_t add = wcslen(tail);
    if (used >= capacity || add >= capacity - used) {
        return false;
    }
    wmemcpy(buffer + used, tail, add + 1);
    return true;
}

bool EndsWithSeparator(const wchar_t* text) {
    const size_t length = wcslen(text);
    return length > 0 && text[length - 1] == L'\\';
}

REGSAM ViewFromOptions(DWORD options) {
    if ((options & kRegOption64BitView) != 0) {
        return KEY_WOW64_64KEY;
    }
    return (options & kRegOption32BitView) != 0 ? KEY_WOW64_32KEY : 0;
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// `chars` UTF-16 characters in the thread's ANSI code page. 0; ERROR_NO_UNICODE_TRANSLATION when
// a character has no exact counterpart there; or the conversion's error.
DWORD ToAnsi(const wchar_t* text, size_t chars, std::string& out) {
    out.clear();
    if (chars == 0) {
        return ERROR_SUCCESS;
    }
    const int count = static_cast<int>(chars);
    BOOL substituted = FALSE;
    DWORD flags = WC_NO_BEST_FIT_CHARS;
    int needed =
        ::WideCharToMultiByte(CP_THREAD_ACP, flags, text, count, nullptr, 0, nullptr, &substituted);
    // Code pages such as UTF-8 take neither the flag nor the substitution report; they convert
    // every character exactly anyway.
    const bool exactByNature = needed == 0 && (::GetLastError() == ERROR_INVALID_FLAGS ||
                                               ::GetLastError() == ERROR_INVALID_PARAMETER);
    if (exactByNature) {
        flags = 0;
        needed = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text, count, nullptr, 0, nullptr, nullptr);
    }
    if (needed == 0) {
        return ::GetLastError();
    }
    if (substituted) {
        return ERROR_NO_UNICODE_TRANSLATION;
    }
    out.resize(static_cast<size_t>(needed));
    if (::WideCharToMultiByte(CP_THREAD_ACP, flags, text, count, &out[0], needed, nullptr,
                              nullptr) != needed) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

// A key path or value name in the ANSI code page; null stays null (the default value).
DWORD NameToAnsi(const wchar_t* name, std::string& out, const char*& result) {
    if (name == nullptr) {
        result = nullptr;
        return ERROR_SUCCESS;
    }
    const DWORD status = ToAnsi(name, wcslen(name) + 1, out);
    result = out.c_str();
    return status;
}

// Reads a versioned folder's name "a,b,c,d"; false unless all four numbers are read.
bool ParseVlUtilVersion(const wchar_t* name, std::array<unsigned long, 4>& version) {
    // As "%lu,%lu,%lu,%lu" reads it: each number after optional white space and sign, the commas
    // literal; what follows the fourth number does not matter.
    const wchar_t* at = name;
    for (size_t i = 0; i < version.size(); ++i) {
        if (i > 0) {
            if (*at != L',') {
                return false;
            }
            ++at;
        }
        while (iswspace(*at)) {
            ++at;
        }
        const wchar_t* digits = at;
        if (*digits == L'+' || *digits == L'-') {
            ++digits;
        }
        if (!iswdigit(*digits)) {
            return false;
        }
        wchar_t* end = nullptr;
        version[i] = wcstoul(at, &end, 10);
        at = end;
    }
    return true;
}

}  // namespace

LSTATUS RegReadStringValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD* type,
                           void* data, DWORD* bytes, DWORD options) {
    if (bytes == nullptr || subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        std::string keyText;
        std::string nameText;
        const char* key = nullptr;
        const char* name = nullptr;
        DWORD status = NameToAnsi(subKey, keyText, key);
        if (status == ERROR_SUCCESS) {
            status = NameToAnsi(valueName, nameText, name);
        }
        if (status != ERROR_SUCCESS) {
            return static_cast<LSTATUS>(status);
        }
        UniqueHKey opened;
        LSTATUS result =
            ::RegOpenKeyExA(root, key, 0, KEY_READ | ViewFromOptions(options), opened.put());
        if (result != ERROR_SUCCESS) {
            return result;
        }

        // The value's size, then its data; a value that grows in between is read again.
        DWORD valueType = REG_NONE;
        std::vector<char> raw;
        DWORD rawBytes = 0;
        for (int attempt = 0;; ++attempt) {
            result =
                ::RegQueryValueExA(opened.get(), name, nullptr, &valueType, nullptr, &rawBytes);
            if (result != ERROR_SUCCESS) {
                return result;
            }
            // Room for two terminators the stored data may lack.
            raw.assign(static_cast<size_t>(rawBytes) + 2, '\0');
            DWORD got = rawBytes;
            result = ::RegQueryValueExA(opened.get(), name, nullptr, &valueType,
                                        reinterpret_cast<BYTE*>(raw.data()), &got);
            if (result == ERROR_MORE_DATA && attempt < 3) {
                continue;
            }
            if (result != ERROR_SUCCESS) {
                return result == ERROR_INSUFFICIENT_BUFFER ? ERROR_MORE_DATA : result;
            }
            rawBytes = got;
            break;
        }
        if (type != nullptr) {
            *type = valueType;
        }

        std::wstring wide;
        const void* out = raw.data();
        DWORD outBytes = rawBytes;
        if (IsStringType(valueType)) {
            // Stored text need not end in its terminator(s): keep what is there and terminate it.
            size_t chars = rawBytes;
            const size_t terminators = valueType == REG_MULTI_SZ ? 2 : 1;
            size_t present = 0;
            while (present < terminators && present < chars && raw[chars - 1 - present] == '\0') {
                ++present;
            }
            chars += terminators - present;
            const int count = ::MultiByteToWideChar(CP_THREAD_ACP, 0, raw.data(),
                                                    static_cast<int>(chars), nullptr, 0);
            if (count <= 0) {
                return static_cast<LSTATUS>(::GetLastError());
            }
            wide.resize(static_cast<size_t>(count));
            ::MultiByteToWideChar(CP_THREAD_ACP, 0, raw.data(), static_cast<int>(chars), &wide[0],
                                  count);
            out = wide.data();
            outBytes = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
        }
        if (data == nullptr) {
            *bytes = outBytes;
            return ERROR_SUCCESS;
        }
        if (outBytes > *bytes) {
            *bytes = outBytes;
            return ERROR_MORE_DATA;
        }
        memcpy(data, out, outBytes);
        *bytes = outBytes;
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

LSTATUS RegWriteStringValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD type,
                            const void* data, DWORD bytes, DWORD options) {
    if (subKey == nullptr || (data == nullptr && bytes != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        std::string keyText;
        std::string nameText;
        std::string dataText;
        const char* key = nullptr;
        const char* name = nullptr;
        DWORD status = NameToAnsi(subKey, keyText, key);
        if (status == ERROR_SUCCESS) {
            status = NameToAnsi(valueName, nameText, name);
        }
        const BYTE* stored = static_cast<const BYTE*>(data);
        DWORD storedBytes = bytes;
        if (status == ERROR_SUCCESS && IsStringType(type)) {
            status = ToAnsi(static_cast<const wchar_t*>(data), bytes / sizeof(wchar_t), dataText);
            stored = reinterpret_cast<const BYTE*>(dataText.data());
            storedBytes = static_cast<DWORD>(dataText.size());
        }
        if (status != ERROR_SUCCESS) {
            return static_cast<LSTATUS>(status);
        }
        UniqueHKey created;
        const LSTATUS result =
            ::RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_ALL_ACCESS | ViewFromOptions(options),
                              nullptr, created.put(), nullptr);
        if (result != ERROR_SUCCESS) {
            return result;
        }
        return ::RegSetValueExA(created.get(), name, 0, type, stored, storedBytes);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

CVlUtilLoader::CVlUtilLoader(CFileValidator& validator) : m_validator(validator) {}

CVlUtilLoader::~CVlUtilLoader() = default;

void CVlUtilLoader::Unload() {
    m_table.fill(nullptr);
    m_module.reset();
}

void CVlUtilLoader::Bind() {
    for (size_t i = 0; i < kVlUtilExportCount; ++i) {
        m_table[i] = ::GetProcAddress(m_module.get(), kVlUtilExportNames[i]);
    }
}

DWORD CVlUtilLoader::Load() {
    Unload();
    // Beside the host executable.
    if (TryLoadFromFolder(nullptr) == ERROR_SUCCESS) {
        Bind();
        return ERROR_SUCCESS;
    }

    // The folder recorded by an earlier search.
    wchar_t recorded[kInstallDirChars] = {};
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(recorded);
    if (RegReadStringValue(HKEY_LOCAL_MACHINE, kPlatformKey, kVlUtilInstallDirValue, &type,
                           recorded, &bytes, kRegOption64BitView) == ERROR_SUCCESS &&
        type == REG_SZ && recorded[0] != L'\0' && TryLoadFromFolder(recorded) == ERROR_SUCCESS) {
        Bind();
        return ERROR_SUCCESS;
    }

    // The newest versioned copy, then the common platform folder itself.
    wchar_t common[MAX_PATH] = {};
    if (FindCommonPlatformFolder(common, MAX_PATH, true) != ERROR_SUCCESS) {
        common[0] = L'\0';
    }
    if (common[0] != L'\0' &&
        (TryLoadNewestVersion(common) || TryLoadFromFolder(common) == ERROR_SUCCESS)) {
        Bind();
        return ERROR_SUCCESS;
    }
    Unload();
    return ERROR_MOD_NOT_FOUND;
}

bool CVlUtilLoader::TryLoadNewestVersion(const wchar_t* commonFolder) {
    wchar_t search[MAX_PATH] = {};
    wchar_t pattern[MAX_PATH] = {};
    if (!Append(search, MAX_PATH, commonFolder) || !Append(search, MAX_PATH, kVersionedFolder) ||
        !Append(pattern, MAX_PATH, search) || !Append(pattern, MAX_PATH, kVersionPattern)) {
        return false;
    }

    bool haveBest = false;
    std::array<unsigned long, 4> best = {};
    wchar_t bestName[MAX_PATH] = {};
    {
        WIN32_FIND_DATAW found = {};
        const UniqueFindHandle find(::FindFirstFileW(pattern, &found));
        if (!find) {
            return false;
        }
        do {
            // Only a plain folder counts: any further attribute (read-only, archive, a reparse
            // point, ...) takes it out.
            std::array<unsigned long, 4> version = {};
            if (found.dwFileAttributes != FILE_ATTRIBUTE_DIRECTORY || found.cFileName[0] == L'\0' ||
                !ParseVlUtilVersion(found.cFileName, version)) {
                continue;
            }
            // An equal version keeps the folder found first.
            if (!haveBest || version > best) {
                haveBest = true;
                best = version;
                wmemcpy(bestName, found.cFileName, MAX_PATH);
            }
        } while (::FindNextFileW(find.get(), &found));
    }
    if (!haveBest) {
        return false;
    }

    wchar_t candidate[MAX_PATH] = {};
    if (!Append(candidate, MAX_PATH, search) || !Append(candidate, MAX_PATH, L"\\") ||
        !Append(candidate, MAX_PATH, bestName) || TryLoadFromFolder(candidate) != ERROR_SUCCESS) {
        return false;
    }
    // Later searches start from this folder; only an administrator may record it, and a failed
    // write changes nothing for this load.
    if (IsProcessAdmin()) {
        const DWORD bytes = static_cast<DWORD>((wcslen(candidate) + 1) * sizeof(wchar_t));
        RegWriteStringValue(HKEY_LOCAL_MACHINE, kPlatformKey, kVlUtilInstallDirValue, REG_SZ,
                            candidate, bytes, kRegOption64BitView);
    }
    return true;
}

DWORD CVlUtilLoader::TryLoadFromFolder(const wchar_t* folder) {
    Unload();
    wchar_t path[MAX_PATH] = {};
    if (folder != nullptr && folder[0] != L'\0') {
        if (!Append(path, MAX_PATH, folder) ||
            (!EndsWithSeparator(path) && !Append(path, MAX_PATH, L"\\"))) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
    } else {
        const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        if (length == 0) {
            return ::GetLastError();
        }
        // A cut path names another file.
        if (length >= MAX_PATH) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        wchar_t* separator = wcsrchr(path, L'\\');
        if (separator == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
        separator[1] = L'\0';
    }
    if (!Append(path, MAX_PATH, m_libraryFileName)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        return ERROR_FILE_NOT_FOUND;
    }

    // A copy the process has already loaded is shared as it is (this takes a reference).
    HMODULE loaded = nullptr;
    if (::GetModuleHandleExW(0, path, &loaded) && loaded != nullptr) {
        m_module.reset(loaded);
        return ERROR_SUCCESS;
    }

    // Only a fully qualified path without links is loaded, held unchanged from before its
    // validation until it is loaded, and kept only when the loader mapped the held file.
    CHeldPath hold;
    const DWORD held = hold.Hold(path);
    DWORD validation = kUnhandledException;
    try {
        validation = m_validator.ValidateFile(path);
    } catch (...) {
        validation = kUnhandledException;
    }
    try {
        m_validator.ReleaseValidationService();
    } catch (...) {
    }
    if (validation != ERROR_SUCCESS) {
        return validation;
    }
    if (held != ERROR_SUCCESS) {
        return held;
    }
    loaded = ::LoadLibraryW(path);
    if (loaded == nullptr) {
        return ::GetLastError();
    }
    loaded = hold.KeepIfLoadedFromHeldFile(loaded);
    if (loaded == nullptr) {
        return ERROR_FILE_INVALID;
    }
    m_module.reset(loaded);
    return ERROR_SUCCESS;
}

DWORD CVlUtilLoader::FindCommonPlatformFolder(wchar_t* folder, size_t capacity,
                                              bool trailingSeparator) const {
    if (folder == nullptr || capacity == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    wchar_t text[kCommonFilesDirChars] = {};
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(text);
    const bool recorded =
        RegReadStringValue(HKEY_LOCAL_MACHINE, kSuiteKey, kCommonFilesDirValue, &type, text, &bytes,
                           kRegOption64BitView) == ERROR_SUCCESS &&
        type == REG_SZ && text[0] != L'\0';
    if (!recorded) {
        wmemset(text, L'\0', kCommonFilesDirChars);
        if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr,
                                      SHGFP_TYPE_CURRENT, text))) {
            folder[0] = L'\0';
            return ERROR_NO_DATA;
        }
        if (!Append(text, kCommonFilesDirChars, kPlatformBelowCommonFiles)) {
            folder[0] = L'\0';
            return ERROR_INSUFFICIENT_BUFFER;
        }
    }

    const size_t length = wcslen(text);
    if (!trailingSeparator && EndsWithSeparator(text)) {
        text[length - 1] = L'\0';
    } else if (trailingSeparator && !EndsWithSeparator(text) &&
               !Append(text, kCommonFilesDirChars, L"\\")) {
        folder[0] = L'\0';
        return ERROR_INSUFFICIENT_BUFFER;
    }

    const wchar_t* from = text[0] == L'"' ? text + 1 : text;
    const size_t fromLength = wcslen(from);
    if (fromLength >= capacity) {
        folder[0] = L'\0';
        return ERROR_INSUFFICIENT_BUFFER;
    }
    wmemcpy(folder, from, fromLength + 1);
    return ERROR_SUCCESS;
}

bool CVlUtilLoader::IsProcessAdmin() const {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return false;
    }
    DWORD needed = 0;
    ::GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &needed);
    if (needed == 0) {
        return false;
    }
    std::vector<BYTE> buffer;
    try {
        buffer.resize(needed);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!::GetTokenInformation(token.get(), TokenGroups, buffer.data(), needed, &needed)) {
        return false;
    }
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    UniqueSid administrators;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                    DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                    administrators.put())) {
        return false;
    }
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (::EqualSid(groups->Groups[i].Sid, administrators.get())) {
            return (groups->Groups[i].Attributes & SE_GROUP_ENABLED) != 0;
        }
    }
    return false;
}

}  // namespace Tessel
