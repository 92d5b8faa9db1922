#include "support/RegKey.h"

#include <objbase.h>
#include <aclapi.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <shlwapi.h>

// The low-level MD5 links only the digest and starts no libcrypto initialisation; OpenSSL 3 marks
// it deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "support/OSInfo.h"

namespace Tessel {

DWORD CheckStringValue(DWORD type, wchar_t* buffer, DWORD capacityChars, DWORD bytes) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return ERROR_INVALID_DATA;
    }
    if (buffer == nullptr) {
        return ERROR_SUCCESS;
    }
    if (bytes == 0) {
        if (capacityChars > 0) {
            buffer[0] = L'\0';
        }
        return ERROR_SUCCESS;
    }
    if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0') {
        return ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
}

namespace {

constexpr DWORD kViewMask = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
// Registry key names are at most 255 characters.
constexpr DWORD kKeyNameChars = 256;
constexpr DWORD kGuidChars = 64;

// The record layout.
constexpr BYTE kRecordTag[4] = {'V', 'L', 'R', 'G'};
constexpr DWORD kRecordVersion = 1;
constexpr size_t kTagOffset = 0;
constexpr size_t kVersionOffset = 4;
constexpr size_t kLengthOffset = 8;
constexpr size_t kTypeOffset = 12;
constexpr size_t kDigestOffset = 16;
constexpr size_t kDigestSize = 16;
constexpr size_t kHeaderSize = 32;
// The first read of a record goes into a buffer of this size.
constexpr DWORD kFirstReadBytes = 256;

// The value key of the record cipher: the text of a braced GUID, used without a terminator.
constexpr char kValueKey[] = "{935337C7-AA96-47E1-BB39-F1A30A643ACF}";
static_assert(sizeof(kValueKey) == 39, "38 characters and the terminator");

// ---------------------------------------------------------------------------------------------
// The record cipher: RC4's keystream with a chaining byte, two keystream bytes per data byte.

class CRecordCipher {
public:
    CRecordCipher() {
        for (int i = 0; i < 256; ++i) {
            m_state[i] = static_cast<BYTE>(i);
        }
        const size_t keyLength = sizeof(kValueKey) - 1;
        BYTE j = 0;
        for (int i = 0; i < 256; ++i) {
            j = static_cast<BYTE>(j + m_state[i] + static_cast<BYTE>(kValueKey[i % keyLength]));
            std::swap(m_state[i], m_state[j]);
        }
        m_chain = Next();
    }

    BYTE Encipher(BYTE plain) {
        m_chain ^= plain;
        const BYTE k1 = Next();
        const BYTE k2 = Next();
        return static_cast<BYTE>(k2 + (k1 ^ m_chain));
    }

    BYTE Decipher(BYTE cipher) {
        const BYTE k1 = Next();
        const BYTE k2 = Next();
        const BYTE plain = static_cast<BYTE>(k1 ^ m_chain ^ static_cast<BYTE>(cipher - k2));
        m_chain ^= plain;
        return plain;
    }

private:
    BYTE Next() {
        m_i = static_cast<BYTE>(m_i + 1);
        m_j = static_cast<BYTE>(m_j + m_state[m_i]);
        std::swap(m_state[m_i], m_state[m_j]);
        return m_state[static_cast<BYTE>(m_state[m_i] + m_state[m_j])];
    }

    BYTE m_state[256];
    BYTE m_i = 0;
    BYTE m_j = 0;
    BYTE m_chain = 0;
};

DWORD LoadLe32(const BYTE* at) {
    return static_cast<DWORD>(at[0]) | static_cast<DWORD>(at[1]) << 8 |
           static_cast<DWORD>(at[2]) << 16 | static_cast<DWORD>(at[3]) << 24;
}

void StoreLe32(BYTE* at, DWORD value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<BYTE>(value >> (8 * i));
    }
}

// MD5 of the record with its digest field taken as zeros.
bool RecordDigest(const BYTE* record, size_t size, BYTE (&digest)[kDigestSize]) {
    try {
        std::vector<BYTE> copy(record, record + size);
        std::memset(copy.data() + kDigestOffset, 0, kDigestSize);
        static_assert(kDigestSize == MD5_DIGEST_LENGTH, "the record's digest field holds an MD5");
        return MD5(copy.data(), copy.size(), digest) != nullptr;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The UTF-8 form of `text` (`chars` characters, no terminator) appended to `out`.
DWORD AppendUtf8(const wchar_t* text, size_t chars, std::vector<BYTE>& out) {
    if (chars == 0) {
        return ERROR_SUCCESS;
    }
    if (chars > INT_MAX) {
        return ERROR_INVALID_PARAMETER;
    }
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(chars), nullptr, 0,
                                             nullptr, nullptr);
    if (needed <= 0) {
        return ::GetLastError();
    }
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(needed));
    if (::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(chars),
                              reinterpret_cast<char*>(out.data() + at), needed, nullptr,
                              nullptr) != needed) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

