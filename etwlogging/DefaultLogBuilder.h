// The builder the facade uses when none has been installed: makes the file sink or the
// event-tracing sink, as the logging mechanism stored in the registry says.
#pragma once

#include <windows.h>

#include "LoggingIf.h"

namespace ETWLogging {

class CDefaultLogBuilder final : public CLogBuilderIf_ex {
public:
    // BuildEx without a profile name.
    bool Build(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
               DWORD mechanismOverride, CLoggingIf** sink, Tessel::CRegKey* settings) override;

    // Makes and initialises the sink the mechanism names: the file sink for 1 (the override, or
    // else "Logging Mechanism" read from `settings` or from the registry), the event-tracing sink
    // for anything else. False, with `*sink` unchanged, when `*sink` already holds a sink, when
    // a group or host name is given but empty, or when the sink cannot be made or initialised.
    // On success the sink's reference count has been raised by one.
    bool BuildEx(const wchar_t* profileName, const wchar_t* groupName, HMODULE module,
                 const wchar_t* hostName, DWORD mechanismOverride, CLoggingIf** sink,
                 Tessel::CRegKey* settings) override;

    // The mechanism that selects the file sink.
    static constexpr DWORD kMechanismFile = 1;
    static constexpr wchar_t kMechanismKeyPath[] = L"SOFTWARE\\Varlen\\Logging";
    static constexpr wchar_t kMechanismValue[] = L"Logging Mechanism";

private:
    // True for the file sink.
    static bool ChooseFileSink(DWORD mechanismOverride, Tessel::CRegKey* settings);
    // The sink the choice names, uninitialised; null when it cannot be allocated.
    static CLoggingIf* CreateSink(bool fileSink);
    // InitializeEx on an extended sink, then Initialize when that is refused or the sink is not
    // extended. The result of the last one run.
    static DWORD InitializeSink(CLoggingIf& sink, const wchar_t* profileName,
                                const wchar_t* groupName, HMODULE module, const wchar_t* hostName);
};

}  // namespace ETWLogging
