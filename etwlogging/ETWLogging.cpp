#include "ETWLogging.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>

#include "ETWConfigurationListener.h"
#include "Format.h"
#include "ModuleIdentity.h"

namespace ETWLogging {
namespace {

constexpr DWORD kLockSpinCount = 4000;
// ERROR_UNHANDLED_EXCEPTION, which mingw's headers do not define.
constexpr ULONG kErrorUnhandledException = 574;

// The event: the trace header and the two data fields it points to.
struct TraceEventRecord {
    EVENT_TRACE_HEADER header;
    MOF_FIELD fields[2];
};
static_assert(sizeof(TraceEventRecord) == 0x50, "the event header with its two fields");

constexpr UCHAR kEventType = 1;
constexpr USHORT kEventVersion = 2;
constexpr ULONG kEventFlags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;  // 0x120000
constexpr DWORD kMaxEventLevel = 5;
constexpr DWORD kFallbackEventLevel = 3;
// A counted string holds at most this many characters: its count is 16 bits.
constexpr size_t kMaxCountedChars = 0xFFFF;

// The event's fixed part, packed without padding. Starts in a buffer of its own and moves to the
// heap, growing by half (at least to what is needed), when that is not enough.
class CEventFieldBuffer {
public:
    CEventFieldBuffer() = default;
    CEventFieldBuffer(const CEventFieldBuffer&) = delete;
    CEventFieldBuffer& operator=(const CEventFieldBuffer&) = delete;

    bool Append(const void* data, size_t bytes) {
        if (bytes == 0) {
            return true;
        }
        if (!Reserve(m_size + bytes)) {
            return false;
        }
        std::memcpy(m_data + m_size, data, bytes);
        m_size += bytes;
        return true;
    }
    bool AppendDword(DWORD value) { return Append(&value, sizeof(value)); }
    bool AppendQword(ULONGLONG value) { return Append(&value, sizeof(value)); }
    // A 16-bit character count, then the characters without terminator. Text beyond what the
    // count can say is left out.
    bool AppendCounted(const wchar_t* text) {
        const size_t chars = text != nullptr ? std::min(std::wcslen(text), kMaxCountedChars) : 0;
        const USHORT count = static_cast<USHORT>(chars);
        return Append(&count, sizeof(count)) && Append(text, chars * sizeof(wchar_t));
    }

    const BYTE* Data() const { return m_data; }
    size_t Size() const { return m_size; }

private:
    bool Reserve(size_t needed) {
        if (needed <= m_capacity) {
            return true;
        }
        const size_t capacity = std::max(m_capacity + m_capacity / 2, needed);
        std::unique_ptr<BYTE[]> grown(new (std::nothrow) BYTE[capacity]);
        if (!grown) {
            return false;
        }
        std::memcpy(grown.get(), m_data, m_size);
        m_heap = std::move(grown);
        m_data = m_heap.get();
        m_capacity = capacity;
        return true;
    }

    BYTE m_inline[256];
    std::unique_ptr<BYTE[]> m_heap;
    BYTE* m_data = m_inline;
    size_t m_capacity = sizeof(m_inline);
    size_t m_size = 0;
};

// The message in UTF-8: in the caller's spare space when it fits there, else on the heap.
class CUtf8Text {
public:
    CUtf8Text() = default;
    CUtf8Text(const CUtf8Text&) = delete;
    CUtf8Text& operator=(const CUtf8Text&) = delete;

    // Converts `chars` characters of `text`; 0 or an error code.
    DWORD Convert(const wchar_t* text, size_t chars, char* spare, size_t spareBytes) {
        if (chars == 0) {
            return ERROR_SUCCESS;
        }
        const int wideChars = static_cast<int>(chars);
        const int needed =
            ::WideCharToMultiByte(CP_UTF8, 0, text, wideChars, nullptr, 0, nullptr, nullptr);
        if (needed <= 0) {
            return ::GetLastError();
        }
        char* target = spare;
        if (static_cast<size_t>(needed) > spareBytes) {
            m_heap.reset(new (std::nothrow) char[needed]);
            if (!m_heap) {
                return ERROR_OUTOFMEMORY;
            }
            target = m_heap.get();
        }
        if (::WideCharToMultiByte(CP_UTF8, 0, text, wideChars, target, needed, nullptr, nullptr) !=
            needed) {
            return ::GetLastError();
        }
        m_data = target;
        m_size = static_cast<size_t>(needed);
        return ERROR_SUCCESS;
    }