// The plaintext of a record for a value of `type`. Strings are read only within the caller's
// `bytes`: a string that lacks its terminator there ends at the end of the data.
DWORD BuildPayload(DWORD type, const void* data, DWORD bytes, std::vector<BYTE>& payload) {
    if (type != REG_SZ && type != REG_MULTI_SZ) {
        const BYTE* begin = static_cast<const BYTE*>(data);
        payload.assign(begin, begin + bytes);
        return ERROR_SUCCESS;
    }
    const wchar_t* text = static_cast<const wchar_t*>(data);
    const size_t chars = bytes / sizeof(wchar_t);
    if (type == REG_SZ) {
        const DWORD status = AppendUtf8(text, wcsnlen(text, chars), payload);
        payload.push_back(0);
        return status;
    }
    size_t position = 0;
    while (position < chars && text[position] != L'\0') {
        const size_t length = wcsnlen(text + position, chars - position);
        const DWORD status = AppendUtf8(text + position, length, payload);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        payload.push_back(0);
        position += length + 1;
    }
    payload.push_back(0);
    return ERROR_SUCCESS;
}

// The value name in the thread's ANSI code page; null stays null (the default value).
DWORD AnsiName(const wchar_t* name, std::string& ansi) {
    const int needed =
        ::WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return ::GetLastError();
    }
    ansi.resize(static_cast<size_t>(needed));
    if (::WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, &ansi[0], needed, nullptr, nullptr) !=
        needed) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

// UTF-8 (`size` bytes, no terminator) to UTF-16 appended to `out`. Bytes that are not UTF-8 make
// the text invalid: replacement characters would deliver something the record does not hold.
DWORD AppendUtf16(const BYTE* text, size_t size, std::wstring& out) {
    if (size == 0) {
        return ERROR_SUCCESS;
    }
    if (size > INT_MAX) {
        return ERROR_INVALID_DATA;
    }
    const char* narrow = reinterpret_cast<const char*>(text);
    const int needed = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow,
                                             static_cast<int>(size), nullptr, 0);
    if (needed <= 0) {
        return ERROR_INVALID_DATA;
    }
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(needed));
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow, static_cast<int>(size),
                              &out[at], needed) != needed) {
        return ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
}

// The UTF-16 form of a deciphered string payload, with every terminator the caller receives. The
// payload must end where its value ends: one string with its zero byte, or a list of such strings
// with or without the empty string that ends it. Bytes after that end, or a string without its
// zero byte, make the record invalid: the reader would deliver less than the record holds, and a
// writer never stores it so.
DWORD DecodeStrings(DWORD type, const std::vector<BYTE>& payload, std::wstring& text) {
    const BYTE* const begin = payload.data();
    const BYTE* const end = begin + payload.size();
    const BYTE* position = begin;
    do {
        const BYTE* const zero =
            static_cast<const BYTE*>(std::memchr(position, 0, static_cast<size_t>(end - position)));
        if (zero == nullptr) {
            if (type == REG_MULTI_SZ && position == end) {
                break;  // the list ends with the payload
            }
            return ERROR_INVALID_DATA;
        }
        if (type == REG_MULTI_SZ && zero == position) {
            if (zero + 1 != end) {
                return ERROR_INVALID_DATA;
            }
            break;  // the empty string that ends the list
        }
        const DWORD status = AppendUtf16(position, static_cast<size_t>(zero - position), text);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        text.push_back(L'\0');
        position = zero + 1;
    } while (type == REG_MULTI_SZ);
    if (type == REG_SZ && position != end) {
        return ERROR_INVALID_DATA;
    }
    if (type == REG_MULTI_SZ) {
        text.push_back(L'\0');
    }
    return ERROR_SUCCESS;
}

// Whether a read has somewhere to deliver to: a type or a count is asked for, and a buffer comes
// with its capacity (without one it cannot be filled safely).
bool CanDeliver(const DWORD* type, const void* data, const DWORD* bytes) {
    return (type != nullptr || bytes != nullptr) && (data == nullptr || bytes != nullptr);
}

// Hands `size` bytes of a value to a caller's buffer: the size needed when there is no buffer,
// 234 with that size when it does not fit.
DWORD Deliver(const void* value, size_t size, void* data, DWORD* bytes, bool zeroFillOnShortage) {
    if (size > MAXDWORD) {
        return ERROR_INVALID_DATA;
    }
    if (bytes == nullptr) {
        return ERROR_SUCCESS;
    }
    const DWORD capacity = *bytes;
    *bytes = static_cast<DWORD>(size);
    if (data == nullptr) {
        return ERROR_SUCCESS;
    }
    if (capacity < size) {
        if (zeroFillOnShortage) {
            std::memset(data, 0, capacity);
        }
        return ERROR_MORE_DATA;
    }
    if (size != 0) {
        std::memcpy(data, value, size);
    }
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// The security functions GrantEveryoneFullAccess works with, loaded from the system folder's
// advapi32.dll once per process.

using SetEntriesInAclWFn = DWORD(WINAPI*)(ULONG, PEXPLICIT_ACCESSW, PACL, PACL*);
using RegGetKeySecurityFn = LONG(WINAPI*)(HKEY, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR,
                                          LPDWORD);
using RegSetKeySecurityFn = LONG(WINAPI*)(HKEY, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);
using InitializeSecurityDescriptorFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD);
using SetSecurityDescriptorDaclFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
using GetSecurityDescriptorDaclFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, LPBOOL, PACL*, LPBOOL);
using AllocateAndInitializeSidFn = BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD,
                                                 DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, PSID*);
