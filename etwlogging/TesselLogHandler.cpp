#include "TesselLogHandler.h"

#include "LogFacade.h"

namespace ETWLogging {

CTesselLogHandler& CTesselLogHandler::Instance() {
    static CTesselLogHandler handler;
    return handler;
}

CTesselLogHandler::~CTesselLogHandler() {
    if (CLogFacade* facade = internal::CreatedLogFacade()) {
        facade->UnregisterSupportLogHandler(this);
    }
}

DWORD CTesselLogHandler::SeverityOfType(DWORD type) {
    switch (type) {
        case Tessel::kLogTypeNone:
        case Tessel::kLogTypeInformation:
            return kSeverityNormal;
        case Tessel::kLogTypeError:
            return kSeverityError;
        default:
            return kSeverityWarning;
    }
}

void CTesselLogHandler::Log(DWORD type, const wchar_t* file, const wchar_t* function, DWORD line,
                            const wchar_t* message) {
    if (CLogFacade* facade = internal::CreatedLogFacade()) {
        facade->WriteUnformatted(SeverityOfType(type), file, function, static_cast<int>(line),
                                 message);
    }
}

}  // namespace ETWLogging
