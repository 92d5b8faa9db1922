// Guarded logging for the actions: every record names the source "VrxRunOnce" and the action.
#pragma once

#include "../../../etwlogging/LogFacade.h"

namespace VrxRunOnce {

constexpr const wchar_t* kLogSource = L"VrxRunOnce";

template <typename... TArgs>
void LogAction(DWORD severity, const wchar_t* action, int line, const wchar_t* format,
               TArgs... args) {
    ETWLogging::LogIfEnabled(severity, kLogSource, action, line, format, args...);
}

}  // namespace VrxRunOnce
