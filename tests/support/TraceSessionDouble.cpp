#include "TraceSessionDouble.h"

#include <wmistr.h>

#include <gtest/gtest.h>

namespace VrxTest {

ULONG CTraceSessionDouble::RegisterTraceGuids(WMIDPREQUEST callback, void* context,
                                              const GUID* controlGuidIn, ULONG guidCount,
                                              TRACE_GUID_REGISTRATION* traceGuids,
                                              const wchar_t* /*mofImagePath*/,
                                              const wchar_t* /*mofResourceName*/,
                                              TRACEHANDLE* handle) {
    ++registrations;
    if (registerResult != ERROR_SUCCESS) {
        return registerResult;
    }
    m_callback = callback;
    m_context = context;
    controlGuid = *controlGuidIn;
    EXPECT_EQ(1u, guidCount);
    eventClassGuid = *traceGuids[0].Guid;
    *handle = registrationHandle;
    return ERROR_SUCCESS;
}

ULONG CTraceSessionDouble::UnregisterTraceGuids(TRACEHANDLE handle) {
    unregistered.push_back(handle);
    m_callback = nullptr;
    m_context = nullptr;
    return ERROR_SUCCESS;
}

ULONG CTraceSessionDouble::TraceEvent(TRACEHANDLE session, EVENT_TRACE_HEADER* header) {
    TracedEvent event;
    event.session = session;
    const BYTE* const headerBytes = reinterpret_cast<const BYTE*>(header);
    event.header.assign(headerBytes, headerBytes + header->Size);
    if (header->Size > sizeof(EVENT_TRACE_HEADER)) {
        const auto* fields = reinterpret_cast<const MOF_FIELD*>(header + 1);
        const size_t count = (header->Size - sizeof(EVENT_TRACE_HEADER)) / sizeof(MOF_FIELD);
        for (size_t i = 0; i < count; ++i) {
            const BYTE* data = reinterpret_cast<const BYTE*>(fields[i].DataPtr);
            event.fields.emplace_back(data, data + fields[i].Length);
        }
    }
    events.push_back(std::move(event));
    return m_sessions.count(session) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

TRACEHANDLE CTraceSessionDouble::GetTraceLoggerHandle(void* controlBuffer) {
    if (controlBuffer == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return ETWLogging::kInvalidTraceHandle;
    }
    const TRACEHANDLE session = static_cast<WNODE_HEADER*>(controlBuffer)->HistoricalContext;
    if (m_sessions.count(session) == 0) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return ETWLogging::kInvalidTraceHandle;
    }
    return session;
}

UCHAR CTraceSessionDouble::GetTraceEnableLevel(TRACEHANDLE session) {
    const auto found = m_sessions.find(session);
    if (found == m_sessions.end()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return found->second.level;
}

ULONG CTraceSessionDouble::GetTraceEnableFlags(TRACEHANDLE session) {
    const auto found = m_sessions.find(session);
    if (found == m_sessions.end()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return found->second.flags;
}

ULONG CTraceSessionDouble::Enable(TRACEHANDLE session, UCHAR level, ULONG flags) {
    m_sessions[session] = Session{level, flags};
    return SendRequest(WMI_ENABLE_EVENTS, session);
}

ULONG CTraceSessionDouble::Disable(TRACEHANDLE session) {
    const ULONG result = SendRequest(WMI_DISABLE_EVENTS, session);
    m_sessions.erase(session);
    return result;
}

ULONG CTraceSessionDouble::SendRequest(WMIDPREQUESTCODE request, TRACEHANDLE session,
                                       bool registeredContext) {
    if (m_callback == nullptr) {
        ADD_FAILURE() << "no provider is registered";
        return ERROR_INVALID_FUNCTION;
    }
    WNODE_HEADER buffer = {};
    buffer.BufferSize = sizeof(buffer);
    buffer.HistoricalContext = session;
    ULONG bufferSize = sizeof(buffer);
    return m_callback(request, registeredContext ? m_context : nullptr, &bufferSize, &buffer);
}

}  // namespace VrxTest
