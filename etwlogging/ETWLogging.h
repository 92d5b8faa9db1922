// The event-tracing sink: a classic event-tracing provider that sends each log record as one event
// into the trace session that enabled it. An outside controller runs the trace session; the sink
// learns through the provider's control callback when it is enabled and at which level.
#pragma once

#include <windows.h>
#include <evntrace.h>

#include <atomic>
#include <memory>
#include <string>

#include "ETWAppProperties.h"
#include "LoggingIf.h"
#include "TraceProviderApi.h"

namespace ETWLogging {

// What one event says about where a record comes from. The strings belong to the caller and to
// the sink that filled the record.
struct TraceRecordInfo {
    DWORD processId = 0;
    DWORD threadId = 0;
    const wchar_t* file = nullptr;
    const wchar_t* function = nullptr;
    int line = 0;
    const wchar_t* groupName = nullptr;
    const wchar_t* moduleFolder = nullptr;
    const wchar_t* moduleVersion = nullptr;
    const wchar_t* processFileName = nullptr;
};

class CETWLogging : public CLoggingIf_ex {
public:
    // Reaches event tracing through `traceApi` (null: the platform's calls), which must outlive
    // the sink.
    explicit CETWLogging(ITraceProviderApi* traceApi = nullptr);
    ~CETWLogging() override;
    CETWLogging(const CETWLogging&) = delete;
    CETWLogging& operator=(const CETWLogging&) = delete;

    DWORD Initialize(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                     DWORD reserved) override;
    DWORD Prepare() override;
    void GetSourcePath(std::wstring& sourcePath) override;
    void GetGroupName(std::wstring& groupName) override;
    DWORD Shutdown() override;
    void SetEnabled(bool enabled) override;
    bool IsEnabled() override;
    DWORD LogFormat(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* format, ...) override;
    DWORD Log(const wchar_t* file, const wchar_t* function, int line, DWORD severity,
              const wchar_t* message) override;
    int IsSeverityEnabled(DWORD severity) override;
    void SetMaxEntries(DWORD count) override;
    DWORD GetMaxEntries() override;
    void SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    DWORD SetSeverity(DWORD threshold) override;
    DWORD GetSeverity() override;
    LONG AddRef() override;
    LONG Release() override;

    DWORD InitializeEx(const wchar_t* profileName, const wchar_t* groupName, HMODULE module,
                       const wchar_t* hostName, LoggingConfigListenerIf* listener) override;
    DWORD LogEx(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                const wchar_t* message) override;
    DWORD LogFormatV(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* format, va_list args) override;
    DWORD LogFormatEx(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                      const wchar_t* format, ...) override;
    bool IsSameSession(TRACEHANDLE session) override;
    ULONG OnTraceControl(WMIDPREQUESTCODE requestCode, void* controlBuffer) override;
    void ResetEventClass() override;
    void GetModuleName(std::wstring& name, HMODULE module, bool stripExtension) override;
    void ComposeSourcePath() override;
    DWORD UnregisterProvider() override;
    DWORD Stop() override;
    DWORD SeverityToLevel(DWORD severity) override;

    // Fills `record` with this process and thread, the caller's place and the sink's names.
    virtual void FillRecordInfo(const wchar_t* file, const wchar_t* function, int line,
                                TraceRecordInfo& record);

    // The provider's control callback; `context` is the sink.
    static ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, void* context,
                                        ULONG* bufferSize, void* buffer);

    static const GUID kEventClassGuid;
    static constexpr DWORD kErrorAlreadyRegistered = 20001;
    // A message is formatted into this many characters, its terminator included.
    static constexpr size_t kMessageChars = 2080;

private:
    // Owns the critical section that guards registration and unregistration.
    class CLock {
    public:
        CLock();
        ~CLock();
        CLock(const CLock&) = delete;
        CLock& operator=(const CLock&) = delete;
        void Enter();
        void Leave();

    private:
        CRITICAL_SECTION m_section;
    };
    class CLockHolder {
    public:
        explicit CLockHolder(CLock& lock) : m_lock(lock) { m_lock.Enter(); }
        ~CLockHolder() { m_lock.Leave(); }
        CLockHolder(const CLockHolder&) = delete;
        CLockHolder& operator=(const CLockHolder&) = delete;

    private:
        CLock& m_lock;
    };

    // Owns the provider registration; unregisters it when replaced or when it goes.
    class CRegistration {
    public:
        explicit CRegistration(ITraceProviderApi& api) : m_api(api) {}
        ~CRegistration() { Reset(); }
        CRegistration(const CRegistration&) = delete;
        CRegistration& operator=(const CRegistration&) = delete;
        // Unregisters the handle held, if any, and takes `handle` (0: none). Returns the result
        // of that unregistration, 0 when nothing was held.
        ULONG Reset(TRACEHANDLE handle = 0);
        bool IsHeld() const { return m_handle != 0; }

    private:
        ITraceProviderApi& m_api;
        TRACEHANDLE m_handle = 0;
    };

    DWORD InitializeNames(const wchar_t* profileName, const wchar_t* groupName, HMODULE module,
                          const wchar_t* hostName);
    void ReplaceListener(LoggingConfigListenerIf* listener);
    ULONG EnableFromSession(void* controlBuffer);
    ULONG DisableFromSession(void* controlBuffer);
    // Builds the event's fixed part and the UTF-8 message from the first `chars` characters of
    // `area` (the UTF-8 text goes into the rest of the area when it fits) and sends the event at
    // the level of `severity`.
    DWORD SendEvent(DWORD severity, const TraceRecordInfo& record, wchar_t (&area)[kMessageChars],
                    size_t chars);

    ITraceProviderApi& m_traceApi;
    std::atomic<bool> m_registered{false};
    CLock m_lock;
    DWORD m_processId = 0;
    GUID m_eventClass = {};
    std::unique_ptr<LoggingConfigListenerIf> m_listener;
    std::atomic<DWORD> m_enabled{1};
    std::atomic<DWORD> m_threshold{kDefaultSeverityThreshold};
    std::wstring m_groupName;
    std::wstring m_hostName;
    std::wstring m_processFileName;
    std::wstring m_moduleName;
    std::wstring m_sourcePath;
    std::wstring m_moduleFolder;
    std::wstring m_moduleVersion;
    std::atomic<TRACEHANDLE> m_session{0};
    // The registration names the event class through this entry.
    TRACE_GUID_REGISTRATION m_traceGuidRegistration = {};
    CRegistration m_registration;
    internal::ETWAppProperties m_profile;
};

}  // namespace ETWLogging
