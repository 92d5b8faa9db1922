#include "TraceProviderApi.h"

namespace ETWLogging {
namespace {

class CPlatformTraceProviderApi final : public ITraceProviderApi {
public:
    ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                             ULONG guidCount, TRACE_GUID_REGISTRATION* registrations,
                             const wchar_t* mofImagePath, const wchar_t* mofResourceName,
                             TRACEHANDLE* registrationHandle) override {
        return ::RegisterTraceGuidsW(callback, context, controlGuid, guidCount, registrations,
                                     mofImagePath, mofResourceName, registrationHandle);
    }
    ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) override {
        return ::UnregisterTraceGuids(registrationHandle);
    }
    ULONG TraceEvent(TRACEHANDLE session, EVENT_TRACE_HEADER* header) override {
        return ::TraceEvent(session, header);
    }
    TRACEHANDLE GetTraceLoggerHandle(void* controlBuffer) override {
        return ::GetTraceLoggerHandle(controlBuffer);
    }
    UCHAR GetTraceEnableLevel(TRACEHANDLE session) override {
        return ::GetTraceEnableLevel(session);
    }
    ULONG GetTraceEnableFlags(TRACEHANDLE session) override {
        return ::GetTraceEnableFlags(session);
    }
};

// Constructed at load, so that it outlives every sink, which the facade deletes at static
// destruction.
CPlatformTraceProviderApi g_platformApi;

}  // namespace

ITraceProviderApi& PlatformTraceProviderApi() {
    return g_platformApi;
}

}  // namespace ETWLogging
