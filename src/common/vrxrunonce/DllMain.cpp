#include <windows.h>

#include "ActionLog.h"

// Logging is only configured here; the sink is made on the first record.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ETWLogging::InitializeLogging(nullptr, VrxRunOnce::kLogGroupName, nullptr, nullptr, 0);
    }
    return TRUE;
}
