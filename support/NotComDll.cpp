#include "support/NotComDll.h"

#include <wintrust.h>

#include <string>

#include "support/FileValidator.h"
#include "support/HeldPath.h"
#include "support/ValidationControl.h"

namespace Tessel {

namespace {

constexpr LONG kCryptFileError = static_cast<LONG>(0x80092003);     // CRYPT_E_FILE_ERROR
constexpr LONG kSecuritySettings = static_cast<LONG>(0x80092026);   // CRYPT_E_SECURITY_SETTINGS
constexpr LONG kCertExpired = static_cast<LONG>(0x800B0101);        // CERT_E_EXPIRED
constexpr LONG kRevocationFailure = static_cast<LONG>(0x800B010E);  // CERT_E_REVOCATION_FAILURE
constexpr LONG kSubjectNotTrusted = static_cast<LONG>(0x800B0004);  // TRUST_E_SUBJECT_NOT_TRUSTED

std::wstring Hex8(DWORD value) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text(8, L'0');
    for (int i = 7; i >= 0; --i, value >>= 4) {
        text[i] = kDigits[value & 0xF];
    }
    return text;
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    const DWORD chars = ::GetModuleFileNameW(module, path, MAX_PATH);
    return chars > 0 && chars < MAX_PATH ? std::wstring(path, chars) : std::wstring();
}

// "szInstallDir32" of the platform key (32-bit view); empty when it cannot be read.
std::wstring PlatformInstallDir() {
    UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPlatformKey, 0, KEY_READ | KEY_WOW64_32KEY,
                        key.put()) != ERROR_SUCCESS) {
        return std::wstring();
    }
    wchar_t folder[MAX_PATH] = {};
    DWORD bytes = sizeof(folder);
    if (::RegGetValueW(key.get(), nullptr, L"szInstallDir32", RRF_RT_REG_SZ, nullptr, folder,
                       &bytes) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return folder;
}

// WinVerifyTrust with cached retrieval only. A file that is not there counts as not found, as
// the verification reports it on Windows.
LONG CheckTrust(const std::wstring& path) {
    if (path.empty() || ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return ERROR_FILE_NOT_FOUND;
    }
    return VerifyFileTrust(path.c_str(), WTD_CACHE_ONLY_URL_RETRIEVAL);
}

bool IsAcceptedTrustResult(LONG result) {
    return result == ERROR_SUCCESS || result == kSecuritySettings || result == kCertExpired ||
           result == kRevocationFailure;
}

}  // namespace

DWORD NotComDllGetInterface(const wchar_t* libraryName, const wchar_t* interfaceName, void** out,
                            HMODULE folderModule, UniqueHModule& library,
                            const SignatureConfig& config) {
    library.reset();
    if (out == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *out = nullptr;
    if (libraryName == nullptr || interfaceName == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const size_t nameLength = wcsnlen(libraryName, MAX_PATH);
    if (nameLength >= MAX_PATH) {
        return ERROR_INVALID_PARAMETER;
    }
    const bool nameIsPath = nameLength < 3 || libraryName[0] == L'\\' || libraryName[1] == L':';

    std::wstring path;
    if (nameIsPath) {
        path = libraryName;
    } else {
        std::wstring folder = PlatformInstallDir();
        if (folder.empty()) {
            wchar_t current[MAX_PATH] = {};
            const DWORD chars = ::GetCurrentDirectoryW(MAX_PATH, current);
            folder.assign(current, chars < MAX_PATH ? chars : 0);
        }
        // Without a folder there is no candidate here (the path stays empty: not found).
        if (!folder.empty()) {
            path = folder + L"\\" + libraryName;
        }
    }

    // Each candidate's path is held unchanged from its check until it is loaded.
    CHeldPath hold;
    hold.Hold(path.c_str());
    LONG trust = CheckTrust(path);
    if ((trust == ERROR_FILE_NOT_FOUND || trust == kCryptFileError) && !nameIsPath) {
        ::OutputDebugStringW(
            L"NotComDllGetInterface: DLL not found in install location, looking in current "
            L"directory\n");
        std::wstring besideModule = ModulePath(folderModule);
        const size_t separator = besideModule.find_last_of(L'\\');
        path = separator != std::wstring::npos ? besideModule.substr(0, separator + 1) + libraryName
                                               : std::wstring();
        hold.Hold(path.c_str());
        trust = CheckTrust(path);
    }
    // The platform's libraries are trusted only when their signer is one this library accepts
    // too: a valid signature from anyone else does not make a file the platform's. Only a held
    // path (fully qualified, without links) is loaded, so that the loader cannot pick another file
    // than the one checked.
    if (IsAcceptedTrustResult(trust) &&
        (!hold.IsHeld() || !HasAcceptedSigner(path.c_str(), config))) {
        trust = kSubjectNotTrusted;
    }
    if (!IsAcceptedTrustResult(trust)) {
        const std::wstring message = L"NotComDllGetInterface: " + ModulePath(nullptr) +
                                     L" loading " + path + L", WinVerifyTrust failed with " +
                                     Hex8(static_cast<DWORD>(trust)) + L"\n";
        ::OutputDebugStringW(message.c_str());
        return static_cast<DWORD>(trust);
    }

    const HMODULE loaded = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (loaded == nullptr) {
        return ::GetLastError();
    }
    UniqueHModule module(hold.KeepIfLoadedFromHeldFile(loaded));
    if (!module) {
        return ERROR_FILE_INVALID;
    }
    const auto getInterface = reinterpret_cast<NotComDllGetInterfaceFn>(
        reinterpret_cast<void*>(::GetProcAddress(module.get(), "NotComDllGetInterface")));
    if (getInterface == nullptr) {
        return ::GetLastError();
    }
    char ansiName[MAX_PATH] = {};
    if (::WideCharToMultiByte(CP_ACP, 0, interfaceName, -1, ansiName, MAX_PATH, nullptr, nullptr) ==
        0) {
        return ::GetLastError();
    }
    void* obtained = nullptr;
    const DWORD result = getInterface(ansiName, &obtained);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (obtained == nullptr) {
        return static_cast<DWORD>(E_NOINTERFACE);
    }
    *out = obtained;
    library = std::move(module);
    return ERROR_SUCCESS;
}

}  // namespace Tessel