    const char* Data() const { return m_data; }
    size_t Size() const { return m_size; }

private:
    std::unique_ptr<char[]> m_heap;
    const char* m_data = "";
    size_t m_size = 0;
};

bool BuildFixedPart(const TraceRecordInfo& record, ULONGLONG messageBytes,
                    CEventFieldBuffer& fixed) {
    return fixed.AppendDword(record.processId) && fixed.AppendDword(record.threadId) &&
           fixed.AppendCounted(record.processFileName) && fixed.AppendCounted(record.file) &&
           fixed.AppendCounted(record.function) &&
           fixed.AppendDword(static_cast<DWORD>(record.line)) &&
           fixed.AppendCounted(record.moduleFolder) && fixed.AppendCounted(record.moduleVersion) &&
           fixed.AppendCounted(record.groupName) && fixed.AppendQword(messageBytes);
}

void SetField(MOF_FIELD& field, const void* data, size_t bytes) {
    field.DataPtr = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(data));
    field.Length = static_cast<ULONG>(bytes);
    field.DataType = 0;
}

// The characters of a formatted message that go into the event: what was written, or the whole
// buffer with its terminator when the text was cut, or nothing when the format was refused.
size_t MessageChars(int formatted, size_t bufferChars) {
    if (formatted >= 0) {
        return static_cast<size_t>(formatted);
    }
    return formatted == internal::kFormatTruncated ? bufferChars : 0;
}

}  // namespace

