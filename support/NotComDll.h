// Loading one of the platform's libraries after a signature check and asking its export
// "NotComDllGetInterface" for a named interface.
#pragma once

#include <windows.h>

#include "support/FileSignature.h"
#include "support/UniqueAny.h"

namespace Tessel {

// The platform's registry key, read in the 32-bit view; its "szInstallDir32" names the folder of
// the platform's libraries.
constexpr const wchar_t* kPlatformKey = L"Software\\Varlen\\Keelbase";

// Finds `libraryName` (a plain file name: in the folder "szInstallDir32", or the current folder
// when that value cannot be read; beside `folderModule`, the process's executable when null, when
// the file is not there), checks it with WinVerifyTrust and the signer rules of `config`, loads it
// and asks it for `interfaceName`. A name shorter than 3 characters, starting with "\" or with a
// drive letter is used as the path itself.
//
// On success (0) `*out` holds the interface and `library` the module, which must stay loaded until
// the interface is released. On failure `*out` is null, `library` is empty and the result is 87
// (bad arguments), the WinVerifyTrust result of a refused file (TRUST_E_SUBJECT_NOT_TRUSTED when
// only the signer rules refused it), the load's or lookup's error, or the export's result.
DWORD NotComDllGetInterface(const wchar_t* libraryName, const wchar_t* interfaceName, void** out,
                            HMODULE folderModule, UniqueHModule& library,
                            const SignatureConfig& config = ProductionSignatureConfig());

}  // namespace Tessel
