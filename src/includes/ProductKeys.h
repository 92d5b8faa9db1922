// The product's registry keys and the access masks the actions open them with. All keys live
// under HKEY_LOCAL_MACHINE.
#pragma once

#include <windows.h>

namespace ProductKeys {

constexpr const wchar_t* kVrx = L"SOFTWARE\\Varlen\\VRX";
constexpr const wchar_t* kSubstitute = L"SOFTWARE\\Varlen\\VRX\\AppInfo\\Substitute";
constexpr const wchar_t* kCryptography = L"SOFTWARE\\Microsoft\\Cryptography";
// The maker's host product; its "Enable" switch is read in the 64-bit view.
constexpr const wchar_t* kZedHost = L"SOFTWARE\\Varlen\\ZEDHOST";
// Outlook's client-extension registrations. The path names the 32-bit view itself, so the key is
// opened without a view flag.
constexpr const wchar_t* kExchangeExtensions =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Exchange\\Client\\Extensions";

constexpr const wchar_t* kInstallDirValue = L"Install Dir";
constexpr const wchar_t* kEnableValue = L"Enable";

// Masks, always as the platform's constants combined.
constexpr REGSAM kQuery64 = KEY_QUERY_VALUE | KEY_WOW64_64KEY;           // 0x0101
constexpr REGSAM kRead64 = KEY_READ | KEY_WOW64_64KEY;                   // 0x20119
constexpr REGSAM kWrite64 = KEY_WRITE | KEY_WOW64_64KEY;                 // 0x20106
constexpr REGSAM kAllAccess64 = KEY_ALL_ACCESS | KEY_WOW64_64KEY;        // 0xF013F
constexpr REGSAM kReadWrite64 = KEY_READ | KEY_WRITE | KEY_WOW64_64KEY;  // 0x2011F
constexpr REGSAM kWriteNoView = KEY_WRITE;                               // 0x20006

static_assert(kQuery64 == 0x0101 && kRead64 == 0x20119 && kWrite64 == 0x20106 &&
                  kAllAccess64 == 0xF013F && kReadWrite64 == 0x2011F && kWriteNoView == 0x20006,
              "access masks");
constexpr REGSAM kReadWriteNoView = KEY_READ | KEY_WRITE;  // 0x2001F
static_assert(kReadWriteNoView == 0x2001F, "access mask");

}  // namespace ProductKeys
