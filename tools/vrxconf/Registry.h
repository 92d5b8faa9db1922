// Registry reads and writes of the tool, through the support library's key wrappers.
#pragma once

#include <windows.h>

#include <string>

#include "tools/vrxconf/Arguments.h"

namespace VrxConf {

// "HKLM\<subKey> "<name>" (32-bit view)", as every message names a value.
std::wstring ValuePathText(const std::wstring& subKey, const std::wstring& name, REGSAM view);

struct ReadOutcome {
    bool keyOpened = false;
    DWORD status = ERROR_SUCCESS;  // 0, or the error that kept the value from being read
    std::wstring reason;           // that error in words
    RegistryValue value;           // the value in its own type (deciphered for enciphered ones)
};

// Reads `name` under HKLM\<subKey> in `view`: as an enciphered record, checked and deciphered,
// when `enciphered`; as stored otherwise. A refused record is explained (not a record, bad magic,
// truncated, digest mismatch).
ReadOutcome ReadMachineValue(const std::wstring& subKey, const std::wstring& name, REGSAM view,
                             bool enciphered);

// Stores `value` enciphered under HKLM\<subKey> in `view`, creating the key when missing. The
// value is one registry write, so it is stored whole or not at all; a key created for it is
// removed again when the write fails. 0, or the error with `reason`.
DWORD WriteEncipheredValue(const std::wstring& subKey, const std::wstring& name, REGSAM view,
                           const RegistryValue& value, std::wstring& reason);

// Deletes `name` under HKLM\<subKey> in `view`. 0, or the error with `reason`.
DWORD DeleteMachineValue(const std::wstring& subKey, const std::wstring& name, REGSAM view,
                         std::wstring& reason);

}  // namespace VrxConf
