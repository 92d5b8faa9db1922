// Guarded logging for the actions: every record names the source "VrxRunOnce" and the action.
#pragma once

#include "../../../etwlogging/LogFacade.h"

namespace VrxRunOnce {

constexpr const wchar_t* kLogSource = L"VrxRunOnce";
// The group the library logs under: the file sink keeps its files in VLLOGS\<group>\<module>.
constexpr const wchar_t* kLogGroupName = L"Anti-Spam";

template <typename... TArgs>
void LogAction(DWORD severity, const wchar_t* action, int line, const wchar_t* format,
               TArgs... args) {
    ETWLogging::LogIfEnabled(severity, kLogSource, action, line, format, args...);
}

}  // namespace VrxRunOnce
