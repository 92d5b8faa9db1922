#include "ETWConfigurationListener.h"

#include "support/RegKey.h"

namespace ETWLogging {
namespace {

constexpr wchar_t kEnableValue[] = L"Enable";
constexpr wchar_t kSeverityValue[] = L"Severity";

}  // namespace

CETWConfigurationListener::CETWConfigurationListener(const internal::ETWAppProperties& profile)
    : m_profile(profile) {}

CETWConfigurationListener::~CETWConfigurationListener() = default;

void CETWConfigurationListener::OnChange(bool enabled, DWORD level, DWORD /*flags*/) {
    if (m_sink == nullptr) {
        return;
    }
    m_sink->SetEnabled(enabled);
    m_sink->SetSeverity(level);

    HKEY root = nullptr;
    std::wstring providerKey;
    GetProviderKey(root, providerKey);
    std::wstring groupName;
    m_sink->GetGroupName(groupName);
    std::wstring sourcePath;
    m_sink->GetSourcePath(sourcePath);
    // Overrides are stored in the local machine's keys whatever the profile's root.
    ApplyRegistryOverrides(HKEY_LOCAL_MACHINE, providerKey.c_str());
    ApplyRegistryOverrides(HKEY_LOCAL_MACHINE, (providerKey + L"\\" + groupName).c_str());
    ApplyRegistryOverrides(HKEY_LOCAL_MACHINE, (providerKey + L"\\" + sourcePath).c_str());
}

bool CETWConfigurationListener::AttachSink(CLoggingIf* sink) {
    if (sink == nullptr || m_sink != nullptr) {
        return false;
    }
    m_sink = sink;
    return true;
}

void CETWConfigurationListener::GetProviderKey(HKEY& root, std::wstring& path) {
    root = m_profile.RegistryRoot();
    path = m_profile.ProviderKeyPath();
}

void CETWConfigurationListener::ApplyRegistryOverrides(HKEY root, const wchar_t* keyPath) {
    if (m_sink == nullptr) {
        return;
    }
    Tessel::CRegKey key;
    if (key.Open(root, keyPath, KEY_QUERY_VALUE) != ERROR_SUCCESS) {
        return;
    }
    DWORD value = 0;
    if (key.ReadDword(kEnableValue, value) == ERROR_SUCCESS) {
        m_sink->SetEnabled(value != 0);
    }
    if (key.ReadDword(kSeverityValue, value) == ERROR_SUCCESS) {
        m_sink->SetSeverity(value);
    }
}

}  // namespace ETWLogging