const GUID CETWLogging::kEventClassGuid = {
    0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

CETWLogging::CLock::CLock() {
    ::InitializeCriticalSectionAndSpinCount(&m_section, kLockSpinCount);
}

CETWLogging::CLock::~CLock() {
    ::DeleteCriticalSection(&m_section);
}

void CETWLogging::CLock::Enter() {
    ::EnterCriticalSection(&m_section);
}

void CETWLogging::CLock::Leave() {
    ::LeaveCriticalSection(&m_section);
}

ULONG CETWLogging::CRegistration::Reset(TRACEHANDLE handle) {
    const TRACEHANDLE held = std::exchange(m_handle, handle);
    return held != 0 ? m_api.UnregisterTraceGuids(held) : ERROR_SUCCESS;
}

CETWLogging::CETWLogging(ITraceProviderApi* traceApi)
    : m_traceApi(traceApi != nullptr ? *traceApi : PlatformTraceProviderApi()),
      m_registration(m_traceApi) {}

CETWLogging::~CETWLogging() {
    if (m_registered.load()) {
        Stop();
        m_registered.store(false);
    }
    // The members go in reverse order: the profile, the registration still held, the listener,
    // the lock.
}

DWORD CETWLogging::Initialize(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                              DWORD /*reserved*/) {
    return InitializeEx(nullptr, groupName, module, hostName, nullptr);
}

DWORD CETWLogging::InitializeEx(const wchar_t* profileName, const wchar_t* groupName,
                                HMODULE module, const wchar_t* hostName,
                                LoggingConfigListenerIf* listener) {
    std::unique_ptr<LoggingConfigListenerIf> given(listener);
    if (m_registered.load()) {
        return kErrorAlreadyRegistered;
    }
    try {
        const DWORD named = InitializeNames(profileName, groupName, module, hostName);
        if (named != ERROR_SUCCESS) {
            return named;
        }
        ReplaceListener(given.release());
        m_listener->OnChange(true, kSeverityInformation, 0);
        m_processId = ::GetCurrentProcessId();
        const internal::ModuleIdentity& identity = internal::LoggingModuleIdentity();
        m_moduleFolder = identity.folder;
        m_moduleVersion = identity.version;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    ResetEventClass();
    return ERROR_SUCCESS;
}

DWORD CETWLogging::InitializeNames(const wchar_t* profileName, const wchar_t* groupName,
                                   HMODULE module, const wchar_t* hostName) {
    if ((groupName != nullptr && *groupName == L'\0') ||
        (hostName != nullptr && *hostName == L'\0')) {
        return ERROR_INVALID_PARAMETER;
    }
    m_groupName = groupName != nullptr ? groupName : L"";
    m_hostName = hostName != nullptr ? hostName : L"";
    if (!m_profile.InitializeProfile(profileName)) {
        return ERROR_INVALID_PARAMETER;
    }
    GetModuleName(m_processFileName, nullptr, false);
    GetModuleName(m_moduleName, module, true);
    ComposeSourcePath();
    return ERROR_SUCCESS;
}

void CETWLogging::ReplaceListener(LoggingConfigListenerIf* listener) {
    m_listener.reset();
    if (listener != nullptr) {
        m_listener.reset(listener);
        return;
    }
    auto created = std::make_unique<CETWConfigurationListener>(m_profile);
    created->AttachSink(this);
    m_listener = std::move(created);
}

DWORD CETWLogging::Prepare() {
    if (m_registered.load()) {
        return ERROR_SUCCESS;
    }
    CLockHolder hold(m_lock);
    if (m_registered.load()) {
        return ERROR_SUCCESS;
    }
    m_traceGuidRegistration.Guid = &m_eventClass;
    m_traceGuidRegistration.RegHandle = nullptr;
    TRACEHANDLE handle = 0;
    const ULONG result =
        m_traceApi.RegisterTraceGuids(&ControlCallback, this, &m_profile.ProviderGuid(), 1,
                                      &m_traceGuidRegistration, nullptr, nullptr, &handle);
    m_registration.Reset(result == ERROR_SUCCESS ? handle : 0);
    // Attempted once: a failure is reported to this write only.
    m_registered.store(true);
    return result;
}

void CETWLogging::GetSourcePath(std::wstring& sourcePath) {
    sourcePath = m_sourcePath;
}

void CETWLogging::GetGroupName(std::wstring& groupName) {
    groupName = m_groupName;
}

DWORD CETWLogging::Shutdown() {
    if (m_registered.load()) {
        const DWORD stopped = Stop();
        if (stopped != ERROR_SUCCESS) {
            return stopped;
        }
    }
    m_registered.store(false);
    return ERROR_SUCCESS;
}

void CETWLogging::SetEnabled(bool enabled) {
    m_enabled.store(enabled ? 1 : 0);
}

bool CETWLogging::IsEnabled() {
    return m_enabled.load() != 0;
}

DWORD CETWLogging::LogFormat(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* format, ...) {
    if (!IsEnabled() || !IsSeverityEnabled(severity) || format == nullptr || *format == L'\0') {
        return ERROR_SUCCESS;
    }
    std::wstring text;
    va_list args;
    va_start(args, format);
    bool formatted = false;
    try {
        formatted = internal::FormatWideV(text, format, args);
    } catch (const std::bad_alloc&) {
        va_end(args);
        return ERROR_OUTOFMEMORY;
    }
    va_end(args);
    if (!formatted) {
        return ERROR_INVALID_PARAMETER;
    }
    return LogEx(severity, file, function, line, text.c_str());
}

DWORD CETWLogging::Log(const wchar_t* file, const wchar_t* function, int line, DWORD severity,
                       const wchar_t* message) {
    LogEx(severity, file, function, line, message);
    return ERROR_SUCCESS;
}

int CETWLogging::IsSeverityEnabled(DWORD severity) {
    return severity >= m_threshold.load() || severity == kSeverityInformation ? 1 : 0;
}

void CETWLogging::SetMaxEntries(DWORD /*count*/) {}

DWORD CETWLogging::GetMaxEntries() {
    return 0;
}

void CETWLogging::SetMaxSize(DWORD /*bytes*/) {}

DWORD CETWLogging::GetMaxSize() {
    return 0;
}

DWORD CETWLogging::SetSeverity(DWORD threshold) {
    m_threshold.store(threshold == 0                      ? kSeverityNormal
                      : threshold > kSeverityInformation2 ? kSeverityInformation2
                                                          : threshold);
    return threshold;
}

DWORD CETWLogging::GetSeverity() {
    return m_threshold.load();
}

LONG CETWLogging::AddRef() {
    return 0;
}

LONG CETWLogging::Release() {
    return 0;
}

DWORD CETWLogging::LogEx(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* message) {
    return LogFormatEx(severity, file, function, line, L"%s", message);
}

DWORD CETWLogging::LogFormatEx(DWORD severity, const wchar_t* file, const wchar_t* function,
                               int line, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const DWORD result = LogFormatV(severity, file, function, line, format, args);
    va_end(args);
    return result;
}

DWORD CETWLogging::LogFormatV(DWORD severity, const wchar_t* file, const wchar_t* function,
                              int line, const wchar_t* format, va_list args) {
    if (format == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!IsEnabled() || !IsSeverityEnabled(severity)) {
        return ERROR_SUCCESS;
    }
    // The text takes the front of this area; its UTF-8 form the rest, when it fits there.
    wchar_t area[kMessageChars];
    const size_t chars = MessageChars(
        internal::FormatWideTruncated(area, kMessageChars, format, args), kMessageChars);
    TraceRecordInfo record;
    FillRecordInfo(file, function, line, record);
    return SendEvent(severity, record, area, chars);
}

DWORD CETWLogging::SendEvent(DWORD severity, const TraceRecordInfo& record,
                             wchar_t (&area)[kMessageChars], size_t chars) {
    CUtf8Text message;
    char* const spare = reinterpret_cast<char*>(area + chars);
    const DWORD converted =
        message.Convert(area, chars, spare, (kMessageChars - chars) * sizeof(wchar_t));
    if (converted != ERROR_SUCCESS) {
        return converted;
    }
    CEventFieldBuffer fixed;
    if (!BuildFixedPart(record, message.Size(), fixed)) {
        return ERROR_OUTOFMEMORY;
    }
    DWORD level = SeverityToLevel(severity);
    if (level == 0 || level > kMaxEventLevel) {
        level = kFallbackEventLevel;
    }
    TraceEventRecord event = {};
    event.header.Size = sizeof(event);
    event.header.Class.Type = kEventType;
    event.header.Class.Level = static_cast<UCHAR>(level);
    event.header.Class.Version = kEventVersion;
    event.header.Guid = m_eventClass;
    event.header.Flags = kEventFlags;
    SetField(event.fields[0], fixed.Data(), fixed.Size());
    SetField(event.fields[1], message.Data(), message.Size());
    // Without a trace session the platform rejects the event; nothing more is to be done then.
    m_traceApi.TraceEvent(m_session.load(), &event.header);
    return ERROR_SUCCESS;
}

void CETWLogging::FillRecordInfo(const wchar_t* file, const wchar_t* function, int line,
                                 TraceRecordInfo& record) {
    record.processId = m_processId;
    record.threadId = ::GetCurrentThreadId();
    record.file = file;
    record.function = function;
    record.line = line;
    record.groupName = m_groupName.c_str();
    record.moduleFolder = m_moduleFolder.c_str();
    record.moduleVersion = m_moduleVersion.c_str();
    record.processFileName = m_processFileName.c_str();
}

bool CETWLogging::IsSameSession(TRACEHANDLE session) {
    return session == m_session.load();
}

ULONG WINAPI CETWLogging::ControlCallback(WMIDPREQUESTCODE requestCode, void* context,
                                          ULONG* /*bufferSize*/, void* buffer) {
    if (context == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        return static_cast<CETWLogging*>(context)->OnTraceControl(requestCode, buffer);
    } catch (...) {
        return kErrorUnhandledException;
    }
}

ULONG CETWLogging::OnTraceControl(WMIDPREQUESTCODE requestCode, void* controlBuffer) {
    switch (requestCode) {
        case WMI_ENABLE_EVENTS:
            return EnableFromSession(controlBuffer);
        case WMI_DISABLE_EVENTS:
            return DisableFromSession(controlBuffer);
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

ULONG CETWLogging::EnableFromSession(void* controlBuffer) {
    ::SetLastError(ERROR_SUCCESS);
    const TRACEHANDLE session = m_traceApi.GetTraceLoggerHandle(controlBuffer);
    if (session == kInvalidTraceHandle) {
        return ::GetLastError();
    }
    const TRACEHANDLE stored = m_session.load();
    if (stored != 0 && stored != session) {
        // Another trace session has the provider already.
        return ERROR_SUCCESS;
    }
    m_session.store(session);
    if (m_listener) {
        const UCHAR level = m_traceApi.GetTraceEnableLevel(session);
        if (level == 0) {
            return ::GetLastError();
        }
        const ULONG flags = m_traceApi.GetTraceEnableFlags(session);
        m_listener->OnChange(true, level, flags);
    }
    return ERROR_SUCCESS;
}

ULONG CETWLogging::DisableFromSession(void* controlBuffer) {
    if (m_listener) {
        m_listener->OnChange(false, m_threshold.load(), 0);
    }
    const TRACEHANDLE session = m_traceApi.GetTraceLoggerHandle(controlBuffer);
    if (session != kInvalidTraceHandle && session == m_session.load()) {
        m_session.store(0);
    }
    return ERROR_SUCCESS;
}

void CETWLogging::ResetEventClass() {
    m_eventClass = kEventClassGuid;
}

void CETWLogging::GetModuleName(std::wstring& name, HMODULE module, bool stripExtension) {
    const std::wstring path = internal::ModuleFilePath(module);
    name = path.substr(path.find_last_of(L'\\') + 1);
    if (stripExtension) {
        name = name.substr(0, name.find_last_of(L'.'));
    }
}

void CETWLogging::ComposeSourcePath() {
    m_sourcePath = m_moduleName.empty() ? m_groupName : m_groupName + L"\\" + m_moduleName;
}

DWORD CETWLogging::UnregisterProvider() {
    CLockHolder hold(m_lock);
    if (!m_registration.IsHeld()) {
        return ERROR_SUCCESS;
    }
    const ULONG result = m_registration.Reset();
    m_registered.store(false);
    return result;
}

DWORD CETWLogging::Stop() {
    SetEnabled(false);
    return UnregisterProvider();
}

DWORD CETWLogging::SeverityToLevel(DWORD severity) {
    return severity == kSeverityInformation2 ? kSeverityInformation : severity;
}

}  // namespace ETWLogging
