// The small registry-key owner the product's actions use for their keys: at most one open key,
// replaced only when a new open succeeds.
#pragma once

#include <windows.h>

#include "../../support/UniqueAny.h"

class CRegKeyHolder {
public:
    static constexpr REGSAM kViewBits = KEY_WOW64_32KEY | KEY_WOW64_64KEY;

    CRegKeyHolder() = default;
    CRegKeyHolder(const CRegKeyHolder&) = delete;
    CRegKeyHolder& operator=(const CRegKeyHolder&) = delete;

    // Opens `subKey` under `root`. On success the key held so far is closed and replaced, and the
    // result is that of the close (0 when nothing was held); on failure the held key stays and the
    // open's error is returned.
    LSTATUS Open(HKEY root, const wchar_t* subKey, REGSAM access);

    bool IsOpen() const { return m_key.is_valid(); }
    HKEY Get() const { return m_key.get(); }
    REGSAM ViewBits() const { return m_viewBits; }
    LSTATUS Close();

    // Reads a REG_SZ or REG_EXPAND_SZ value. `chars` is the buffer's capacity in characters on
    // entry and, on success, the number of characters stored, terminator included. A null buffer
    // asks for the size only. A stored text that is not terminated, or of odd byte length, is
    // refused with ERROR_INVALID_DATA, so a successful read always leaves a terminated string.
    LSTATUS QueryRegString(const wchar_t* valueName, wchar_t* buffer, DWORD& chars) const;

    // Reads any value; `bytes` is the capacity on entry and the stored size on return.
    LSTATUS QueryValue(const wchar_t* valueName, DWORD& type, void* data, DWORD& bytes) const;

    LSTATUS SetValue(const wchar_t* valueName, DWORD type, const void* data, DWORD bytes) const;
    LSTATUS DeleteValue(const wchar_t* valueName) const;

private:
    Tessel::UniqueHKey m_key;
    REGSAM m_viewBits = 0;
};
