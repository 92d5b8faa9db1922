// Set-up for the validated-loading tests: the signing fixtures, the configuration that accepts
// the test publisher, the platform key, and the validation-library stand-in's controls.
#pragma once

#include <windows.h>

#include <string>

#include "support/FileSignature.h"

namespace VrxTest {

// <fixtures>\signing\<name>.
std::wstring SigningFixture(const std::wstring& name);

// Accepts the publisher "VrxRO Test Signing" with SHA-256 digests and chains holding the test
// root CA or the untrusted test CA (the latter is never in the root store); the trusted list is
// the signed fixture trusted.js.
Tessel::SignatureConfig TestSignatureConfig();

// Whether a module of this full path is loaded in the process.
bool IsModuleLoaded(const std::wstring& path);

// Writes the platform key where a 32-bit process reads it (the 32-bit view). A null value is not
// written.
void SetPlatformKey(const wchar_t* version, const wchar_t* installDir32);

// Sets an environment variable of the process (null removes it) and restores it when it goes.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value);
    ~ScopedEnvironmentVariable();
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    std::wstring m_name;
    std::wstring m_old;
    bool m_hadOld;
};

// The value of an environment variable of the process; empty when it is not set.
std::wstring EnvironmentVariable(const wchar_t* name);

// Clears what the validation-library stand-in recorded and sets how it answers; restores the
// defaults when it goes.
class VtpStandInControl {
public:
    VtpStandInControl(DWORD status, DWORD flags, const wchar_t* names = nullptr);
    ~VtpStandInControl();
    VtpStandInControl(const VtpStandInControl&) = delete;
    VtpStandInControl& operator=(const VtpStandInControl&) = delete;

    // "<mode>|<path>;" per validation.
    std::wstring Calls() const { return EnvironmentVariable(L"VTP_STANDIN_CALLS"); }
    // "<name>;" per interface asked for.
    std::wstring Asked() const { return EnvironmentVariable(L"VTP_STANDIN_ASKED"); }
    // Interface references held.
    std::wstring Live() const { return EnvironmentVariable(L"VTP_STANDIN_LIVE"); }
};

}  // namespace VrxTest
