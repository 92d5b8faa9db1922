// The support library's own logger: its code reports problems here, independently of the logging
// facade. Every message goes to exactly one registered handler; until one is registered, the
// default handler sends it to the debugger.
#pragma once

#include <windows.h>

namespace Tessel {

// Message types: 0 untagged, 1 information, 2 error; any other value is unrecognised.
enum : DWORD {
    kLogTypeNone = 0,
    kLogTypeInformation = 1,
    kLogTypeError = 2,
};

class ILoggingHandler {
public:
    virtual void Log(DWORD type, const wchar_t* file, const wchar_t* function, DWORD line,
                     const wchar_t* message) = 0;
    virtual ~ILoggingHandler() = default;
};

// Writes each tagged message to the debugger as "file(line): [TAG]: [function]: message".
class CDefaultLoggingHandler : public ILoggingHandler {
public:
    ~CDefaultLoggingHandler() override;
    void Log(DWORD type, const wchar_t* file, const wchar_t* function, DWORD line,
             const wchar_t* message) override;

    // The one instance, constructed at load.
    static CDefaultLoggingHandler& Instance();
};

class CLogger {
public:
    // Registers `handler` in place of none, itself or the default handler. Returns 0, 87 for a
    // null handler, or 5023 when another handler is registered (which stays, and is told).
    static DWORD RegisterHandler(ILoggingHandler* handler);

    // Clears the registration of `handler`. Returns 0, 87 for a null handler, or 5023 when
    // `handler` is not the one registered; the handlers involved receive the error message.
    static DWORD UnregisterHandler(ILoggingHandler* handler);

    // Formats and passes one message to the registered handler, registering the default handler
    // when there is none.
    static void Log(DWORD type, const wchar_t* file, const wchar_t* function, DWORD line,
                    const wchar_t* format, ...);

    // The handler registered now, or null.
    static ILoggingHandler* RegisteredHandler();
};

}  // namespace Tessel