using FreeSidFn = PVOID(WINAPI*)(PSID);

struct SecurityFunctions {
    UniqueHModule module;
    bool loaded = false;
    SetEntriesInAclWFn setEntriesInAcl = nullptr;
    RegGetKeySecurityFn regGetKeySecurity = nullptr;
    RegSetKeySecurityFn regSetKeySecurity = nullptr;
    InitializeSecurityDescriptorFn initializeSecurityDescriptor = nullptr;
    SetSecurityDescriptorDaclFn setSecurityDescriptorDacl = nullptr;
    GetSecurityDescriptorDaclFn getSecurityDescriptorDacl = nullptr;
    AllocateAndInitializeSidFn allocateAndInitializeSid = nullptr;
    FreeSidFn freeSid = nullptr;
};

// Every function the table must hold before it counts as loaded.
constexpr const char* kSecurityFunctionNames[] = {
    "SetEntriesInAclW",
    "GetFileSecurityW",
    "SetFileSecurityW",
    "LookupAccountSidW",
    "GetExplicitEntriesFromAclW",
    "RegGetKeySecurity",
    "RegSetKeySecurity",
    "InitializeSecurityDescriptor",
    "SetSecurityDescriptorDacl",
    "GetSecurityDescriptorDacl",
    "AllocateAndInitializeSid",
    "FreeSid",
    "OpenThreadToken",
    "GetTokenInformation",
    "InitializeAcl",
    "InitializeSid",
    "GetSidSubAuthority",
    "AddAccessAllowedAce",
    "GetSecurityInfo",
    "SetSecurityInfo",
    "QueryServiceStatusEx",
    "GetAce",
    "DeleteAce",
    "EqualSid",
    "GetAclInformation",
    "SetSecurityDescriptorControl",
};

template <typename TFunction>
TFunction Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<TFunction>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

void LoadSecurityFunctions(SecurityFunctions& table) {
    UniqueCoTaskMemString systemFolder;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_System, 0, nullptr, systemFolder.put()))) {
        return;
    }
    const std::wstring path = std::wstring(systemFolder.get()) + L"\\advapi32.dll";
    table.module.reset(::LoadLibraryExW(path.c_str(), nullptr, 0));
    const HMODULE module = table.module.get();
    if (module == nullptr) {
        return;
    }
    for (const char* name : kSecurityFunctionNames) {
        if (::GetProcAddress(module, name) == nullptr) {
            return;
        }
    }
    table.setEntriesInAcl = Lookup<SetEntriesInAclWFn>(module, "SetEntriesInAclW");
    table.regGetKeySecurity = Lookup<RegGetKeySecurityFn>(module, "RegGetKeySecurity");
    table.regSetKeySecurity = Lookup<RegSetKeySecurityFn>(module, "RegSetKeySecurity");
    table.initializeSecurityDescriptor =
        Lookup<InitializeSecurityDescriptorFn>(module, "InitializeSecurityDescriptor");
    table.setSecurityDescriptorDacl =
        Lookup<SetSecurityDescriptorDaclFn>(module, "SetSecurityDescriptorDacl");
    table.getSecurityDescriptorDacl =
        Lookup<GetSecurityDescriptorDaclFn>(module, "GetSecurityDescriptorDacl");
    table.allocateAndInitializeSid =
        Lookup<AllocateAndInitializeSidFn>(module, "AllocateAndInitializeSid");
    table.freeSid = Lookup<FreeSidFn>(module, "FreeSid");
    table.loaded = true;
}

// The table, loaded on the first call (the initialisation of a local static is serialised).
const SecurityFunctions& Security() {
    static const SecurityFunctions table = [] {
        SecurityFunctions loaded;
        try {
            LoadSecurityFunctions(loaded);
        } catch (const std::bad_alloc&) {
            loaded.loaded = false;
        }
        return loaded;
    }();
    return table;
}

// RegDeleteKeyExW when the platform has it (Windows XP x64 and later), looked up once.
using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
RegDeleteKeyExWFn RegDeleteKeyEx() {
    static const RegDeleteKeyExWFn function = [] {
        const HMODULE advapi32 = ::GetModuleHandleW(L"Advapi32.dll");
        return advapi32 == nullptr ? nullptr
                                   : Lookup<RegDeleteKeyExWFn>(advapi32, "RegDeleteKeyExW");
    }();
    return function;
}

}  // namespace

// =============================================================================================
// The plain implementation.

