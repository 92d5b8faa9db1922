// The install folder, as the actions find it.
#pragma once

#include <windows.h>

#include <string>

#include "../../includes/RegKeyHolder.h"

// Fills `buffer` with the install folder: "Install Dir" from the product key, or, when that cannot
// be read or is not terminated within the buffer, the process's program-files folder followed by
// "\Varlen\VRX". False when there is no buffer or no folder could be found.
bool GetVRXInstallPath(wchar_t* buffer, DWORD capacity);

// Reads "Install Dir" through `holder`, opening the product key only when the holder holds no key
// yet. No fallback.
bool ReadVRXInstallDir(CRegKeyHolder& holder, std::wstring& installDir);

// Reads "Install Dir" into `buffer` and appends "\". Returns the folder's length plus 2, or 0 when
// the value cannot be read or the folder and its separator do not fit.
DWORD ReadVRXInstallDirWithSeparator(wchar_t* buffer, DWORD capacity);
