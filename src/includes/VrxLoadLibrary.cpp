#include "src/includes/VrxLoadLibrary.h"

#include "etwlogging/LogFacade.h"
#include "support/RtMui.h"

HMODULE VRXLoadLibrary(const wchar_t* path) {
    return VRXLoadLibrary(path, Tessel::GetFileValidator());
}

HMODULE VRXLoadLibrary(const wchar_t* path, Tessel::CFileValidator& validator) {
    // Only a fully qualified path is loaded (a relative one could make the loader pick another
    // file than the one validated), and the file stays held against changes from before its
    // validation until it is loaded.
    const bool qualified = Tessel::IsFullyQualifiedFilePath(path);
    const Tessel::UniqueFileHandle hold =
        qualified ? Tessel::HoldFileUnchanged(path) : Tessel::UniqueFileHandle();
    const DWORD validation = validator.ValidateFile(path);
    validator.ReleaseValidationService();
    if (validation == ERROR_SUCCESS && hold) {
        return Tessel::RtMuiLoadLibrary(path);
    }
    ETWLogging::LogIfEnabled(4, L"src\\includes\\VrxLoadLibrary", L"VRXLoadLibrary", 46,
                             L"Unable to validate file: %s \r\n", path != nullptr ? path : L"");
    return nullptr;
}
