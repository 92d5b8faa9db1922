#include "internal_logging.h"

#include <cstdarg>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <new>

namespace Tessel {
namespace {

constexpr const wchar_t* kSource = L"Logging\\internal_logging";
constexpr const wchar_t* kRegisterFunction = L"Tessel::CLogger::RegisterHandler";
constexpr const wchar_t* kUnregisterFunction = L"Tessel::CLogger::UnregisterHandler";
constexpr const wchar_t* kAllocationFailure =
    L"General memory-allocation failure in Tessel logger.";
constexpr DWORD kSystemMessageChars = 1024;

// The registration is a plain pointer: registering and unregistering happen while the process
// starts and ends, from one thread.
ILoggingHandler* g_registered = nullptr;

// Constructed at load so that it exists before anything can log.
CDefaultLoggingHandler g_defaultHandler;

// The system's text for a Win32 error code; empty when it has none.
struct SystemMessage {
    explicit SystemMessage(DWORD error) {
        if (::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, kSystemMessageChars, nullptr) == 0) {
            text[0] = L'\0';
        }
    }
    wchar_t text[kSystemMessageChars];
};

// Handler addresses are shown as eight hexadecimal digits.
unsigned AddressForLog(const void* handler) {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handler));
}

// Formats into a new buffer. `refused` is set when the run time rejects the format; a null result
// without it means the buffer could not be allocated.
std::unique_ptr<wchar_t[]> FormatNewV(bool& refused, const wchar_t* format, va_list args) {
    va_list measureArgs;
    va_copy(measureArgs, args);
    const int length = _vscwprintf(format, measureArgs);
    va_end(measureArgs);
    refused = length < 0;
    if (refused) {
        return nullptr;
    }
    const size_t chars = static_cast<size_t>(length) + 1;
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[chars]);
    if (text) {
        _vsnwprintf(text.get(), chars, format, args);
        text[chars - 1] = L'\0';
    }
    return text;
}

std::unique_ptr<wchar_t[]> FormatNew(bool& refused, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::unique_ptr<wchar_t[]> text = FormatNewV(refused, format, args);
    va_end(args);
    return text;
}

const wchar_t* TagOf(DWORD type) {
    switch (type) {
        case kLogTypeInformation:
            return L"INFO";
        case kLogTypeError:
            return L"ERROR";
        default:
            return L"UNKNOWN";
    }
}

}  // namespace

CDefaultLoggingHandler& CDefaultLoggingHandler::Instance() {
    return g_defaultHandler;
}

CDefaultLoggingHandler::~CDefaultLoggingHandler() {
    // A registration must not outlive the handler it names.
    if (g_registered == this) {
        g_registered = nullptr;
    }
}

void CDefaultLoggingHandler::Log(DWORD type, const wchar_t* file, const wchar_t* function,
                                 DWORD line, const wchar_t* message) {
    if (type == kLogTypeNone) {
        return;
    }
    bool refused = false;
    const std::unique_ptr<wchar_t[]> text =
        FormatNew(refused, L"%s(%d): [%s]: [%s]: %s\n", file, static_cast<int>(line), TagOf(type),
                  function, message);
    if (text) {
        ::OutputDebugStringW(text.get());
    }
}

ILoggingHandler* CLogger::RegisteredHandler() {
    return g_registered;
}

DWORD CLogger::RegisterHandler(ILoggingHandler* handler) {
    if (handler == nullptr) {
        Log(kLogTypeError, kSource, kRegisterFunction, 62, L"%s: Cannot Register (NULL) handler",
            SystemMessage(ERROR_INVALID_PARAMETER).text);
        return ERROR_INVALID_PARAMETER;
    }
    if (g_registered == nullptr || g_registered == handler || g_registered == &g_defaultHandler) {
        g_registered = handler;
        return ERROR_SUCCESS;
    }
    Log(kLogTypeError, kSource, kRegisterFunction, 72,
        L"%s: Registered Logging Handler 0x%08X cannot be replaced with 0x%08X",
        SystemMessage(ERROR_INVALID_STATE).text, AddressForLog(g_registered),
        AddressForLog(handler));
    return ERROR_INVALID_STATE;
}

DWORD CLogger::UnregisterHandler(ILoggingHandler* handler) {
    if (handler == nullptr) {
        Log(kLogTypeError, kSource, kUnregisterFunction, 97,
            L"%s: Cannot Unregister (NULL) handler", SystemMessage(ERROR_INVALID_PARAMETER).text);
        return ERROR_INVALID_PARAMETER;
    }
    if (g_registered == nullptr) {
        // The caller's handler hears of its own mistake.
        g_registered = handler;
        Log(kLogTypeError, kSource, kUnregisterFunction, 107,
            L"%s: Request to Unregister Logging handler 0x%08X, but none are registered",
            SystemMessage(ERROR_INVALID_STATE).text, AddressForLog(handler));
        g_registered = nullptr;
        return ERROR_INVALID_STATE;
    }
    if (g_registered != handler) {
        // Both handlers involved are told: the registered one, then the one named.
        const SystemMessage invalidState(ERROR_INVALID_STATE);
        ILoggingHandler* const registered = g_registered;
        const wchar_t* format =
            L"%s: Failed to Unregister Logging handler (requested handler 0x%08X != registered "
            L"handler 0x%08X)";
        Log(kLogTypeError, kSource, kUnregisterFunction, 115, format, invalidState.text,
            AddressForLog(handler), AddressForLog(registered));
        g_registered = handler;
        Log(kLogTypeError, kSource, kUnregisterFunction, 120, format, invalidState.text,
            AddressForLog(handler), AddressForLog(registered));
        g_registered = registered;
        return ERROR_INVALID_STATE;
    }
    g_registered = nullptr;
    return ERROR_SUCCESS;
}

void CLogger::Log(DWORD type, const wchar_t* file, const wchar_t* function, DWORD line,
                  const wchar_t* format, ...) {
    if (g_registered == nullptr) {
        RegisterHandler(&g_defaultHandler);
    }
    ILoggingHandler* const handler = g_registered;
    if (handler == nullptr || format == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    bool refused = false;
    const std::unique_ptr<wchar_t[]> text = FormatNewV(refused, format, args);
    va_end(args);
    if (text) {
        handler->Log(type, file, function, line, text.get());
    } else if (refused) {
        // The run time rejected the format: pass it on as it stands rather than lose the message.
        handler->Log(type, file, function, line, format);
    } else {
        handler->Log(kLogTypeError, file, function, line, kAllocationFailure);
    }
}

}  // namespace Tessel
