#include "Signing.h"

#include <gtest/gtest.h>

#include "Files.h"
#include "Registry.h"

namespace VrxTest {

namespace {
// The platform key as a 64-bit process sees the 32-bit view.
constexpr const wchar_t* kPlatformKey32 = L"SOFTWARE\\Wow6432Node\\Varlen\\Keelbase";
const wchar_t* const kStandInVariables[] = {L"VTP_STANDIN_NAMES", L"VTP_STANDIN_STATUS",
                                            L"VTP_STANDIN_FLAGS", L"VTP_STANDIN_ASKED",
                                            L"VTP_STANDIN_CALLS", L"VTP_STANDIN_LIVE"};
}  // namespace

std::wstring SigningFixture(const std::wstring& name) {
    return FixturePath(L"signing\\" + name);
}

Tessel::SignatureConfig TestSignatureConfig() {
    Tessel::SignatureConfig config;
    config.publisherNames = {L"VrxRO Test Signing"};
    config.digestAlgorithms = {"2.16.840.1.101.3.4.2.1"};
    for (const wchar_t* ca : {L"ca-root.der", L"ca-untrusted.der"}) {
        Tessel::Sha256Digest digest;
        EXPECT_TRUE(Tessel::HashFile(SigningFixture(ca).c_str(), digest)) << "reading " << ca;
        config.acceptedCertificates.push_back(digest);
    }
    config.trustedListPath = SigningFixture(L"trusted.js");
    return config;
}

bool IsModuleLoaded(const std::wstring& path) {
    return ::GetModuleHandleW(path.c_str()) != nullptr;
}

void SetPlatformKey(const wchar_t* version, const wchar_t* installDir32) {
    CreateKey(kPlatformKey32);
    if (version != nullptr) {
        SetString(kPlatformKey32, L"keelbase_version", version);
    }
    if (installDir32 != nullptr) {
        SetString(kPlatformKey32, L"szInstallDir32", installDir32);
    }
}

std::wstring EnvironmentVariable(const wchar_t* name) {
    wchar_t value[4096] = {};
    const DWORD chars = ::GetEnvironmentVariableW(name, value, ARRAYSIZE(value));
    return chars > 0 && chars < ARRAYSIZE(value) ? std::wstring(value, chars) : std::wstring();
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value)
    : m_name(name) {
    wchar_t old[4096] = {};
    const DWORD chars = ::GetEnvironmentVariableW(name, old, ARRAYSIZE(old));
    m_hadOld = chars > 0 && chars < ARRAYSIZE(old);
    m_old.assign(old, m_hadOld ? chars : 0);
    ::SetEnvironmentVariableW(name, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
    ::SetEnvironmentVariableW(m_name.c_str(), m_hadOld ? m_old.c_str() : nullptr);
}

VtpStandInControl::VtpStandInControl(DWORD status, DWORD flags, const wchar_t* names) {
    for (const wchar_t* name : kStandInVariables) {
        ::SetEnvironmentVariableW(name, nullptr);
    }
    ::SetEnvironmentVariableW(L"VTP_STANDIN_STATUS", std::to_wstring(status).c_str());
    ::SetEnvironmentVariableW(L"VTP_STANDIN_FLAGS", std::to_wstring(flags).c_str());
    ::SetEnvironmentVariableW(L"VTP_STANDIN_NAMES", names);
}

VtpStandInControl::~VtpStandInControl() {
    for (const wchar_t* name : kStandInVariables) {
        ::SetEnvironmentVariableW(name, nullptr);
    }
}

}  // namespace VrxTest
