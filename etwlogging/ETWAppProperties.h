// The settings profile of the event-tracing sink: the provider it registers, the registry keys of
// its overrides, and the values that describe the trace session an outside controller runs. A
// profile is read from the registry (enciphered values under "SOFTWARE\Varlen.logging\<name>") or,
// for the name "QAR" only, taken from built-in values.
#pragma once

#include <windows.h>

#include <string>

namespace Tessel {
class CRegKey;
}

namespace ETWLogging {
namespace internal {

class ETWAppProperties {
public:
    ETWAppProperties() = default;
    ETWAppProperties(const ETWAppProperties&) = default;
    ETWAppProperties& operator=(const ETWAppProperties&) = default;
    virtual ~ETWAppProperties() = default;

    // Takes `profileName` (null or empty: "QAR") and fills the profile from its registry key, or
    // from the built-in values when there is no key. False (the profile stays without a name)
    // when the profile already has a name, the data folder cannot be had, the registry profile is
    // incomplete, or a name other than "QAR" has no registry key.
    virtual bool InitializeProfile(const wchar_t* profileName);
    // The common application-data folder, created when missing.
    virtual bool GetDataFolder(std::wstring& folder);
    // Reads the profile from its open key (handed over: `profileKey` no longer holds it).
    virtual bool ReadProfile(Tessel::CRegKey& profileKey, const std::wstring& dataFolder);
    // The built-in values; only the profile "QAR" (any case) has them.
    virtual bool LoadBuiltInProfile(const std::wstring& dataFolder);
    virtual void GetEtlFileName(std::wstring& fileName);
    // "SOFTWARE\Varlen.logging".
    virtual void GetProfilesKeyPath(std::wstring& path);
    // The profile's key path, with "\<subKey>" appended when a sub-key is named.
    virtual void GetProfileKeyPath(std::wstring& path, const wchar_t* subKey = nullptr);

    const std::wstring& ProfileName() const { return m_profileName; }
    const std::wstring& DataFolder() const { return m_dataFolder; }
    const GUID& SessionId() const { return m_sessionId; }
    const std::wstring& SessionName() const { return m_sessionName; }
    const GUID& ProviderGuid() const { return m_providerGuid; }
    const std::wstring& OwnerMutexName() const { return m_ownerMutexName; }
    const std::wstring& LogFolder() const { return m_logFolder; }
    const std::wstring& TraceFileFolder() const { return m_traceFileFolder; }
    const std::wstring& TraceFile() const { return m_traceFile; }
    const std::wstring& ControllerPath() const { return m_controllerPath; }
    HKEY RegistryRoot() const { return m_registryRoot; }
    const std::wstring& RegistryBasePath() const { return m_registryBasePath; }
    const std::wstring& ControllerKeyPath() const { return m_controllerKeyPath; }
    const std::wstring& ProviderKeyPath() const { return m_providerKeyPath; }
    const std::wstring& SettingsKeyPath() const { return m_settingsKeyPath; }

    static constexpr wchar_t kBuiltInProfileName[] = L"QAR";
    static const GUID kBuiltInSessionId;
    static const GUID kBuiltInProviderGuid;

private:
    // Every value back to empty, except the data folder.
    void ResetValues();
    // The folders, trace file and key paths that follow from the data folder, the two relative
    // folders and the registry base path.
    void DerivePaths(const std::wstring& dataFolder, const std::wstring& logPath,
                     const std::wstring& etlPath);

    std::wstring m_profileName;
    std::wstring m_dataFolder;
    GUID m_sessionId = {};
    std::wstring m_sessionName;
    GUID m_providerGuid = {};
    std::wstring m_ownerMutexName;
    std::wstring m_logFolder;
    std::wstring m_traceFileFolder;
    std::wstring m_traceFile;
    std::wstring m_controllerPath;
    HKEY m_registryRoot = HKEY_LOCAL_MACHINE;
    std::wstring m_registryBasePath;
    std::wstring m_controllerKeyPath;
    std::wstring m_providerKeyPath;
    std::wstring m_settingsKeyPath;
};

}  // namespace internal
}  // namespace ETWLogging
