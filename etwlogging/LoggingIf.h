// Interfaces of the logging sinks and of the builder that makes them. The virtual operations are
// declared in a fixed order that other modules of the product rely on: only ever append.
#pragma once

#include <windows.h>
#include <evntrace.h>

#include <cstdarg>
#include <string>

namespace Tessel {
class CRegKey;
}

namespace ETWLogging {

// Severities. Higher is not uniformly more severe: 6 is a second "Information".
enum : DWORD {
    kSeverityNormal = 1,
    kSeverityWarning = 2,
    kSeverityInformation = 3,
    kSeverityError = 4,
    kSeverityCritical = 5,
    kSeverityInformation2 = 6,
};

constexpr DWORD kDefaultSeverityThreshold = kSeverityInformation;

class CLoggingIf;

// Applies configuration changes to a sink: the enabled state and level a trace session asks for,
// then the overrides stored in the registry.
class LoggingConfigListenerIf {
public:
    // Sets the sink's enabled flag and threshold, then applies the registry overrides. The flags
    // are the trace session's enable flags.
    virtual void OnChange(bool enabled, DWORD level, DWORD flags) = 0;
    virtual ~LoggingConfigListenerIf() = default;
    // The sink the changes go to; refused (false) for null or when a sink is attached already.
    virtual bool AttachSink(CLoggingIf* sink) = 0;
    // The registry root and path under which the overrides are stored.
    virtual void GetProviderKey(HKEY& root, std::wstring& path) = 0;
    // Applies the "Enable" and "Severity" values of one key, when the key and values exist.
    virtual void ApplyRegistryOverrides(HKEY root, const wchar_t* keyPath) = 0;
};

// The sink interface that every log sink implements.
class CLoggingIf {
public:
    virtual ~CLoggingIf() = default;
    virtual DWORD Initialize(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                             DWORD reserved) = 0;
    virtual DWORD Prepare() = 0;
    virtual void GetSourcePath(std::wstring& sourcePath) = 0;
    virtual void GetGroupName(std::wstring& groupName) = 0;
    virtual DWORD Shutdown() = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool IsEnabled() = 0;
    virtual DWORD LogFormat(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                            const wchar_t* format, ...) = 0;
    virtual DWORD Log(const wchar_t* file, const wchar_t* function, int line, DWORD severity,
                      const wchar_t* message) = 0;
    virtual int IsSeverityEnabled(DWORD severity) = 0;
    virtual void SetMaxEntries(DWORD count) = 0;
    virtual DWORD GetMaxEntries() = 0;
    virtual void SetMaxSize(DWORD bytes) = 0;
    virtual DWORD GetMaxSize() = 0;
    virtual DWORD SetSeverity(DWORD threshold) = 0;
    virtual DWORD GetSeverity() = 0;
    virtual LONG AddRef() = 0;
    virtual LONG Release() = 0;

    // Shared code: format into a fixed buffer (cut at kMaxFormattedChars) and write through Log
    // with the named severity, whatever the threshold.
    virtual DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line,
                            const wchar_t* format, ...);
    virtual DWORD LogError(const wchar_t* file, const wchar_t* function, int line,
                           const wchar_t* format, ...);
    virtual DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* format, ...);
    virtual DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line,
                              const wchar_t* format, ...);
    virtual DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line,
                                 const wchar_t* format, ...);

    static constexpr size_t kFormatBufferChars = 4162;
    static constexpr size_t kMaxFormattedChars = 4159;

protected:
    DWORD LogFixedBuffer(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, va_list args);
};

// The extended sink interface of the event-tracing sink.
class CLoggingIf_ex : public CLoggingIf {
public:
    // Takes ownership of `listener` when one is given.
    virtual DWORD InitializeEx(const wchar_t* profileName, const wchar_t* groupName, HMODULE module,
                               const wchar_t* hostName, LoggingConfigListenerIf* listener) = 0;
    virtual DWORD LogEx(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                        const wchar_t* message) = 0;
    virtual DWORD LogFormatV(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* format, va_list args) = 0;
    virtual DWORD LogFormatEx(DWORD severity, const wchar_t* file, const wchar_t* function,
                              int line, const wchar_t* format, ...) = 0;
    // Event-tracing operations.
    // Whether `session` is the trace session that enabled the provider.
    virtual bool IsSameSession(TRACEHANDLE session) = 0;
    // The provider's control request: enable (4) or disable (5); 87 for anything else.
    virtual ULONG OnTraceControl(WMIDPREQUESTCODE requestCode, void* controlBuffer) = 0;
    // Sets the event class GUID the events carry.
    virtual void ResetEventClass() = 0;
    // The file name of `module` (null: the process's executable), without its extension when
    // `stripExtension` is set.
    virtual void GetModuleName(std::wstring& name, HMODULE module, bool stripExtension) = 0;
    // Source path = group name + "\" + module name (the group name alone without a module name).
    virtual void ComposeSourcePath() = 0;
    // Unregisters the provider when registered; returns the platform's result (0 when not).
    virtual DWORD UnregisterProvider() = 0;
    // Disables the sink, then unregisters the provider.
    virtual DWORD Stop() = 0;
    // The event level of a severity: 6 gives 3, any other severity itself.
    virtual DWORD SeverityToLevel(DWORD severity) = 0;
};

// Makes the process's one sink. `settings`, when given, supplies the registry values the
// builder would otherwise read itself; the facade always passes null.
// No virtual destructor: whoever installs a builder also says how to delete it.
class CLogBuilderIf {
public:
    virtual bool Build(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                       DWORD mechanismOverride, CLoggingIf** sink, Tessel::CRegKey* settings) = 0;
};

class CLogBuilderIf_ex : public CLogBuilderIf {
public:
    virtual bool BuildEx(const wchar_t* profileName, const wchar_t* groupName, HMODULE module,
                         const wchar_t* hostName, DWORD mechanismOverride, CLoggingIf** sink,
                         Tessel::CRegKey* settings) = 0;
};

}  // namespace ETWLogging