namespace internal {

CRegKeyImpl::~CRegKeyImpl() {
    CRegKeyImpl::Close();
}

DWORD CRegKeyImpl::ReadRawValue(const wchar_t* name, DWORD* type, void* data, DWORD* bytes) {
    return ::RegQueryValueExW(m_key.get(), name, nullptr, type, static_cast<BYTE*>(data), bytes);
}

DWORD CRegKeyImpl::WriteRawValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    if (data == nullptr || bytes == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegSetValueExW(m_key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes);
}

DWORD CRegKeyImpl::WriteGuid(const wchar_t* name, const GUID& value) {
    wchar_t text[kGuidChars] = {};
    if (::StringFromGUID2(value, text, kGuidChars) == 0) {
        return ERROR_INVALID_DATA;
    }
    return WriteString(name, text, REG_SZ);
}

DWORD CRegKeyImpl::WriteBinary(const wchar_t* name, const void* data, DWORD bytes) {
    return WriteRawValue(name, REG_BINARY, data, bytes);
}

DWORD CRegKeyImpl::WriteDword(const wchar_t* name, DWORD value) {
    return WriteRawValue(name, REG_DWORD, &value, sizeof(value));
}

DWORD CRegKeyImpl::WriteQword(const wchar_t* name, ULONGLONG value) {
    return WriteRawValue(name, REG_QWORD, &value, sizeof(value));
}

DWORD CRegKeyImpl::WriteString(const wchar_t* name, const wchar_t* value, DWORD type) {
    if (value == nullptr) {
        return ERROR_INVALID_DATA;
    }
    const size_t length = std::wcslen(value);
    if (length >= MAXDWORD / sizeof(wchar_t)) {
        return ERROR_INVALID_PARAMETER;
    }
    return WriteRawValue(name, type, value, static_cast<DWORD>((length + 1) * sizeof(wchar_t)));
}

DWORD CRegKeyImpl::WriteMultiString(const wchar_t* name, const wchar_t* value) {
    if (value == nullptr) {
        return ERROR_INVALID_DATA;
    }
    size_t chars = 0;
    while (value[chars] != L'\0') {
        chars += std::wcslen(value + chars) + 1;
    }
    ++chars;  // the empty string that ends the list
    if (chars > MAXDWORD / sizeof(wchar_t)) {
        return ERROR_INVALID_PARAMETER;
    }
    return WriteRawValue(name, REG_MULTI_SZ, value, static_cast<DWORD>(chars * sizeof(wchar_t)));
}

DWORD CRegKeyImpl::ReadGuid(const wchar_t* name, GUID& value) {
    value = GUID();
    wchar_t text[kGuidChars] = {};
    DWORD chars = kGuidChars;
    const DWORD status = ReadStringBuffer(name, text, chars);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    GUID parsed;
    if (text[0] != L'{' || FAILED(::CLSIDFromString(text, &parsed))) {
        return ERROR_INVALID_DATA;
    }
    value = parsed;
    return ERROR_SUCCESS;
}

DWORD CRegKeyImpl::ReadBinary(const wchar_t* name, void* data, DWORD& bytes) {
    if (!m_key) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD type = REG_NONE;
    const DWORD status = ReadRawValue(name, &type, data, &bytes);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return type == REG_BINARY ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

namespace {

// Reads a fixed-size value of `expectedType`; anything of another type or size is invalid.
template <typename TValue>
DWORD ReadFixed(CRegKeyImpl& key, const wchar_t* name, DWORD expectedType, TValue& value) {
    if (key.Handle() == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    TValue read = 0;
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(read);
    const DWORD status = key.ReadRawValue(name, &type, &read, &bytes);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (type != expectedType || bytes != sizeof(read)) {
        return ERROR_INVALID_DATA;
    }
    value = read;
    return ERROR_SUCCESS;
}

}  // namespace

DWORD CRegKeyImpl::ReadDword(const wchar_t* name, DWORD& value) {
    return ReadFixed(*this, name, REG_DWORD, value);
}

DWORD CRegKeyImpl::ReadQword(const wchar_t* name, ULONGLONG& value) {
    return ReadFixed(*this, name, REG_QWORD, value);
}

DWORD CRegKeyImpl::ReadString(const wchar_t* name, std::wstring& value) {
    DWORD chars = 0;
    DWORD status = ReadStringBuffer(name, nullptr, chars);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    // One character more than asked for, so that an empty value still has room for its
    // terminator.
    const DWORD capacity = chars + 1;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[capacity]);
    if (!buffer) {
        return ERROR_OUTOFMEMORY;
    }
    chars = capacity;
    status = ReadStringBuffer(name, buffer.get(), chars);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    try {
        value.assign(buffer.get(), wcsnlen(buffer.get(), chars));
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    return ERROR_SUCCESS;
}

DWORD CRegKeyImpl::ReadStringBuffer(const wchar_t* name, wchar_t* buffer, DWORD& chars) {
    if (!m_key) {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD capacity = chars;
    DWORD bytes = capacity * sizeof(wchar_t);
    chars = 0;
    DWORD type = REG_NONE;
    const DWORD status = ReadRawValue(name, &type, buffer, &bytes);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (const DWORD invalid = CheckStringValue(type, buffer, capacity, bytes)) {
        return invalid;
    }
    chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

DWORD CRegKeyImpl::ReadMultiString(const wchar_t* name, wchar_t* buffer, DWORD& chars) {
    if (!m_key) {
        return ERROR_INVALID_PARAMETER;
    }
    if (buffer != nullptr && chars < 2) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    DWORD bytes = chars * sizeof(wchar_t);
    chars = 0;
    DWORD type = REG_NONE;
    const DWORD status = ReadRawValue(name, &type, buffer, &bytes);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (type != REG_MULTI_SZ) {
        return ERROR_INVALID_DATA;
    }
    if (buffer != nullptr) {
        const DWORD count = bytes / sizeof(wchar_t);
        if (bytes % sizeof(wchar_t) != 0 || count < 1 || buffer[count - 1] != L'\0' ||
            (count >= 2 && buffer[count - 2] != L'\0')) {
            return ERROR_INVALID_DATA;
        }
    }
    chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

DWORD CRegKeyImpl::ReadSecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                                DWORD* bytes) {
    if (!m_key || bytes == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegGetKeySecurity(m_key.get(), information, descriptor, bytes);
}

DWORD CRegKeyImpl::WriteSecurity(SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR descriptor) {
    if (!m_key || descriptor == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegSetKeySecurity(m_key.get(), information, descriptor);
}

DWORD CRegKeyImpl::Create(HKEY parent, const wchar_t* subKey, wchar_t* keyClass, DWORD options,
                          REGSAM access, SECURITY_ATTRIBUTES* security, DWORD* disposition) {
    HKEY created = nullptr;
    DWORD createdDisposition = 0;
    const DWORD status = ::RegCreateKeyExW(parent, subKey, 0, keyClass, options, access, security,
                                           &created, &createdDisposition);
    if (disposition != nullptr) {
        *disposition = createdDisposition;
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return Replace(created, access);
}

DWORD CRegKeyImpl::Open(HKEY parent, const wchar_t* subKey, REGSAM access) {
    HKEY opened = nullptr;
    const DWORD status = ::RegOpenKeyExW(parent, subKey, 0, access, &opened);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return Replace(opened, access);
}

DWORD CRegKeyImpl::Replace(HKEY key, REGSAM access) {
    UniqueHKey taken(key);
    const DWORD closeStatus = Close();
    m_key = std::move(taken);
    m_viewFlags = access & kViewMask;
    m_deleteOnClose = false;
    return closeStatus;
}

DWORD CRegKeyImpl::Close() {
    m_viewFlags = 0;
    if (!m_key) {
        m_deleteOnClose = false;
        return ERROR_SUCCESS;
    }
    DWORD deleteStatus = ERROR_SUCCESS;
    if (m_deleteOnClose) {
        m_deleteOnClose = false;
        deleteStatus = ::SHDeleteKeyW(m_key.get(), L"");
    }
    const DWORD closeStatus = ::RegCloseKey(m_key.release());
    // A failed deletion is reported rather than hidden behind a successful close.
    return closeStatus != ERROR_SUCCESS ? closeStatus : deleteStatus;
}

DWORD CRegKeyImpl::Flush() {
    if (!m_key) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegFlushKey(m_key.get());
}

HKEY CRegKeyImpl::Detach() {
    m_viewFlags = 0;
    m_deleteOnClose = false;
    return m_key.release();
}

void CRegKeyImpl::Attach(HKEY key) {
    if (key != m_key.get()) {
        Close();
        m_key.reset(key);
    }
    m_viewFlags = 0;
    m_deleteOnClose = false;
}

DWORD CRegKeyImpl::EnumSubKey(DWORD index, wchar_t* name, DWORD& chars, FILETIME* lastWrite) {
    if (!m_key) {
        return ERROR_INVALID_PARAMETER;
    }
    FILETIME ignored;
    return ::RegEnumKeyExW(m_key.get(), index, name, &chars, nullptr, nullptr, nullptr,
                           lastWrite != nullptr ? lastWrite : &ignored);
}

DWORD CRegKeyImpl::WatchChanges(bool watchSubtree, DWORD filter, HANDLE event, bool asynchronous) {
    if (!m_key) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegNotifyChangeKeyValue(m_key.get(), watchSubtree ? TRUE : FALSE, filter, event,
                                     asynchronous ? TRUE : FALSE);
}

DWORD CRegKeyImpl::DeleteSubKey(const wchar_t* subKey) {
    if (!m_key || subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (const RegDeleteKeyExWFn deleteKeyEx = RegDeleteKeyEx()) {
        return deleteKeyEx(m_key.get(), subKey, m_viewFlags, 0);
    }
    return ::RegDeleteKeyW(m_key.get(), subKey);
}

DWORD CRegKeyImpl::DeleteSubKeyTree(const wchar_t* subKey) {
    // A null name would open this key itself and empty it.
    if (!m_key || subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    CRegKeyImpl child;
    DWORD status = child.Open(m_key.get(), subKey, m_viewFlags | KEY_READ | KEY_WRITE);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    for (;;) {
        wchar_t name[kKeyNameChars] = {};
        DWORD chars = kKeyNameChars;
        // Always index 0: every removed child moves the rest down.
        if (child.EnumSubKey(0, name, chars, nullptr) != ERROR_SUCCESS) {
            break;
        }
        status = child.DeleteSubKeyTree(name);
        if (status != ERROR_SUCCESS) {
            return status;  // `child` closes on the way out
        }
    }
    child.Close();
    return DeleteSubKey(subKey);
}

DWORD CRegKeyImpl::DeleteValue(const wchar_t* name) {
    if (!m_key || name == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegDeleteValueW(m_key.get(), name);
}

DWORD CRegKeyImpl::GrantEveryoneFullAccess(bool recursive) {
    if (!m_key) {
        return ERROR_INVALID_PARAMETER;
    }
    OSInfoProxy<WinOSVersionAPI> os;
    if (!os.IsNtPlatform()) {
        return ERROR_SUCCESS;
    }
    const SecurityFunctions& api = Security();
    if (!api.loaded) {
        return ERROR_FILE_NOT_FOUND;
    }

    // The key's current DACL.
    DWORD size = 0;
    DWORD status = api.regGetKeySecurity(m_key.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    if (status != ERROR_INSUFFICIENT_BUFFER) {
        return status;
    }
    if (size == 0) {
        return ERROR_BAD_LENGTH;
    }
    std::unique_ptr<BYTE[]> current(
        new (std::nothrow) BYTE[std::max<DWORD>(size, SECURITY_DESCRIPTOR_MIN_LENGTH)]);
    if (!current) {
        return ERROR_OUTOFMEMORY;
    }
    if (!api.initializeSecurityDescriptor(current.get(), SECURITY_DESCRIPTOR_REVISION)) {
        return ::GetLastError();
    }
    status = api.regGetKeySecurity(m_key.get(), DACL_SECURITY_INFORMATION, current.get(), &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!api.getSecurityDescriptorDacl(current.get(), &present, &dacl, &defaulted)) {
        return ::GetLastError();
    }

    // Everyone (S-1-1-0) with full access, inherited by sub-keys, merged into it.
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!api.allocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                      &everyone)) {
        return ::GetLastError();
    }
    const std::unique_ptr<void, FreeSidFn> everyoneOwner(everyone, api.freeSid);
    EXPLICIT_ACCESSW entry = {};
    entry.grfAccessPermissions = GENERIC_ALL;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    PACL merged = nullptr;
    status = api.setEntriesInAcl(1, &entry, present ? dacl : nullptr, &merged);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const UniqueLocalMem mergedOwner(merged);

    SECURITY_DESCRIPTOR descriptor;
    if (!api.initializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !api.setSecurityDescriptorDacl(&descriptor, TRUE, merged, FALSE)) {
        return ::GetLastError();
    }
    return ApplyDacl(m_key.get(), &descriptor, recursive);
}

DWORD CRegKeyImpl::ApplyDacl(HKEY key, PSECURITY_DESCRIPTOR descriptor, bool recursive) {
    DWORD status = Security().regSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    if (status != ERROR_SUCCESS || !recursive) {
        return status;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[kKeyNameChars] = {};
        DWORD chars = kKeyNameChars;
        if (::RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            return ERROR_SUCCESS;
        }
        UniqueHKey child;
        if (::RegOpenKeyExW(key, name, 0, KEY_ALL_ACCESS | m_viewFlags, child.put()) !=
            ERROR_SUCCESS) {
            continue;  // a sub-key that cannot be opened is left as it is
        }
        status = ApplyDacl(child.get(), descriptor, true);
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
}

void CRegKeyImpl::SetDeleteOnClose(bool deleteOnClose) {
    m_deleteOnClose = deleteOnClose;
}

bool CRegKeyImpl::DeleteOnClose() const {
    return m_deleteOnClose;
}

}  // namespace internal

// =============================================================================================
// The enciphering implementation.

DWORD BuildEncipheredRecord(DWORD type, const void* data, DWORD bytes, std::vector<BYTE>& record) {
    record.clear();
    if (data == nullptr || bytes == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        std::vector<BYTE> payload;
        const DWORD status = BuildPayload(type, data, bytes, payload);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (payload.size() > MAXDWORD - kHeaderSize) {
            return ERROR_INVALID_PARAMETER;
        }
        std::vector<BYTE> built(kHeaderSize + payload.size());
        CRecordCipher cipher;
        for (size_t i = 0; i < payload.size(); ++i) {
            built[kHeaderSize + i] = cipher.Encipher(payload[i]);
        }
        std::memcpy(built.data() + kTagOffset, kRecordTag, sizeof(kRecordTag));
        StoreLe32(built.data() + kVersionOffset, kRecordVersion);
        StoreLe32(built.data() + kLengthOffset, static_cast<DWORD>(payload.size()));
        StoreLe32(built.data() + kTypeOffset, type);
        BYTE digest[kDigestSize];
        if (!RecordDigest(built.data(), built.size(), digest)) {
            return ERROR_ENCRYPTION_FAILED;
        }
        std::memcpy(built.data() + kDigestOffset, digest, kDigestSize);
        record = std::move(built);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD CObfuscatedRegKeyImpl::WriteRawValue(const wchar_t* name, DWORD type, const void* data,
                                           DWORD bytes) {
    try {
        std::vector<BYTE> record;
        DWORD status = BuildEncipheredRecord(type, data, bytes, record);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        std::string ansiName;
        if (name != nullptr) {
            status = AnsiName(name, ansiName);
            if (status != ERROR_SUCCESS) {
                return status;
            }
        }
        return ::RegSetValueExA(Handle(), name != nullptr ? ansiName.c_str() : nullptr, 0,
                                REG_BINARY, record.data(), static_cast<DWORD>(record.size()));
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

RecordFault InspectEncipheredRecord(const BYTE* record, size_t size) {
    if (size < kHeaderSize) {
        return RecordFault::Truncated;
    }
    if (std::memcmp(record + kTagOffset, kRecordTag, sizeof(kRecordTag)) != 0) {
        return RecordFault::BadTag;
    }
    const DWORD payloadSize = LoadLe32(record + kLengthOffset);
    if (size - kHeaderSize < payloadSize) {
        return RecordFault::Truncated;
    }
    if (size - kHeaderSize > payloadSize) {
        return RecordFault::TrailingBytes;
    }
    BYTE digest[kDigestSize];
    if (!RecordDigest(record, size, digest)) {
        return RecordFault::DigestFailed;
    }
    return std::memcmp(digest, record + kDigestOffset, kDigestSize) == 0
               ? RecordFault::None
               : RecordFault::DigestMismatch;
}

DWORD ReadEncipheredRecord(const BYTE* record, size_t size, DWORD* type, void* data, DWORD* bytes) {
    if (!CanDeliver(type, data, bytes)) {
        return ERROR_INVALID_PARAMETER;
    }
    switch (InspectEncipheredRecord(record, size)) {
        case RecordFault::None:
            break;
        case RecordFault::DigestFailed:
            return ERROR_DECRYPTION_FAILED;
        default:
            return ERROR_INVALID_DATA;
    }
    try {
        const DWORD payloadSize = LoadLe32(record + kLengthOffset);
        const DWORD valueType = LoadLe32(record + kTypeOffset);
        if (type != nullptr) {
            *type = valueType;
        }
        std::vector<BYTE> payload(payloadSize);
        CRecordCipher cipher;
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = cipher.Decipher(record[kHeaderSize + i]);
        }

        if (valueType != REG_SZ && valueType != REG_MULTI_SZ) {
            return Deliver(payload.data(), payload.size(), data, bytes, false);
        }
        std::wstring text;
        const DWORD status = DecodeStrings(valueType, payload, text);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        return Deliver(text.data(), text.size() * sizeof(wchar_t), data, bytes,
                       valueType == REG_MULTI_SZ);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD CObfuscatedRegKeyImpl::ReadRawValue(const wchar_t* name, DWORD* type, void* data,
                                          DWORD* bytes) {
    if (!CanDeliver(type, data, bytes)) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        std::string ansiName;
        if (name != nullptr) {
            const DWORD status = AnsiName(name, ansiName);
            if (status != ERROR_SUCCESS) {
                return status;
            }
        }
        const char* const valueName = name != nullptr ? ansiName.c_str() : nullptr;
        std::vector<BYTE> record(kFirstReadBytes);
        DWORD rawType = REG_NONE;
        DWORD size = static_cast<DWORD>(record.size());
        DWORD status =
            ::RegQueryValueExA(Handle(), valueName, nullptr, &rawType, record.data(), &size);
        if (status == ERROR_MORE_DATA) {
            record.resize(size);
            status =
                ::RegQueryValueExA(Handle(), valueName, nullptr, &rawType, record.data(), &size);
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (rawType != REG_BINARY) {
            return ERROR_INVALID_DATA;
        }
        record.resize(size);
        return ReadEncipheredRecord(record.data(), record.size(), type, data, bytes);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// =============================================================================================
// The wrappers.

namespace {

template <typename TImpl>
std::shared_ptr<internal::CRegKeyImpl> MakeImpl() noexcept {
    try {
        return std::make_shared<TImpl>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

CRegKey::CRegKey() noexcept : m_impl(MakeImpl<internal::CRegKeyImpl>()) {}

CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl) noexcept
    : m_impl(impl ? std::move(impl) : MakeImpl<internal::CRegKeyImpl>()) {}

// The implementation object closes its key when the last wrapper sharing it lets go.
CRegKey::~CRegKey() = default;

CObfuscatedRegKey::CObfuscatedRegKey() noexcept : CRegKey(MakeImpl<CObfuscatedRegKeyImpl>()) {}

#define VRX_FORWARD(call) return m_impl ? m_impl->call : static_cast<DWORD>(ERROR_OUTOFMEMORY)

DWORD CRegKey::ReadRawValue(const wchar_t* name, DWORD* type, void* data, DWORD* bytes) {
    VRX_FORWARD(ReadRawValue(name, type, data, bytes));
}
DWORD CRegKey::WriteRawValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    VRX_FORWARD(WriteRawValue(name, type, data, bytes));
}
DWORD CRegKey::WriteGuid(const wchar_t* name, const GUID& value) {
    VRX_FORWARD(WriteGuid(name, value));
}
DWORD CRegKey::WriteBinary(const wchar_t* name, const void* data, DWORD bytes) {
    VRX_FORWARD(WriteBinary(name, data, bytes));
}
DWORD CRegKey::WriteDword(const wchar_t* name, DWORD value) {
    VRX_FORWARD(WriteDword(name, value));
}
DWORD CRegKey::WriteQword(const wchar_t* name, ULONGLONG value) {
    VRX_FORWARD(WriteQword(name, value));
}
DWORD CRegKey::WriteString(const wchar_t* name, const wchar_t* value, DWORD type) {
    VRX_FORWARD(WriteString(name, value, type));
}
DWORD CRegKey::WriteMultiString(const wchar_t* name, const wchar_t* value) {
    VRX_FORWARD(WriteMultiString(name, value));
}
DWORD CRegKey::ReadGuid(const wchar_t* name, GUID& value) {
    VRX_FORWARD(ReadGuid(name, value));
}
DWORD CRegKey::ReadBinary(const wchar_t* name, void* data, DWORD& bytes) {
    VRX_FORWARD(ReadBinary(name, data, bytes));
}
DWORD CRegKey::ReadDword(const wchar_t* name, DWORD& value) {
    VRX_FORWARD(ReadDword(name, value));
}
DWORD CRegKey::ReadQword(const wchar_t* name, ULONGLONG& value) {
    VRX_FORWARD(ReadQword(name, value));
}
DWORD CRegKey::ReadString(const wchar_t* name, std::wstring& value) {
    VRX_FORWARD(ReadString(name, value));
}
DWORD CRegKey::ReadStringBuffer(const wchar_t* name, wchar_t* buffer, DWORD& chars) {
    VRX_FORWARD(ReadStringBuffer(name, buffer, chars));
}
DWORD CRegKey::ReadMultiString(const wchar_t* name, wchar_t* buffer, DWORD& chars) {
    VRX_FORWARD(ReadMultiString(name, buffer, chars));
}
DWORD CRegKey::ReadSecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                            DWORD* bytes) {
    VRX_FORWARD(ReadSecurity(information, descriptor, bytes));
}
DWORD CRegKey::WriteSecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
    VRX_FORWARD(WriteSecurity(information, descriptor));
}
DWORD CRegKey::Create(HKEY parent, const wchar_t* subKey, wchar_t* keyClass, DWORD options,
                      REGSAM access, SECURITY_ATTRIBUTES* security, DWORD* disposition) {
    VRX_FORWARD(Create(parent, subKey, keyClass, options, access, security, disposition));
}
DWORD CRegKey::Open(HKEY parent, const wchar_t* subKey, REGSAM access) {
    VRX_FORWARD(Open(parent, subKey, access));
}
DWORD CRegKey::Flush() {
    VRX_FORWARD(Flush());
}
DWORD CRegKey::EnumSubKey(DWORD index, wchar_t* name, DWORD& chars, FILETIME* lastWrite) {
    VRX_FORWARD(EnumSubKey(index, name, chars, lastWrite));
}
DWORD CRegKey::WatchChanges(bool watchSubtree, DWORD filter, HANDLE event, bool asynchronous) {
    VRX_FORWARD(WatchChanges(watchSubtree, filter, event, asynchronous));
}
DWORD CRegKey::DeleteSubKey(const wchar_t* subKey) {
    VRX_FORWARD(DeleteSubKey(subKey));
}
DWORD CRegKey::DeleteSubKeyTree(const wchar_t* subKey) {
    VRX_FORWARD(DeleteSubKeyTree(subKey));
}
DWORD CRegKey::DeleteValue(const wchar_t* name) {
    VRX_FORWARD(DeleteValue(name));
}
DWORD CRegKey::GrantEveryoneFullAccess(bool recursive) {
    VRX_FORWARD(GrantEveryoneFullAccess(recursive));
}

#undef VRX_FORWARD

DWORD CRegKey::Close() {
    return m_impl ? m_impl->Close() : static_cast<DWORD>(ERROR_SUCCESS);
}

HKEY CRegKey::Detach() {
    return m_impl ? m_impl->Detach() : nullptr;
}

void CRegKey::Attach(HKEY key) {
    if (m_impl) {
        m_impl->Attach(key);
    } else if (key != nullptr) {
        ::RegCloseKey(key);  // ownership was handed over; nothing can hold it
    }
}

HKEY CRegKey::Handle() const {
    return m_impl ? m_impl->Handle() : nullptr;
}

void CRegKey::SetDeleteOnClose(bool deleteOnClose) {
    if (m_impl) {
        m_impl->SetDeleteOnClose(deleteOnClose);
    }
}

bool CRegKey::DeleteOnClose() const {
    return m_impl && m_impl->DeleteOnClose();
}

}  // namespace Tessel
