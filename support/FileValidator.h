// Validation of a file before the library loads it: the platform's validation service, when it is
// there, or the library's own check (an accepted Authenticode signature, the platform's trusted
// list, and for cabinets their members against that list).
#pragma once

#include <windows.h>

#include <shared_mutex>

#include "support/FileSignature.h"
#include "support/TrustedList.h"
#include "support/UniqueAny.h"
#include "support/ValidationControl.h"

namespace Tessel {

class CFileValidator {
public:
    // Reads the platform key: the platform version and the validation service of vlnvtpa.dll.
    // Without the key there is no service (and the platform version stays 0, unused).
    explicit CFileValidator(SignatureConfig config = ProductionSignatureConfig());
    ~CFileValidator();
    CFileValidator(const CFileValidator&) = delete;
    CFileValidator& operator=(const CFileValidator&) = delete;

    // 0 when the file is accepted, ERROR_ACCESS_DENIED (5) when it is not, ERROR_INVALID_PARAMETER
    // (87) for a null or empty path.
    DWORD ValidateFile(const wchar_t* path);

    // Releases the validation service, if held, and the library that provided it.
    void ReleaseValidationService();

    // major × 100 + minor of the platform ("keelbase_version"), 1504 when unknown.
    DWORD PlatformVersion() const { return m_platformVersion; }
    bool HasValidationService() const { return m_service.is_valid(); }

    // The library's own check alone.
    bool PassesOwnCheck(const wchar_t* path);

private:
    bool ServiceAccepts(const wchar_t* path);
    // Trusted list and signature (steps that apply to any file).
    bool PassesFileCheck(const wchar_t* path);
    // Loads the trusted list the first time it is needed.
    void EnsureTrustedList();
    // A cabinet that holds at least one file, every one of them accepted by the trusted list.
    bool CabinetMembersAreTrusted(const wchar_t* path);

    SignatureConfig m_config;
    DWORD m_platformVersion = 0;
    // Declared before the service so that the module outlives the interface taken from it.
    UniqueHModule m_serviceLibrary;
    UniqueComPtr<IVtpValidationControl> m_service;

    std::shared_mutex m_listLock;
    bool m_listAttempted = false;
    bool m_listLoaded = false;
    CTrustedList m_list;
};

// The process's validator, created on first use; it lives until static destruction.
CFileValidator& GetFileValidator();

// GetFileValidator().ValidateFile(path).
DWORD ValidateFile(const wchar_t* path);
// GetFileValidator().ReleaseValidationService().
void ReleaseValidationService();

namespace internal {
// The platform version from the text of "keelbase_version": major × 100 + minor when it parses as
// "%lu.%lu" with major > 14 and minor > 3, else 1504.
DWORD PlatformVersionFromText(const wchar_t* text);
}  // namespace internal

}  // namespace Tessel
