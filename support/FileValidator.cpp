#include "support/FileValidator.h"

#include <cwchar>
#include <mutex>
#include <string>

#include "support/CabinetDigests.h"
#include "support/NotComDll.h"

namespace Tessel {

namespace {

constexpr DWORD kDefaultPlatformVersion = 1504;
constexpr DWORD kFirstCurrentModeVersion = 1505;

bool HasCabinetExtension(const wchar_t* path) {
    const size_t length = wcslen(path);
    return length >= 4 && _wcsicmp(path + length - 4, L".cab") == 0;
}

}  // namespace

namespace internal {

DWORD PlatformVersionFromText(const wchar_t* text) {
    unsigned long major = 0;
    unsigned long minor = 0;
    // msvcrt's scanf: the standard one would link mingw's replacement and its floating-point code.
    if (text == nullptr || _snwscanf(text, wcslen(text), L"%lu.%lu", &major, &minor) != 2 ||
        major <= 14 || minor <= 3) {
        return kDefaultPlatformVersion;
    }
    const unsigned long long version = major * 100ULL + minor;
    return version <= MAXDWORD ? static_cast<DWORD>(version) : kDefaultPlatformVersion;
}

}  // namespace internal

CFileValidator::CFileValidator(SignatureConfig config) : m_config(std::move(config)) {
    UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPlatformKey, 0, KEY_READ | KEY_WOW64_32KEY,
                        key.put()) != ERROR_SUCCESS) {
        return;
    }
    wchar_t text[MAX_PATH] = {};
    DWORD bytes = sizeof(text);
    const bool read = ::RegGetValueW(key.get(), nullptr, L"keelbase_version", RRF_RT_REG_SZ,
                                     nullptr, text, &bytes) == ERROR_SUCCESS;
    m_platformVersion = internal::PlatformVersionFromText(read ? text : nullptr);

    void* service = nullptr;
    if (NotComDllGetInterface(L"vlnvtpa.dll", L"VtpValidationControl2", &service, nullptr,
                              m_serviceLibrary, m_config) != ERROR_SUCCESS) {
        NotComDllGetInterface(L"vlnvtpa.dll", L"VtpValidationControl", &service, nullptr,
                              m_serviceLibrary, m_config);
    }
    m_service.reset(static_cast<IVtpValidationControl*>(service));
    if (!m_service) {
        m_serviceLibrary.reset();
    }
}

CFileValidator::~CFileValidator() {
    ReleaseValidationService();
}

void CFileValidator::ReleaseValidationService() {
    m_service.reset();
    m_serviceLibrary.reset();
}

DWORD CFileValidator::ValidateFile(const wchar_t* path) {
    if (path == nullptr || *path == L'\0') {
        return ERROR_INVALID_PARAMETER;
    }
    if (ServiceAccepts(path) || PassesOwnCheck(path)) {
        return ERROR_SUCCESS;
    }
    return ERROR_ACCESS_DENIED;
}

bool CFileValidator::ServiceAccepts(const wchar_t* path) {
    if (!m_service) {
        return false;
    }
    const bool legacy = m_platformVersion < kFirstCurrentModeVersion;
    DWORD status = 0;
    DWORD flags = 0;
    if (m_service.get()->Validate(path, legacy ? kVtpModeLegacy : kVtpModeCurrent, &status,
                                  &flags) != S_OK) {
        return false;
    }
    const DWORD acceptingFlag = legacy ? kVtpFlagAcceptedLegacy : kVtpFlagAcceptedCurrent;
    return (status & kVtpStatusValidated) != 0 && (flags & acceptingFlag) != 0;
}

bool CFileValidator::PassesOwnCheck(const wchar_t* path) {
    if (path == nullptr || *path == L'\0') {
        return false;
    }
    if (PassesFileCheck(path)) {
        return true;
    }
    return HasCabinetExtension(path) && CabinetMembersAreTrusted(path);
}

bool CFileValidator::PassesFileCheck(const wchar_t* path) {
    {
        std::shared_lock<std::shared_mutex> lock(m_listLock);
        if (m_listLoaded && m_list.AcceptsFile(path)) {
            return true;
        }
    }
    if (IsSignedByAcceptedPublisher(path, m_config)) {
        return true;
    }
    EnsureTrustedList();
    std::shared_lock<std::shared_mutex> lock(m_listLock);
    return m_listLoaded && m_list.AcceptsFile(path);
}

void CFileValidator::EnsureTrustedList() {
    std::unique_lock<std::shared_mutex> lock(m_listLock);
    if (m_listAttempted) {
        return;
    }
    m_listAttempted = true;
    const std::wstring listPath =
        m_config.trustedListPath.empty() ? DefaultTrustedListPath() : m_config.trustedListPath;
    m_listLoaded = !listPath.empty() && m_list.Load(listPath.c_str(), m_config);
}

bool CFileValidator::CabinetMembersAreTrusted(const wchar_t* path) {
    std::vector<Sha256Digest> members;
    if (!DigestCabinetMembers(path, members) || members.empty()) {
        return false;
    }
    EnsureTrustedList();
    std::shared_lock<std::shared_mutex> lock(m_listLock);
    if (!m_listLoaded) {
        return false;
    }
    for (const Sha256Digest& digest : members) {
        if (!m_list.Accepts(digest)) {
            return false;
        }
    }
    return true;
}

CFileValidator& GetFileValidator() {
    static std::once_flag once;
    static CFileValidator* validator = nullptr;
    std::call_once(once, [] {
        static CFileValidator instance;
        validator = &instance;
    });
    return *validator;
}

DWORD ValidateFile(const wchar_t* path) {
    return GetFileValidator().ValidateFile(path);
}

void ReleaseValidationService() {
    GetFileValidator().ReleaseValidationService();
}

}  // namespace Tessel
