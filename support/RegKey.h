// The support library's owner of one open registry key, and its enciphering variant.
//
// CRegKey wraps the registry calls behind a fixed set of virtual operations: open and create,
// typed reads and writes with strict type, size and terminator checks, sub-key enumeration,
// change notification, deletion (single and recursive, in the registry view the key was opened
// in), key security, and granting full access to everyone. Every operation returns a Win32 error
// code (0 on success) and never throws.
//
// CObfuscatedRegKey stores every value it writes as an enciphered REG_BINARY record and verifies
// and deciphers every value it reads from that record:
//
//   offset  size  field
//   0       4     "VLRG"
//   4       4     record version, 1 (not checked on reading)
//   8       4     payload length N
//   12      4     the value's own registry type
//   16      16    MD5 of the whole record of N + 32 bytes, taken with this field zeroed
//   32      N     enciphered payload
//
// all integers little-endian. The payload is the value's bytes, except that REG_SZ is stored as
// UTF-8 with its zero byte and REG_MULTI_SZ as each string in UTF-8 with its zero byte, then one
// more zero byte.
//
// Wrappers share their implementation object: copies of a wrapper hold the same key, which is
// closed when the last of them goes.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "support/UniqueAny.h"

namespace Tessel {

// Checks a string value read into `buffer` (null for a size query) whose capacity is
// `capacityChars`: the type must be REG_SZ or REG_EXPAND_SZ, and a non-empty text must have an
// even byte count and end in a terminator. An empty value leaves an empty string where the buffer
// has room. Returns 0 or ERROR_INVALID_DATA.
DWORD CheckStringValue(DWORD type, wchar_t* buffer, DWORD capacityChars, DWORD bytes);

// What is wrong with a stored enciphered record, if anything.
enum class RecordFault {
    None,
    Truncated,       // shorter than its header, or than the payload length it records
    BadTag,          // does not start with "VLRG"
    TrailingBytes,   // longer than the payload length it records
    DigestMismatch,  // the MD5 does not match the contents
    DigestFailed,    // the MD5 could not be computed
};

// Checks the raw bytes of a value stored by CObfuscatedRegKey, header first, then the digest.
RecordFault InspectEncipheredRecord(const BYTE* record, size_t size);

// The record CObfuscatedRegKey stores for `bytes` of a value of `type`, strings given in UTF-16
// as to WriteRawValue. 87 for null data or a zero count.
DWORD BuildEncipheredRecord(DWORD type, const void* data, DWORD bytes, std::vector<BYTE>& record);

// A stored record read as CObfuscatedRegKey::ReadRawValue delivers it: the recorded type, and the
// value in it (strings in UTF-16 with their terminators) into `data`, whose capacity is `*bytes`
// on entry; `*bytes` receives the size the value takes. 13 for a damaged record, 234 (with the
// size needed) when the value does not fit, 87 for a buffer without its capacity.
DWORD ReadEncipheredRecord(const BYTE* record, size_t size, DWORD* type, void* data, DWORD* bytes);

namespace internal {

// The key state and the operations behind CRegKey. Typed reads and writes reach the registry only
// through ReadRawValue and WriteRawValue, so a class that overrides those two changes the stored
// form of every value.
class CRegKeyImpl {
public:
    CRegKeyImpl() = default;
    CRegKeyImpl(const CRegKeyImpl&) = delete;
    CRegKeyImpl& operator=(const CRegKeyImpl&) = delete;
    // Closes the key held, deleting its contents first when delete-on-close is set.
    virtual ~CRegKeyImpl();

    // RegQueryValueExW on the held key. `type` and `data` may be null; `bytes` is the capacity on
    // entry and the stored (or needed) size on return.
    virtual DWORD ReadRawValue(const wchar_t* name, DWORD* type, void* data, DWORD* bytes);
    // RegSetValueExW; 87 for null data or a zero count.
    virtual DWORD WriteRawValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes);

    // Stores the GUID as its braced text (REG_SZ).
    virtual DWORD WriteGuid(const wchar_t* name, const GUID& value);
    virtual DWORD WriteBinary(const wchar_t* name, const void* data, DWORD bytes);
    virtual DWORD WriteDword(const wchar_t* name, DWORD value);
    virtual DWORD WriteQword(const wchar_t* name, ULONGLONG value);
    // Stores `value` with its terminator as `type`; 13 for a null string.
    virtual DWORD WriteString(const wchar_t* name, const wchar_t* value, DWORD type);
    // Stores a list of terminated strings ended by an empty one; 13 for null.
    virtual DWORD WriteMultiString(const wchar_t* name, const wchar_t* value);

