// Sets or removes the machine's logging mechanism, for the demo's provisioning.
//
//   vrx_logging_setup mechanism N
//       stores N as "Logging Mechanism" under HKLM\SOFTWARE\Varlen\Logging, enciphered as the
//       logging library reads it (1: log files; anything else: event tracing); exits 0, or 1.
//   vrx_logging_setup remove
//       deletes the value; exits 0, also when there is none, or 1 on failure.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "support/RegKey.h"

namespace {

constexpr const wchar_t* kLoggingKey = L"SOFTWARE\\Varlen\\Logging";
constexpr const wchar_t* kMechanismValue = L"Logging Mechanism";

int Fail(const char* what, DWORD error) {
    std::fprintf(stderr, "vrx_logging_setup: %s failed, error %lu\n", what, error);
    return 1;
}

int Usage() {
    std::fprintf(stderr, "usage: vrx_logging_setup mechanism N | remove\n");
    return 2;
}

bool ParseNumber(const wchar_t* text, DWORD& value) {
    if (!std::iswdigit(text[0])) {
        return false;
    }
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::wcstoull(text, &end, 10);
    value = static_cast<DWORD>(parsed);
    return *end == L'\0' && errno == 0 && parsed <= MAXDWORD;
}

int SetMechanism(DWORD mechanism) {
    Tessel::CObfuscatedRegKey key;
    if (const DWORD error = key.Create(HKEY_LOCAL_MACHINE, kLoggingKey); error != ERROR_SUCCESS) {
        return Fail("creating the logging key", error);
    }
    if (const DWORD error = key.WriteDword(kMechanismValue, mechanism); error != ERROR_SUCCESS) {
        return Fail("writing the mechanism", error);
    }
    return 0;
}

int RemoveMechanism() {
    const LSTATUS error = ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kLoggingKey, kMechanismValue);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
        return Fail("deleting the mechanism", static_cast<DWORD>(error));
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[1], L"mechanism") == 0) {
        DWORD mechanism = 0;
        return ParseNumber(argv[2], mechanism) ? SetMechanism(mechanism) : Usage();
    }
    if (argc == 2 && std::wcscmp(argv[1], L"remove") == 0) {
        return RemoveMechanism();
    }
    return Usage();
}
