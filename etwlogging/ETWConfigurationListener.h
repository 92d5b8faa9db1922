// Applies the trace session's enable state and level to the event-tracing sink, then the overrides
// stored in the registry under the profile's provider key: for the provider as a whole, for the
// sink's group, and for its source path (group and module), each overriding the one before.
#pragma once

#include <windows.h>

#include <string>

#include "ETWAppProperties.h"
#include "LoggingIf.h"

namespace ETWLogging {

class CETWConfigurationListener : public LoggingConfigListenerIf {
public:
    explicit CETWConfigurationListener(const internal::ETWAppProperties& profile);
    ~CETWConfigurationListener() override;
    CETWConfigurationListener(const CETWConfigurationListener&) = delete;
    CETWConfigurationListener& operator=(const CETWConfigurationListener&) = delete;

    void OnChange(bool enabled, DWORD level, DWORD flags) override;
    bool AttachSink(CLoggingIf* sink) override;
    void GetProviderKey(HKEY& root, std::wstring& path) override;
    void ApplyRegistryOverrides(HKEY root, const wchar_t* keyPath) override;

private:
    internal::ETWAppProperties m_profile;
    CLoggingIf* m_sink = nullptr;
};

}  // namespace ETWLogging
