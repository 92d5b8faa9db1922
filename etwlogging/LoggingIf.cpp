#include "LoggingIf.h"

#include "Format.h"

namespace ETWLogging {

DWORD CLoggingIf::LogFixedBuffer(DWORD severity, const wchar_t* file, const wchar_t* function,
                                 int line, const wchar_t* format, va_list args) {
    wchar_t buffer[kFormatBufferChars];
    internal::FormatWideBounded(buffer, kFormatBufferChars, kMaxFormattedChars, format, args);
    return Log(file, function, line, severity, buffer);
}

#define VRX_DEFINE_FIXED_SEVERITY_LOG(Name, Severity)                                      \
    DWORD CLoggingIf::Name(const wchar_t* file, const wchar_t* function, int line,         \
                           const wchar_t* format, ...) {                                   \
        va_list args;                                                                      \
        va_start(args, format);                                                            \
        const DWORD result = LogFixedBuffer(Severity, file, function, line, format, args); \
        va_end(args);                                                                      \
        return result;                                                                     \
    }

VRX_DEFINE_FIXED_SEVERITY_LOG(LogNormal, kSeverityNormal)
VRX_DEFINE_FIXED_SEVERITY_LOG(LogError, kSeverityError)
VRX_DEFINE_FIXED_SEVERITY_LOG(LogWarning, kSeverityWarning)
VRX_DEFINE_FIXED_SEVERITY_LOG(LogCritical, kSeverityCritical)
VRX_DEFINE_FIXED_SEVERITY_LOG(LogInformation, kSeverityInformation)

#undef VRX_DEFINE_FIXED_SEVERITY_LOG

}  // namespace ETWLogging
