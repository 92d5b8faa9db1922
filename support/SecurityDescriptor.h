// Editing the discretionary access-control list (DACL) of a named object: read the object's DACL
// into an ordered list of entries, remove the entries of one trustee, add access-allowed entries,
// and build an ACL in canonical order for the caller to write back.
//
// Unlike the rest of the library, the operations here raise errors as CHResultError exceptions
// carrying an HRESULT: E_INVALIDARG for bad input (malformed ACEs included), E_OUTOFMEMORY, or a
// failed Windows call's error through HRESULT_FROM_WIN32. The one caller catches and logs them.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <exception>
#include <initializer_list>
#include <optional>
#include <vector>

namespace Tessel {

// An error raised by the DACL editor and the SID builder.
class CHResultError : public std::exception {
public:
    explicit CHResultError(HRESULT hr) noexcept;

    HRESULT HResult() const noexcept { return m_hr; }
    // "HRESULT 0x%08X".
    const char* what() const noexcept override { return m_text; }

private:
    HRESULT m_hr;
    char m_text[24];
};

// A security identifier built from its authority and 1 to 15 sub-authorities, at most 68 bytes.
class CSecurityId {
public:
    static constexpr DWORD kMaxLength = 68;

    // Takes `count` values from `subAuthorities`. Raises E_INVALIDARG for a count of 0 or above 15,
    // or for a null array with a nonzero count.
    CSecurityId(const SID_IDENTIFIER_AUTHORITY& authority, size_t count,
                const DWORD* subAuthorities);
    CSecurityId(const SID_IDENTIFIER_AUTHORITY& authority,
                std::initializer_list<DWORD> subAuthorities)
        : CSecurityId(authority, subAuthorities.size(), subAuthorities.begin()) {}

    // The SID, valid for the life of this object.
    PSID Sid() const { return const_cast<BYTE*>(m_sid); }
    DWORD Length() const { return m_valid ? ::GetLengthSid(Sid()) : 0; }
    bool IsValid() const { return m_valid; }

private:
    alignas(DWORD) BYTE m_sid[kMaxLength] = {};
    bool m_valid = false;
};

// S-1-1-0, S-1-5-11 and S-1-5-32-546.
CSecurityId EveryoneSid();
CSecurityId AuthenticatedUsersSid();
CSecurityId GuestsSid();

// One access-allowed or access-denied ACE, plain or object-specific, with its own copy of the SID.
class CAceEntry {
public:
    // A plain entry. Raises E_INVALIDARG for an invalid SID.
    CAceEntry(bool allow, PSID sid, ACCESS_MASK mask, BYTE flags);
    // An object entry with either GUID optional (null when absent).
    CAceEntry(bool allow, PSID sid, ACCESS_MASK mask, BYTE flags, const GUID* objectType,
              const GUID* inheritedObjectType);

    bool IsAllow() const { return m_allow; }
    bool IsObject() const { return m_object; }
    bool IsInherited() const { return (m_flags & INHERITED_ACE) != 0; }
    PSID Sid() const { return const_cast<BYTE*>(m_sid.data()); }
    ACCESS_MASK Mask() const { return m_mask; }
    BYTE Flags() const { return m_flags; }
    const GUID* ObjectType() const { return m_objectType ? &*m_objectType : nullptr; }
    const GUID* InheritedObjectType() const {
        return m_inheritedObjectType ? &*m_inheritedObjectType : nullptr;
    }

    // The ACE in the Windows layout (types 0 and 1 for plain entries, 5 and 6 for object
    // entries), built on the first call and kept.
    const std::vector<BYTE>& Image() const;

private:
    CAceEntry(bool allow, bool object, PSID sid, ACCESS_MASK mask, BYTE flags,
              const GUID* objectType, const GUID* inheritedObjectType);

    bool m_allow;
    bool m_object;
    std::vector<BYTE> m_sid;
    ACCESS_MASK m_mask;
    BYTE m_flags;
    std::optional<GUID> m_objectType;
    std::optional<GUID> m_inheritedObjectType;
    mutable std::vector<BYTE> m_image;
};

// The DACL being edited. A new editor holds an empty list of revision ACL_REVISION.
class CDaclEditor {
public:
    // Appends the allow and deny ACEs of `acl` (plain and object) to the entries held and takes
    // its revision; every other ACE type is dropped. A null ACL clears the entries and marks the
    // DACL as null. Raises E_INVALIDARG for a malformed ACL or ACE (nothing is then changed).
    void LoadFromAcl(const ACL* acl);

    // Removes every entry.
    void ClearEntries();

    // Removes every entry whose SID equals `sid`; true when one was removed. False for a null
    // DACL. Raises E_INVALIDARG for an invalid SID.
    bool RemoveEntriesForSid(PSID sid);

    // Appends a plain allow entry; a null DACL becomes an empty one first. False, with nothing
    // changed, for an invalid SID.
    bool AddAllowEntry(PSID sid, ACCESS_MASK mask, BYTE flags);

    // The entries in canonical order as an ACL owned by the editor, valid until the entries
    // change or the editor goes; null for a null DACL. Sorts the entries held.
    PACL BuildAcl();

    const std::vector<CAceEntry>& Entries() const { return m_entries; }
    DWORD Revision() const { return m_revision; }
    bool IsNullDacl() const { return m_nullDacl; }

private:
    void SortCanonically();

    std::vector<CAceEntry> m_entries;
    DWORD m_revision = ACL_REVISION;
    bool m_nullDacl = false;
    std::vector<BYTE> m_builtAcl;  // empty when no ACL is built
};

// Reads the DACL of the object `name` of `type` into `editor` (its entries replaced). True when
// the object has a DACL; false for a null DACL, leaving the editor untouched, and false for null
// arguments. When the DACL cannot be read, stores the error with SetLastError and returns false.
// A malformed DACL raises as LoadFromAcl does.
bool ReadNamedDacl(LPCWSTR name, SE_OBJECT_TYPE type, CDaclEditor* editor);

}  // namespace Tessel