    // Reads braced GUID text; `value` is zeroed first. 13 when the text is not a braced GUID.
    virtual DWORD ReadGuid(const wchar_t* name, GUID& value);
    // REG_BINARY only (13 otherwise). `bytes` is the capacity on entry, the stored size on return.
    virtual DWORD ReadBinary(const wchar_t* name, void* data, DWORD& bytes);
    // REG_DWORD of exactly 4 bytes (13 otherwise); `value` changes only on success.
    virtual DWORD ReadDword(const wchar_t* name, DWORD& value);
    // REG_QWORD of exactly 8 bytes (13 otherwise); `value` changes only on success.
    virtual DWORD ReadQword(const wchar_t* name, ULONGLONG& value);
    // A REG_SZ or REG_EXPAND_SZ value, checked as ReadStringBuffer does, without its terminator.
    virtual DWORD ReadString(const wchar_t* name, std::wstring& value);
    // Reads a REG_SZ or REG_EXPAND_SZ value. `chars` is the buffer's capacity in characters on
    // entry and, on success, the characters stored, terminator included (0 for an empty value,
    // which stores an empty string). A null buffer asks for the count only. Text of odd byte
    // length or without its terminator gives 13; a buffer too small gives 234 (count 0).
    virtual DWORD ReadStringBuffer(const wchar_t* name, wchar_t* buffer, DWORD& chars);
    // Reads a REG_MULTI_SZ value; counts as ReadStringBuffer. A buffer of under 2 characters gives
    // 122; with a buffer, a list that does not end with two zero characters gives 13 (a lone
    // zero character is the empty list).
    virtual DWORD ReadMultiString(const wchar_t* name, wchar_t* buffer, DWORD& chars);

    // RegGetKeySecurity; 87 with no key or a null count.
    virtual DWORD ReadSecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                               DWORD* bytes);
    // RegSetKeySecurity; 87 with no key or a null descriptor.
    virtual DWORD WriteSecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);

    // RegCreateKeyExW. The disposition is stored whenever `disposition` is given, also on failure.
    // On failure the key held so far stays; on success it is closed (Close) and replaced, and the
    // result of that close is returned.
    virtual DWORD Create(HKEY parent, const wchar_t* subKey, wchar_t* keyClass, DWORD options,
                         REGSAM access, SECURITY_ATTRIBUTES* security, DWORD* disposition);
    // RegOpenKeyExW; replaces the held key as Create does.
    virtual DWORD Open(HKEY parent, const wchar_t* subKey, REGSAM access);
    // Closes the held key; with delete-on-close set, deletes its sub-keys and values first. 0
    // when no key is held.
    virtual DWORD Close();
    virtual DWORD Flush();
    // Hands the held key to the caller without closing it.
    virtual HKEY Detach();
    // Takes ownership of `key` (view flags 0). A different key held so far is closed first.
    virtual void Attach(HKEY key);

    // RegEnumKeyExW. `chars` is the name buffer's capacity on entry and the name's length on
    // return; `lastWrite` may be null.
    virtual DWORD EnumSubKey(DWORD index, wchar_t* name, DWORD& chars, FILETIME* lastWrite);
    // RegNotifyChangeKeyValue.
    virtual DWORD WatchChanges(bool watchSubtree, DWORD filter, HANDLE event, bool asynchronous);

    // Deletes a sub-key that has no sub-keys, in the view this key was opened in.
    virtual DWORD DeleteSubKey(const wchar_t* subKey);
    // Deletes a sub-key with everything below it, in the view this key was opened in.
    virtual DWORD DeleteSubKeyTree(const wchar_t* subKey);
    virtual DWORD DeleteValue(const wchar_t* name);

    // Merges a full-access entry for Everyone (inherited by sub-keys) into the key's DACL and, when
    // `recursive`, puts the resulting DACL on every sub-key below that can be opened. Does nothing
    // on a system outside the NT family. 2 when the security functions cannot be loaded.
    virtual DWORD GrantEveryoneFullAccess(bool recursive);

    // Delete-on-close: the next Close (also the one in a successful Open, Create or Attach, and
    // the one at destruction) deletes the key's sub-keys and values.
    virtual void SetDeleteOnClose(bool deleteOnClose);
    virtual bool DeleteOnClose() const;

    HKEY Handle() const { return m_key.get(); }
    // The KEY_WOW64_64KEY and KEY_WOW64_32KEY bits the held key was opened or created with.
    DWORD ViewFlags() const { return m_viewFlags; }

