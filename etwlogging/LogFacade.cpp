#include "LogFacade.h"

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#include "DefaultLogBuilder.h"
#include "Format.h"
#include "TesselLogHandler.h"
#include "../support/Logging/internal_logging.h"

namespace ETWLogging {
namespace {

constexpr DWORD kResultNoSink = ERROR_FUNCTION_FAILED;  // 1627: nothing to write to

HMODULE ModuleContainingThisCode() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&ModuleContainingThisCode), &module);
    return module;
}

// Stored at load, before InitializeLogging runs, so that the defaults name this module too.
const HMODULE g_loggingModule = ModuleContainingThisCode();

LogInitValues& StoredInitValues() {
    static LogInitValues values;
    return values;
}

void NoDelete(CLogBuilderIf*) {}

struct BuilderSlot {
    std::mutex lock;
    LogBuilderPtr builder{nullptr, &NoDelete};
    bool facadeCreated = false;
};

BuilderSlot& TheBuilderSlot() {
    static BuilderSlot slot;
    return slot;
}

// Owns the facade for the life of the process; destroyed at static destruction.
std::unique_ptr<CLogFacade>& FacadeHolder() {
    static std::unique_ptr<CLogFacade> facade;
    return facade;
}

// The facade once its creation has finished, for readers that must not create it (the support
// library's messages may arrive while it is being created).
std::atomic<CLogFacade*> g_createdFacade{nullptr};

CLogBuilderIf* TakeBuilderForFacade() {
    BuilderSlot& slot = TheBuilderSlot();
    std::lock_guard<std::mutex> guard(slot.lock);
    slot.facadeCreated = true;
    return internal::BuilderInSlot(slot.builder);
}

void CreateFacade() {
    // The builder slot must outlive the facade: touch it first so that it is destroyed last.
    CLogBuilderIf* builder = TakeBuilderForFacade();
    std::unique_ptr<CLogFacade>& holder = FacadeHolder();
    holder.reset(new (std::nothrow) CLogFacade(StoredInitValues(), builder));
    if (holder) {
        holder->RegisterSupportLogHandler(&CTesselLogHandler::Instance());
        g_createdFacade.store(holder.get());
    }
}

}  // namespace

namespace internal {
HMODULE LoggingModule() {
    return g_loggingModule != nullptr ? g_loggingModule : ModuleContainingThisCode();
}
const LogInitValues& StoredLogInitValues() {
    return StoredInitValues();
}
CLogFacade* CreatedLogFacade() {
    return g_createdFacade.load();
}
CLogBuilderIf* BuilderInSlot(LogBuilderPtr& slot) {
    if (!slot) {
        std::unique_ptr<CDefaultLogBuilder> created(new (std::nothrow) CDefaultLogBuilder());
        if (created) {
            slot = MakeLogBuilderPtr(std::move(created));
        }
    }
    return slot.get();
}
}  // namespace internal

CLogFacade::CLogFacade(const LogInitValues& values, CLogBuilderIf* builder) {
    if (builder == nullptr) {
        return;
    }
    CLoggingIf* sink = nullptr;
    bool built = false;
    if (auto* extended = dynamic_cast<CLogBuilderIf_ex*>(builder)) {
        built =
            extended->BuildEx(values.ProfileNameOrNull(), values.groupName.c_str(), values.module,
                              values.HostNameOrNull(), values.mechanismOverride, &sink, nullptr);
    }
    if (!built) {
        sink = nullptr;
        built = builder->Build(values.groupName.c_str(), values.module, values.HostNameOrNull(),
                               values.mechanismOverride, &sink, nullptr);
    }
    if (built) {
        StoreSink(sink);
    }
}

CLogFacade::~CLogFacade() {
    if (g_createdFacade.load() == this) {
        g_createdFacade.store(nullptr);
    }
    UnregisterSupportLogHandler(m_registeredHandler);
    StoreSink(nullptr);
}

void CLogFacade::RegisterSupportLogHandler(Tessel::ILoggingHandler* handler) {
    if (m_sink == nullptr || Tessel::CLogger::RegisterHandler(handler) != ERROR_SUCCESS) {
        return;
    }
    Tessel::ILoggingHandler* const previous = std::exchange(m_registeredHandler, handler);
    if (previous != nullptr && previous != handler) {
        Tessel::CLogger::UnregisterHandler(previous);
    }
}

void CLogFacade::UnregisterSupportLogHandler(Tessel::ILoggingHandler* handler) {
    if (handler != nullptr && handler == m_registeredHandler) {
        m_registeredHandler = nullptr;
        Tessel::CLogger::UnregisterHandler(handler);
    }
}

void CLogFacade::StoreSink(CLoggingIf* sink) {
    delete std::exchange(m_sink, sink);
}

int CLogFacade::IsEnabled(DWORD severity) const {
    return m_sink != nullptr ? m_sink->IsSeverityEnabled(severity) : 0;
}

DWORD CLogFacade::WriteV(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, va_list args) {
    if (m_sink == nullptr) {
        return kResultNoSink;
    }
    if (const DWORD notReady = m_sink->Prepare()) {
        return notReady;
    }
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(m_sink)) {
        if (extended->IsSeverityEnabled(severity)) {
            extended->LogFormatV(severity, file, function, line, format, args);
        }
        return ERROR_SUCCESS;
    }
    std::wstring text;
    if (!internal::FormatWideV(text, format, args)) {
        // Keep the record rather than lose it: write the format as it stands.
        text = format != nullptr ? format : L"";
    }
    if (text.size() > kMaxWholeChars) {
        text.resize(kCutChars);
    }
    return m_sink->Log(file, function, line, severity, text.c_str());
}

void CLogFacade::WriteUnformatted(DWORD severity, const wchar_t* file, const wchar_t* function,
                                  int line, const wchar_t* message) {
    if (m_sink == nullptr || m_sink->Prepare() != ERROR_SUCCESS) {
        return;
    }
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(m_sink)) {
        extended->LogEx(severity, file, function, line, message);
    } else {
        m_sink->Log(file, function, line, severity, message);
    }
}

void InitializeLogging(const wchar_t* profileName, const wchar_t* groupName, HMODULE module,
                       const wchar_t* hostName, DWORD mechanismOverride) {
    LogInitValues& values = StoredInitValues();
    values.hasProfileName = profileName != nullptr;
    values.profileName = profileName != nullptr ? profileName : L"";
    values.groupName = groupName != nullptr ? groupName : L"";
    values.module = module != nullptr ? module : internal::LoggingModule();
    values.hasHostName = hostName != nullptr;
    values.hostName = hostName != nullptr ? hostName : L"";
    values.mechanismOverride = mechanismOverride;
}

bool InstallLogBuilder(LogBuilderPtr builder) {
    BuilderSlot& slot = TheBuilderSlot();
    std::lock_guard<std::mutex> guard(slot.lock);
    if (slot.facadeCreated || slot.builder != nullptr || builder == nullptr) {
        return false;
    }
    slot.builder = std::move(builder);
    return true;
}

CLogFacade* GetLogFacade() {
    static std::once_flag created;
    std::call_once(created, &CreateFacade);
    return FacadeHolder().get();
}

int IsLoggingEnabled(DWORD severity) {
    const CLogFacade* facade = GetLogFacade();
    return facade != nullptr ? facade->IsEnabled(severity) : 0;
}

void WriteLog(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
              const wchar_t* format, ...) {
    CLogFacade* facade = GetLogFacade();
    if (facade == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    facade->WriteV(severity, file, function, line, format, args);
    va_end(args);
}

}  // namespace ETWLogging
