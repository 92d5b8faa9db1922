#include "support/OSInfo.h"

#include "support/FileVersionInfo.h"

#include <algorithm>

namespace Tessel {

static_assert(sizeof(OSVERSIONINFOEXW) == 284, "the probes pass the extended version record");

BOOL WinOSVersionAPI::VerifyVersion(OSVERSIONINFOEXW* info, DWORD typeMask,
                                    DWORDLONG conditionMask) {
    return ::VerifyVersionInfoW(info, typeMask, conditionMask);
}

bool GetOSReleaseAndWow64(DWORD& releaseId, DWORD& wow64) {
    internal::OSInfoProxy<WinOSVersionAPI> proxy;
    return internal::ReleaseAndWow64Of(proxy, releaseId, wow64);
}

DWORD GetOSReleaseId() {
    internal::OSInfoProxy<WinOSVersionAPI> proxy;
    return internal::ReleaseIdOf(proxy);
}

namespace internal {

namespace {

// ASCII digits only: the platform's character classes accept other scripts' digits too.
bool IsDecimalDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

}  // namespace

bool ParseProductVersion(const std::wstring& text, OSVersionNumbers& numbers) {
    if (text.empty()) {
        return false;
    }
    OSVersionNumbers parsed;
    DWORD* const parts[] = {&parsed.major, &parsed.minor, &parsed.build, &parsed.revision};
    size_t position = 0;
    for (DWORD* part : parts) {
        if (position > text.size()) {
            break;  // fewer than four parts: the rest stay 0
        }
        const size_t end = std::min(text.find(L'.', position), text.size());
        if (position == end || !IsDecimalDigit(text[position])) {
            return false;
        }
        unsigned long long value = 0;
        for (size_t i = position; i < end && IsDecimalDigit(text[i]); ++i) {
            value = value * 10 + static_cast<unsigned>(text[i] - L'0');
            if (value > MAXDWORD) {
                return false;
            }
        }
        *part = static_cast<DWORD>(value);
        position = end + 1;
    }
    numbers = parsed;
    return true;
}

bool QueryIsWow64Process() {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    // kernel32 stays loaded for the life of the process: the handle needs no owner.
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32");
    if (kernel32 == nullptr) {
        return false;
    }
    const auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel32, "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64Process != nullptr && isWow64Process(::GetCurrentProcess(), &wow64) &&
           wow64 == TRUE;
}

DWORD ClassifyNtRelease(DWORD major, DWORD minor) {
    if (major <= 4) {
        return kOSReleaseWindowsNT4;
    }
    if (major == 5) {
        return minor == 0 ? kOSReleaseWindows2000 : kOSReleaseWindowsXP;
    }
    if (major == 6) {
        switch (minor) {
            case 0:
                return kOSReleaseWindowsVista;
            case 1:
                return kOSReleaseWindows7;
            case 2:
                return kOSReleaseWindows8;
            default:
                return kOSReleaseWindows81;
        }
    }
    return major == 10 ? kOSReleaseWindows10 : kOSReleaseUnrecognised;
}

OSVERSIONINFOEXW EmptyVersionRecord() {
    OSVERSIONINFOEXW info;
    ::ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    return info;
}

bool ReadKernel32Version(OSVersionNumbers& numbers) {
    SystemFileVersionInfo kernel32;
    kernel32.Load(L"kernel32.dll");
    return ParseProductVersion(kernel32.GetString(L"ProductVersion"), numbers);
}

}  // namespace internal
}  // namespace Tessel
