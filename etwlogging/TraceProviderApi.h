// The classic event-tracing provider calls, behind an interface: the sink reaches the platform
// only through it, so that another implementation can play the trace session controller.
#pragma once

#include <windows.h>
#include <evntrace.h>

namespace ETWLogging {

class ITraceProviderApi {
public:
    virtual ~ITraceProviderApi() = default;

    // RegisterTraceGuidsW.
    virtual ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                                     ULONG guidCount, TRACE_GUID_REGISTRATION* registrations,
                                     const wchar_t* mofImagePath, const wchar_t* mofResourceName,
                                     TRACEHANDLE* registrationHandle) = 0;
    // UnregisterTraceGuids.
    virtual ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) = 0;
    // TraceEvent.
    virtual ULONG TraceEvent(TRACEHANDLE session, EVENT_TRACE_HEADER* header) = 0;
    // GetTraceLoggerHandle: the trace session named in a control callback's buffer.
    virtual TRACEHANDLE GetTraceLoggerHandle(void* controlBuffer) = 0;
    // GetTraceEnableLevel.
    virtual UCHAR GetTraceEnableLevel(TRACEHANDLE session) = 0;
    // GetTraceEnableFlags.
    virtual ULONG GetTraceEnableFlags(TRACEHANDLE session) = 0;
};

// The platform's own calls; one instance for the process.
ITraceProviderApi& PlatformTraceProviderApi();

// What GetTraceLoggerHandle returns for a buffer that names no trace session.
constexpr TRACEHANDLE kInvalidTraceHandle = static_cast<TRACEHANDLE>(-1);

}  // namespace ETWLogging
