// The fixed path buffers of MAX_PATH characters that the actions build their paths in.
#pragma once

#include <windows.h>

#include <cwchar>
#include <initializer_list>

namespace VrxRunOnce {

constexpr size_t kPathChars = MAX_PATH;

// Writes the parts one after the other into `buffer` (kPathChars characters). False, leaving the
// buffer unspecified, when the result and its terminator would not fit: a cut-off path would name
// another file.
inline bool JoinPath(wchar_t* buffer, std::initializer_list<const wchar_t*> parts) {
    size_t used = 0;
    for (const wchar_t* part : parts) {
        const size_t length = std::wcslen(part);
        if (used + length >= kPathChars) {
            return false;
        }
        std::wmemcpy(buffer + used, part, length);
        used += length;
    }
    buffer[used] = L'\0';
    return true;
}

}  // namespace VrxRunOnce
