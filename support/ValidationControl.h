// The validation-control interface that the platform's validation library vlnvtpa.dll hands out
// through its export "NotComDllGetInterface", under the names "VtpValidationControl2" and
// "VtpValidationControl" (both names give this layout).
#pragma once

#include <windows.h>

namespace Tessel {

class IVtpValidationControl {
public:
    virtual ULONG WINAPI AddRef() = 0;
    virtual ULONG WINAPI Release() = 0;
    // Validates the file `path` in `mode` (kVtpModeLegacy or kVtpModeCurrent) and reports the
    // outcome in `status` and `flags`. 0 when both outputs were set.
    virtual HRESULT WINAPI Validate(const wchar_t* path, DWORD mode, DWORD* status,
                                    DWORD* flags) = 0;

protected:
    ~IVtpValidationControl() = default;
};

// Modes: platforms before 15.5 know only the legacy mode.
constexpr DWORD kVtpModeLegacy = 4;
constexpr DWORD kVtpModeCurrent = 512;
// Status bit: the file was validated.
constexpr DWORD kVtpStatusValidated = 0x2;
// Flag bits that accept the file, in the legacy and in the current mode.
constexpr DWORD kVtpFlagAcceptedLegacy = 0x1;
constexpr DWORD kVtpFlagAcceptedCurrent = 0x8;

// The export "NotComDllGetInterface" of the platform's libraries: the interface named
// `interfaceName` (ANSI) into `out`, holding one reference. 0 or an error code.
using NotComDllGetInterfaceFn = DWORD(WINAPI*)(const char* interfaceName, void** out);

}  // namespace Tessel
