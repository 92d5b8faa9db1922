#include "ETWAppProperties.h"

#include <shlobj.h>
#include <knownfolders.h>

#include <cwchar>

#include "support/RegKey.h"
#include "support/UniqueAny.h"

namespace ETWLogging {
namespace internal {
namespace {

constexpr wchar_t kProfilesKeyPath[] = L"SOFTWARE\\Varlen.logging";
constexpr wchar_t kBuiltInBasePath[] = L"SOFTWARE\\Varlen\\Logging";
constexpr wchar_t kBuiltInSessionName[] = L"Varlen.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}";
constexpr wchar_t kBuiltInOwnerMutexName[] =
    L"Global\\Varlen.{0696D115-BE52-46c3-BFEE-D73A305B6581}";
constexpr wchar_t kDefaultLogPath[] = L"\\Varlen\\VLLOGS";
constexpr wchar_t kDefaultEtlPath[] = L"\\Varlen\\VLLOGS\\ETW";
constexpr wchar_t kTraceFileName[] = L"vllogs.etl";

constexpr wchar_t kSessionSubKey[] = L"Session";
constexpr wchar_t kProviderSubKey[] = L"Provider";
constexpr wchar_t kControllerSubKey[] = L"Controller";

constexpr wchar_t kSessionIdValue[] = L"Session ID Guid";
constexpr wchar_t kSessionNameValue[] = L"Session Name";
constexpr wchar_t kProviderGuidValue[] = L"Provider Guid";
constexpr wchar_t kOwnerMutexValue[] = L"Owner Mutex Name";
constexpr wchar_t kControllerPathValue[] = L"Controller Path";
constexpr wchar_t kLogPathValue[] = L"Log Path";
constexpr wchar_t kEtlPathValue[] = L"ETL Path";

// The string value `name`, or `fallback` when it cannot be read.
std::wstring StringOr(Tessel::CRegKey& key, const wchar_t* name, const wchar_t* fallback) {
    std::wstring value;
    return key.ReadString(name, value) == ERROR_SUCCESS ? value : std::wstring(fallback);
}

}  // namespace

const GUID ETWAppProperties::kBuiltInSessionId = {
    0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
const GUID ETWAppProperties::kBuiltInProviderGuid = {
    0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

bool ETWAppProperties::InitializeProfile(const wchar_t* profileName) {
    if (!m_profileName.empty()) {
        return false;
    }
    m_profileName =
        profileName != nullptr && *profileName != L'\0' ? profileName : kBuiltInProfileName;
    if (m_dataFolder.empty() && !GetDataFolder(m_dataFolder)) {
        ResetValues();
        return false;
    }
    std::wstring keyPath;
    GetProfileKeyPath(keyPath);
    Tessel::CRegKey profileKey;
    const bool loaded =
        profileKey.Open(HKEY_LOCAL_MACHINE, keyPath.c_str(), KEY_QUERY_VALUE) == ERROR_SUCCESS
            ? ReadProfile(profileKey, m_dataFolder)
            : LoadBuiltInProfile(m_dataFolder);
    if (!loaded) {
        ResetValues();
    }
    return loaded;
}

bool ETWAppProperties::GetDataFolder(std::wstring& folder) {
    Tessel::UniqueCoTaskMemString path;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, path.put())) ||
        !path) {
        return false;
    }
    folder = path.get();
    return true;
}

bool ETWAppProperties::ReadProfile(Tessel::CRegKey& profileKey, const std::wstring& dataFolder) {
    // Every value of a profile is stored enciphered: read the key through the enciphering
    // wrapper.
    Tessel::CObfuscatedRegKey profile;
    profile.Attach(profileKey.Detach());
    Tessel::CObfuscatedRegKey session;
    Tessel::CObfuscatedRegKey provider;
    Tessel::CObfuscatedRegKey controller;
    if (session.Open(profile.Handle(), kSessionSubKey, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        provider.Open(profile.Handle(), kProviderSubKey, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        controller.Open(profile.Handle(), kControllerSubKey, KEY_QUERY_VALUE) != ERROR_SUCCESS) {
        return false;
    }
    if (session.ReadGuid(kSessionIdValue, m_sessionId) != ERROR_SUCCESS ||
        session.ReadString(kSessionNameValue, m_sessionName) != ERROR_SUCCESS ||
        provider.ReadGuid(kProviderGuidValue, m_providerGuid) != ERROR_SUCCESS ||
        controller.ReadString(kOwnerMutexValue, m_ownerMutexName) != ERROR_SUCCESS ||
        controller.ReadString(kControllerPathValue, m_controllerPath) != ERROR_SUCCESS) {
        return false;
    }
    GetProfileKeyPath(m_registryBasePath);
    DerivePaths(dataFolder, StringOr(profile, kLogPathValue, kDefaultLogPath),
                StringOr(profile, kEtlPathValue, kDefaultEtlPath));
    return true;
}

bool ETWAppProperties::LoadBuiltInProfile(const std::wstring& dataFolder) {
    if (::_wcsicmp(m_profileName.c_str(), kBuiltInProfileName) != 0) {
        return false;
    }
    m_sessionId = kBuiltInSessionId;
    m_sessionName = kBuiltInSessionName;
    m_providerGuid = kBuiltInProviderGuid;
    m_ownerMutexName = kBuiltInOwnerMutexName;
    m_controllerPath.clear();
    m_registryBasePath = kBuiltInBasePath;
    DerivePaths(dataFolder, kDefaultLogPath, kDefaultEtlPath);
    return true;
}

void ETWAppProperties::DerivePaths(const std::wstring& dataFolder, const std::wstring& logPath,
                                   const std::wstring& etlPath) {
    m_logFolder = dataFolder + logPath;
    m_traceFileFolder = dataFolder + etlPath;
    m_traceFile = m_traceFileFolder + L"\\" + kTraceFileName;
    m_registryRoot = HKEY_LOCAL_MACHINE;
    m_controllerKeyPath = m_registryBasePath + L"\\" + kControllerSubKey;
    m_providerKeyPath = m_registryBasePath + L"\\" + kProviderSubKey;
    m_settingsKeyPath = m_registryBasePath;
}

void ETWAppProperties::ResetValues() {
    m_profileName.clear();
    m_sessionId = GUID{};
    m_sessionName.clear();
    m_providerGuid = GUID{};
    m_ownerMutexName.clear();
    m_logFolder.clear();
    m_traceFileFolder.clear();
    m_traceFile.clear();
    m_controllerPath.clear();
    m_registryRoot = HKEY_LOCAL_MACHINE;
    m_registryBasePath.clear();
    m_controllerKeyPath.clear();
    m_providerKeyPath.clear();
    m_settingsKeyPath.clear();
}

void ETWAppProperties::GetEtlFileName(std::wstring& fileName) {
    fileName = m_traceFile;
}

void ETWAppProperties::GetProfilesKeyPath(std::wstring& path) {
    path = kProfilesKeyPath;
}

void ETWAppProperties::GetProfileKeyPath(std::wstring& path, const wchar_t* subKey) {
    std::wstring profiles;
    GetProfilesKeyPath(profiles);
    path = profiles + L"\\" + m_profileName;
    if (subKey != nullptr) {
        path += L"\\";
        path += subKey;
    }
}

}  // namespace internal
}  // namespace ETWLogging