private:
    // Takes `key`, opened or created with `access`, after the held key is closed.
    DWORD Replace(HKEY key, REGSAM access);
    // Puts `descriptor` on `key` and, when `recursive`, on every sub-key below it.
    DWORD ApplyDacl(HKEY key, PSECURITY_DESCRIPTOR descriptor, bool recursive);

    UniqueHKey m_key;
    DWORD m_viewFlags = 0;
    bool m_deleteOnClose = false;
};

}  // namespace internal

// Stores every value enciphered (see the record above) and reads only such records.
class CObfuscatedRegKeyImpl : public internal::CRegKeyImpl {
public:
    // Reads and checks the record; a raw value that is not REG_BINARY, or a record that is short,
    // damaged, of the wrong length or without the tag, gives 13. Delivers the value in its
    // recorded type: strings back in UTF-16. A buffer too small gives 234 with the size needed.
    DWORD ReadRawValue(const wchar_t* name, DWORD* type, void* data, DWORD* bytes) override;
    // Builds and stores the record under the value name in the thread's ANSI code page.
    DWORD WriteRawValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes) override;
};

// One open registry key. Operations forward to the shared implementation object.
class CRegKey {
public:
    CRegKey() noexcept;
    // Copies share the key.
    CRegKey(const CRegKey&) = default;
    CRegKey& operator=(const CRegKey&) = default;
    virtual ~CRegKey();

    virtual DWORD ReadRawValue(const wchar_t* name, DWORD* type, void* data, DWORD* bytes);
    virtual DWORD WriteRawValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes);
    virtual DWORD WriteGuid(const wchar_t* name, const GUID& value);
    virtual DWORD WriteBinary(const wchar_t* name, const void* data, DWORD bytes);
    virtual DWORD WriteDword(const wchar_t* name, DWORD value);
    virtual DWORD WriteQword(const wchar_t* name, ULONGLONG value);
    virtual DWORD WriteString(const wchar_t* name, const wchar_t* value, DWORD type = REG_SZ);
    virtual DWORD WriteMultiString(const wchar_t* name, const wchar_t* value);
    virtual DWORD ReadGuid(const wchar_t* name, GUID& value);
    virtual DWORD ReadBinary(const wchar_t* name, void* data, DWORD& bytes);
    virtual DWORD ReadDword(const wchar_t* name, DWORD& value);
    virtual DWORD ReadQword(const wchar_t* name, ULONGLONG& value);
    virtual DWORD ReadString(const wchar_t* name, std::wstring& value);
    virtual DWORD ReadStringBuffer(const wchar_t* name, wchar_t* buffer, DWORD& chars);
    virtual DWORD ReadMultiString(const wchar_t* name, wchar_t* buffer, DWORD& chars);
    virtual DWORD ReadSecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                               DWORD* bytes);
    virtual DWORD WriteSecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    virtual DWORD Create(HKEY parent, const wchar_t* subKey, wchar_t* keyClass = nullptr,
                         DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_ALL_ACCESS,
                         SECURITY_ATTRIBUTES* security = nullptr, DWORD* disposition = nullptr);
    virtual DWORD Open(HKEY parent, const wchar_t* subKey, REGSAM access = KEY_ALL_ACCESS);
    virtual DWORD Flush();
    virtual DWORD EnumSubKey(DWORD index, wchar_t* name, DWORD& chars,
                             FILETIME* lastWrite = nullptr);
    virtual DWORD WatchChanges(bool watchSubtree, DWORD filter, HANDLE event, bool asynchronous);
    virtual DWORD DeleteSubKey(const wchar_t* subKey);
    virtual DWORD DeleteSubKeyTree(const wchar_t* subKey);
    virtual DWORD DeleteValue(const wchar_t* name);
    virtual DWORD GrantEveryoneFullAccess(bool recursive);

    DWORD Close();
    HKEY Detach();
    void Attach(HKEY key);
    HKEY Handle() const;
    void SetDeleteOnClose(bool deleteOnClose);
    bool DeleteOnClose() const;

protected:
    // Uses `impl` as the implementation object; a fresh plain one when null.
    explicit CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl) noexcept;

private:
    // Null only when the implementation object could not be allocated; every operation then
    // reports ERROR_OUTOFMEMORY.
    std::shared_ptr<internal::CRegKeyImpl> m_impl;
};

// A CRegKey whose values are stored as enciphered records.
class CObfuscatedRegKey : public CRegKey {
public:
    CObfuscatedRegKey() noexcept;
};

}  // namespace Tessel
