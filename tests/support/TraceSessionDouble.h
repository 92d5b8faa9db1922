// Plays the outside trace session controller for the event-tracing sink: stands in for the
// platform's classic provider calls, keeps the control callback the sink registers, enables and
// disables the provider through it, and keeps a copy of every event the sink sends.
#pragma once

#include <windows.h>
#include <evntrace.h>

#include <map>
#include <vector>

#include "etwlogging/TraceProviderApi.h"

namespace VrxTest {

// One TraceEvent call, copied when it was made.
struct TracedEvent {
    TRACEHANDLE session = 0;
    // The header as given, Size bytes: the event header and its data fields.
    std::vector<BYTE> header;
    // The bytes each data field pointed to.
    std::vector<std::vector<BYTE>> fields;

    const EVENT_TRACE_HEADER& Header() const {
        return *reinterpret_cast<const EVENT_TRACE_HEADER*>(header.data());
    }
};

class CTraceSessionDouble : public ETWLogging::ITraceProviderApi {
public:
    // The provider calls.
    ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                             ULONG guidCount, TRACE_GUID_REGISTRATION* registrations,
                             const wchar_t* mofImagePath, const wchar_t* mofResourceName,
                             TRACEHANDLE* registrationHandle) override;
    ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) override;
    // Succeeds for a session that has the provider enabled, else ERROR_INVALID_HANDLE; the event
    // is kept either way.
    ULONG TraceEvent(TRACEHANDLE session, EVENT_TRACE_HEADER* header) override;
    // The session named in a control buffer; kInvalidTraceHandle with ERROR_INVALID_PARAMETER
    // for no buffer, with ERROR_INVALID_HANDLE for a session that is not enabling the provider.
    TRACEHANDLE GetTraceLoggerHandle(void* controlBuffer) override;
    UCHAR GetTraceEnableLevel(TRACEHANDLE session) override;
    ULONG GetTraceEnableFlags(TRACEHANDLE session) override;

    // The controller's side: calls the registered callback with the registered context.
    // Enables the provider for `session` at `level` and `flags`.
    ULONG Enable(TRACEHANDLE session, UCHAR level, ULONG flags = 0);
    // Disables it for `session`.
    ULONG Disable(TRACEHANDLE session);
    // Sends any request naming `session`, with the registered context or, when
    // `registeredContext` is false, with none.
    ULONG SendRequest(WMIDPREQUESTCODE request, TRACEHANDLE session, bool registeredContext = true);

    // What RegisterTraceGuids answers, and the handle it hands out on success.
    ULONG registerResult = ERROR_SUCCESS;
    TRACEHANDLE registrationHandle = 0x5EED;

    // What the provider did.
    int registrations = 0;
    GUID controlGuid = {};
    GUID eventClassGuid = {};
    std::vector<TRACEHANDLE> unregistered;
    std::vector<TracedEvent> events;

private:
    struct Session {
        UCHAR level;
        ULONG flags;
    };

    WMIDPREQUEST m_callback = nullptr;
    void* m_context = nullptr;
    std::map<TRACEHANDLE, Session> m_sessions;
};

}  // namespace VrxTest
