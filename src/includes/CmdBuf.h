// The names of the update manager's kernel objects. Both sides derive them from the machine
// identifier, so they agree on them without exchanging anything.
#pragma once

#include <windows.h>

#include <string>

class CIPCPool {
public:
    // Reads "MachineGuid" from "SOFTWARE\Microsoft\Cryptography" (64-bit view) into `buffer`, whose
    // capacity is `capacity` characters. Returns the text, or an empty string when the value is
    // missing, is not a terminated string, does not fit, or there is no buffer; the buffer then
    // starts with a terminator.
    static std::wstring GetMachineGUID(wchar_t* buffer, DWORD capacity);

    // The machine hash of `text`: SHA-256 over its first text.size() bytes of UTF-16LE storage
    // (the first half of the text's code units), as 64 lower-case hexadecimal digits. Empty only
    // when the digest cannot be computed.
    static std::wstring GetHashVal(const std::wstring& text);
};

namespace UpdMgrObjects {

// The mutex the update manager holds while it processes a request.
inline std::wstring MutexName(const std::wstring& hash) {
    return L"{" + hash + L"}-VRX-UPD";
}

// The manual-reset event a client sets to ask for an update; the manager resets it on taking it.
inline std::wstring EventName(const std::wstring& hash) {
    return L"{" + hash + L"}-VRX-INST";
}

}  // namespace UpdMgrObjects
