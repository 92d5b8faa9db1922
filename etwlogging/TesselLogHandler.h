// Carries the support library's own messages into the logging facade's sink.
#pragma once

#include "../support/Logging/internal_logging.h"

namespace ETWLogging {

class CTesselLogHandler : public Tessel::ILoggingHandler {
public:
    // Writes `message` unformatted to the facade's sink, at the severity of its type: 0 and 1
    // Normal, 2 Error, anything else Warning. The sink's threshold is not consulted.
    void Log(DWORD type, const wchar_t* file, const wchar_t* function, DWORD line,
             const wchar_t* message) override;

    // Unregisters itself when the facade still has it registered.
    ~CTesselLogHandler() override;

    // The one instance, made on first use.
    static CTesselLogHandler& Instance();

    static DWORD SeverityOfType(DWORD type);
};

}  // namespace ETWLogging
