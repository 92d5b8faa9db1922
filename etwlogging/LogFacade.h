// The process-wide logging facade: every caller in the library logs through IsLoggingEnabled and
// WriteLog. The facade's one sink comes from the process-wide builder, once, on first use.
#pragma once

#include <windows.h>
// urlmon.h maps the name IsLoggingEnabled to functions of its own. Take it in here, once, and
// drop the macro so that the facade's name means the facade everywhere.
#include <urlmon.h>
#undef IsLoggingEnabled

#include <memory>
#include <string>
#include <type_traits>

#include "LoggingIf.h"

namespace Tessel {
class ILoggingHandler;
}

namespace ETWLogging {

namespace internal {
// The handle of the module that contains the logging code.
HMODULE LoggingModule();
}  // namespace internal

// The five values that InitializeLogging stores until the facade is first used.
struct LogInitValues {
    std::wstring profileName;  // empty: the sink's built-in profile
    bool hasProfileName = false;
    std::wstring groupName = L"_no_group";
    HMODULE module = internal::LoggingModule();
    std::wstring hostName = L"_no_host";
    bool hasHostName = true;
    DWORD mechanismOverride = 0;

    const wchar_t* ProfileNameOrNull() const {
        return hasProfileName ? profileName.c_str() : nullptr;
    }
    const wchar_t* HostNameOrNull() const { return hasHostName ? hostName.c_str() : nullptr; }
};

// Owns a builder together with the code that deletes it (builders have no virtual destructor).
using LogBuilderPtr = std::unique_ptr<CLogBuilderIf, void (*)(CLogBuilderIf*)>;

template <typename TBuilder>
LogBuilderPtr MakeLogBuilderPtr(std::unique_ptr<TBuilder> builder) {
    static_assert(std::is_final_v<TBuilder> || std::has_virtual_destructor_v<TBuilder>,
                  "the builder is deleted as the type given here");
    return LogBuilderPtr(builder.release(),
                         [](CLogBuilderIf* doomed) { delete static_cast<TBuilder*>(doomed); });
}

class CLogFacade {
public:
    // Builds the sink through `builder` (null: no sink). Never fails: without a sink the facade
    // answers "disabled" and drops writes.
    CLogFacade(const LogInitValues& values, CLogBuilderIf* builder);
    ~CLogFacade();
    CLogFacade(const CLogFacade&) = delete;
    CLogFacade& operator=(const CLogFacade&) = delete;

    CLoggingIf* Sink() const { return m_sink; }
    int IsEnabled(DWORD severity) const;
    DWORD WriteV(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                 const wchar_t* format, va_list args);

    // Writes `message` as it stands, whatever the sink's threshold.
    void WriteUnformatted(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* message);

    // Registers `handler` with the support library's logger, so that its messages reach this
    // facade's sink too. Only a facade with a sink registers. A successful registration is
    // remembered (replacing, and unregistering, one remembered before) and undone when the
    // facade goes.
    void RegisterSupportLogHandler(Tessel::ILoggingHandler* handler);

    // When `handler` is the one remembered as registered, forgets and unregisters it.
    void UnregisterSupportLogHandler(Tessel::ILoggingHandler* handler);

    // Texts longer than this are cut to kCutChars before a non-extended write.
    static constexpr size_t kMaxWholeChars = 4160;
    static constexpr size_t kCutChars = 2080;

private:
    void StoreSink(CLoggingIf* sink);

    CLoggingIf* m_sink = nullptr;
    Tessel::ILoggingHandler* m_registeredHandler = nullptr;
};

// Stores the initialisation values; builds nothing. A null module means the module that contains
// the logging code.
void InitializeLogging(const wchar_t* profileName, const wchar_t* groupName, HMODULE module,
                       const wchar_t* hostName, DWORD mechanismOverride);

// Puts a builder in the process-wide slot, to be used when the facade is created; when none has
// been put there, the facade makes its sink with the default builder. Refused (false) once the
// facade exists or when the slot already holds a builder.
bool InstallLogBuilder(LogBuilderPtr builder);

// The facade, created on first use; null only when it could not be allocated.
CLogFacade* GetLogFacade();

int IsLoggingEnabled(DWORD severity);
void WriteLog(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
              const wchar_t* format, ...);

// The guarded form every caller uses: ask for the severity, write only when it is enabled.
template <typename... TArgs>
void LogIfEnabled(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                  const wchar_t* format, TArgs... args) {
    if (IsLoggingEnabled(severity)) {
        WriteLog(severity, file, function, line, format, args...);
    }
}

namespace internal {
// The values InitializeLogging stored (the defaults until it runs).
const LogInitValues& StoredLogInitValues();

// The process's facade once its creation has finished, else null; never creates it.
CLogFacade* CreatedLogFacade();

// The builder held in `slot`. An empty slot first gets the default builder; null only when that
// cannot be allocated.
CLogBuilderIf* BuilderInSlot(LogBuilderPtr& slot);
}  // namespace internal

}  // namespace ETWLogging
