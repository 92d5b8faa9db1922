#include "src/includes/VrxLoadLibrary.h"

#include "etwlogging/LogFacade.h"
#include "support/HeldPath.h"
#include "support/RtMui.h"

HMODULE VRXLoadLibrary(const wchar_t* path) {
    return VRXLoadLibrary(path, Tessel::GetFileValidator());
}

HMODULE VRXLoadLibrary(const wchar_t* path, Tessel::CFileValidator& validator) {
    // Only a fully qualified path without links is loaded, held unchanged from before its
    // validation until it is loaded, and the module is kept only when it was mapped from the
    // held file (the localisation library decides what it loads).
    Tessel::CHeldPath hold;
    const DWORD held = hold.Hold(path);
    const DWORD validation = validator.ValidateFile(path);
    validator.ReleaseValidationService();
    if (validation == ERROR_SUCCESS && held == ERROR_SUCCESS) {
        const HMODULE loaded = Tessel::RtMuiLoadLibrary(path);
        if (loaded == nullptr || hold.KeepIfLoadedFromHeldFile(loaded) != nullptr) {
            return loaded;
        }
    }
    ETWLogging::LogIfEnabled(4, L"src\\includes\\VrxLoadLibrary", L"VRXLoadLibrary", 46,
                             L"Unable to validate file: %s \r\n", path != nullptr ? path : L"");
    return nullptr;
}
