#include "ProductLocations.h"

#include <shlobj.h>

#include <cwchar>

#include "../../includes/ProductKeys.h"
#include "../../../support/UniqueAny.h"

namespace {

constexpr DWORD kPathChars = MAX_PATH;
constexpr const wchar_t* kFallbackSuffix = L"\\Varlen\\VRX";

// Reads "Install Dir" as raw bytes; the type is not examined. Succeeds only when the buffer then
// holds a terminated text.
bool ReadInstallDirRaw(wchar_t* buffer, DWORD capacity) {
    Tessel::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProductKeys::kVrx, 0, ProductKeys::kQuery64,
                        key.put()) != ERROR_SUCCESS) {
        return false;
    }
    DWORD bytes = capacity * sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), ProductKeys::kInstallDirValue, nullptr, nullptr,
                           reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD storedChars = (bytes + 1) / sizeof(wchar_t);
    if (std::wmemchr(buffer, L'\0', storedChars) != nullptr) {
        return true;
    }
    if (storedChars < capacity) {
        buffer[storedChars] = L'\0';
        return true;
    }
    return false;
}

bool ProgramFilesFallback(wchar_t* buffer, DWORD capacity) {
    wchar_t programFiles[kPathChars] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, programFiles))) {
        return false;
    }
    const size_t needed = std::wcslen(programFiles) + std::wcslen(kFallbackSuffix) + 1;
    if (needed > capacity) {
        return false;
    }
    std::wcscpy(buffer, programFiles);
    std::wcscat(buffer, kFallbackSuffix);
    return true;
}

}  // namespace

bool GetVRXInstallPath(wchar_t* buffer, DWORD capacity) {
    if (buffer == nullptr || capacity == 0) {
        return false;
    }
    if (ReadInstallDirRaw(buffer, capacity)) {
        return true;
    }
    return ProgramFilesFallback(buffer, capacity);
}

bool ReadVRXInstallDir(CRegKeyHolder& holder, std::wstring& installDir) {
    if (!holder.IsOpen() &&
        holder.Open(HKEY_LOCAL_MACHINE, ProductKeys::kVrx, ProductKeys::kRead64) != ERROR_SUCCESS) {
        return false;
    }
    wchar_t buffer[kPathChars] = {};
    DWORD chars = kPathChars;
    if (holder.QueryRegString(ProductKeys::kInstallDirValue, buffer, chars) != ERROR_SUCCESS) {
        return false;
    }
    installDir.assign(buffer);
    return true;
}

DWORD ReadVRXInstallDirWithSeparator(wchar_t* buffer, DWORD capacity) {
    if (buffer == nullptr || capacity == 0) {
        return 0;
    }
    CRegKeyHolder holder;
    if (holder.Open(HKEY_LOCAL_MACHINE, ProductKeys::kVrx, ProductKeys::kRead64) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD chars = capacity;
    if (holder.QueryRegString(ProductKeys::kInstallDirValue, buffer, chars) != ERROR_SUCCESS ||
        buffer[0] == L'\0') {
        return 0;
    }
    // The folder text, its separator and a terminator must fit; a stored text of 259 characters
    // leaves no room for the separator.
    const size_t length = std::wcslen(buffer);
    if (length + 2 > capacity) {
        return 0;
    }
    buffer[length] = L'\\';
    buffer[length + 1] = L'\0';
    return static_cast<DWORD>(length + 2);
}
