#include "support/SecurityDescriptor.h"

#include "support/UniqueAny.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace Tessel {

namespace {

// Plain ACE: header, mask, SID. Object ACE: header, mask, object flags, GUIDs, SID.
constexpr size_t kPlainAceFixedLength = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
constexpr size_t kObjectAceFixedLength = kPlainAceFixedLength + sizeof(DWORD);
// A SID's revision, sub-authority count and authority, which come before its sub-authorities.
constexpr size_t kSidFixedLength = 8;
// An ACL's size field is 16-bit, so an ACL never exceeds this.
constexpr size_t kMaxAclLength = 0xFFFF;

static_assert(kPlainAceFixedLength == offsetof(ACCESS_ALLOWED_ACE, SidStart));
static_assert(kObjectAceFixedLength == offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType));
static_assert(sizeof(ACL) == 8);

[[noreturn]] void Raise(HRESULT hr) {
    throw CHResultError(hr);
}

// Raises the calling thread's last error. A failing call that left no error code is still a
// failure: it raises E_FAIL rather than a success code.
[[noreturn]] void RaiseLastError() {
    const DWORD error = ::GetLastError();
    Raise(error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error));
}

// Calls a Windows function that reports failure as FALSE and raises its error when it fails. The
// last error is cleared first, so that a stale code is never reported for a call that set none.
template <typename TCall>
void CallOrRaise(TCall&& call) {
    ::SetLastError(ERROR_SUCCESS);
    if (!call()) {
        RaiseLastError();
    }
}

// Runs `operation`, turning a failed allocation into E_OUTOFMEMORY.
template <typename TOperation>
auto RaisingOutOfMemory(TOperation&& operation) -> decltype(operation()) {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        Raise(E_OUTOFMEMORY);
    }
}

bool IsUsableSid(PSID sid) {
    return sid != nullptr && ::IsValidSid(sid);
}

// Checks that a valid SID starts `offset` bytes into an ACE of `aceSize` bytes and ends within
// it; raises E_INVALIDARG otherwise. Nothing beyond the ACE is read.
PSID SidWithinAce(const BYTE* ace, size_t aceSize, size_t offset) {
    if (offset > aceSize || aceSize - offset < kSidFixedLength) {
        Raise(E_INVALIDARG);
    }
    const PSID sid = const_cast<BYTE*>(ace + offset);
    // IsValidSid reads only the fixed part; the sub-authorities must fit as well.
    if (!::IsValidSid(sid) || ::GetLengthSid(sid) > aceSize - offset) {
        Raise(E_INVALIDARG);
    }
    return sid;
}

GUID ReadGuid(const BYTE* at) {
    GUID guid;
    std::memcpy(&guid, at, sizeof(guid));
    return guid;
}

// The entry for one ACE of `aceSize` bytes at `ace`, or nothing for an ACE type the editor does
// not keep. Raises E_INVALIDARG when the ACE is too short for its content.
std::optional<CAceEntry> EntryFromAce(const BYTE* ace, size_t aceSize) {
    ACE_HEADER header;
    std::memcpy(&header, ace, sizeof(header));
    ACCESS_MASK mask = 0;
    switch (header.AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_DENIED_ACE_TYPE: {
            const PSID sid = SidWithinAce(ace, aceSize, kPlainAceFixedLength);
            std::memcpy(&mask, ace + sizeof(ACE_HEADER), sizeof(mask));
            return CAceEntry(header.AceType == ACCESS_ALLOWED_ACE_TYPE, sid, mask, header.AceFlags);
        }
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE: {
            if (aceSize < kObjectAceFixedLength) {
                Raise(E_INVALIDARG);
            }
            std::memcpy(&mask, ace + sizeof(ACE_HEADER), sizeof(mask));
            DWORD objectFlags = 0;
            std::memcpy(&objectFlags, ace + kPlainAceFixedLength, sizeof(objectFlags));
            size_t offset = kObjectAceFixedLength;
            std::optional<GUID> guids[2];
            const DWORD announced[2] = {ACE_OBJECT_TYPE_PRESENT, ACE_INHERITED_OBJECT_TYPE_PRESENT};
            for (int i = 0; i < 2; ++i) {
                if ((objectFlags & announced[i]) == 0) {
                    continue;
                }
                if (aceSize - offset < sizeof(GUID)) {
                    Raise(E_INVALIDARG);
                }
                guids[i] = ReadGuid(ace + offset);
                offset += sizeof(GUID);
            }
            const PSID sid = SidWithinAce(ace, aceSize, offset);
            return CAceEntry(header.AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE, sid, mask,
                             header.AceFlags, guids[0] ? &*guids[0] : nullptr,
                             guids[1] ? &*guids[1] : nullptr);
        }
        default:
            return std::nullopt;  // audit, alarm, callback and compound ACEs are not kept
    }
}

// Canonical order: explicit before inherited, then deny before allow, then plain before object.
int CanonicalRank(const CAceEntry& entry) {
    return (entry.IsInherited() ? 4 : 0) + (entry.IsAllow() ? 2 : 0) + (entry.IsObject() ? 1 : 0);
}

}  // namespace

CHResultError::CHResultError(HRESULT hr) noexcept : m_hr(hr) {
    // msvcrt's formatter (the standard one links mingw's replacement); the text always fits.
    _snprintf(m_text, sizeof(m_text) - 1, "HRESULT 0x%08lX", static_cast<unsigned long>(hr));
}

CSecurityId::CSecurityId(const SID_IDENTIFIER_AUTHORITY& authority, size_t count,
                         const DWORD* subAuthorities) {
    if (count == 0 || count > SID_MAX_SUB_AUTHORITIES || subAuthorities == nullptr ||
        ::GetSidLengthRequired(static_cast<UCHAR>(count)) > kMaxLength) {
        Raise(E_INVALIDARG);
    }
    alignas(DWORD) BYTE built[kMaxLength] = {};
    CallOrRaise([&] {
        return ::InitializeSid(built, const_cast<SID_IDENTIFIER_AUTHORITY*>(&authority),
                               static_cast<BYTE>(count));
    });
    for (size_t i = 0; i < count; ++i) {
        *::GetSidSubAuthority(built, static_cast<DWORD>(i)) = subAuthorities[i];
    }
    if (!::IsValidSid(built) || ::GetLengthSid(built) > kMaxLength) {
        Raise(E_INVALIDARG);
    }
    CallOrRaise([&] { return ::CopySid(kMaxLength, m_sid, built); });
    m_valid = true;
}

CSecurityId EveryoneSid() {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    return CSecurityId(world, {SECURITY_WORLD_RID});
}

CSecurityId AuthenticatedUsersSid() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    return CSecurityId(nt, {SECURITY_AUTHENTICATED_USER_RID});
}

CSecurityId GuestsSid() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    return CSecurityId(nt, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_GUESTS});
}

CAceEntry::CAceEntry(bool allow, PSID sid, ACCESS_MASK mask, BYTE flags)
    : CAceEntry(allow, false, sid, mask, flags, nullptr, nullptr) {}

CAceEntry::CAceEntry(bool allow, PSID sid, ACCESS_MASK mask, BYTE flags, const GUID* objectType,
                     const GUID* inheritedObjectType)
    : CAceEntry(allow, true, sid, mask, flags, objectType, inheritedObjectType) {}

CAceEntry::CAceEntry(bool allow, bool object, PSID sid, ACCESS_MASK mask, BYTE flags,
                     const GUID* objectType, const GUID* inheritedObjectType)
    : m_allow(allow), m_object(object), m_mask(mask), m_flags(flags) {
    if (!IsUsableSid(sid)) {
        Raise(E_INVALIDARG);
    }
    const DWORD length = ::GetLengthSid(sid);
    RaisingOutOfMemory([&] { m_sid.resize(length); });
    CallOrRaise([&] { return ::CopySid(length, m_sid.data(), sid); });
    if (objectType != nullptr) {
        m_objectType = *objectType;
    }
    if (inheritedObjectType != nullptr) {
        m_inheritedObjectType = *inheritedObjectType;
    }
}

const std::vector<BYTE>& CAceEntry::Image() const {
    if (!m_image.empty()) {
        return m_image;
    }
    size_t length = (m_object ? kObjectAceFixedLength : kPlainAceFixedLength) + m_sid.size();
    DWORD objectFlags = 0;
    if (m_objectType) {
        objectFlags |= ACE_OBJECT_TYPE_PRESENT;
        length += sizeof(GUID);
    }
    if (m_inheritedObjectType) {
        objectFlags |= ACE_INHERITED_OBJECT_TYPE_PRESENT;
        length += sizeof(GUID);
    }
    std::vector<BYTE> image;
    RaisingOutOfMemory([&] { image.resize(length); });

    ACE_HEADER header;
    header.AceType =
        m_object ? (m_allow ? ACCESS_ALLOWED_OBJECT_ACE_TYPE : ACCESS_DENIED_OBJECT_ACE_TYPE)
                 : (m_allow ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE);
    header.AceFlags = m_flags;
    header.AceSize = static_cast<WORD>(length);  // at most 12 + 2 * 16 + 68
    BYTE* at = image.data();
    const auto put = [&at](const void* data, size_t size) {
        std::memcpy(at, data, size);
        at += size;
    };
    put(&header, sizeof(header));
    put(&m_mask, sizeof(m_mask));
    if (m_object) {
        put(&objectFlags, sizeof(objectFlags));
        if (m_objectType) {
            put(&*m_objectType, sizeof(GUID));
        }
        if (m_inheritedObjectType) {
            put(&*m_inheritedObjectType, sizeof(GUID));
        }
    }
    put(m_sid.data(), m_sid.size());
    m_image = std::move(image);
    return m_image;
}

void CDaclEditor::LoadFromAcl(const ACL* acl) {
    if (acl == nullptr) {
        ClearEntries();
        m_nullDacl = true;
        return;
    }
    if (acl->AclSize < sizeof(ACL)) {
        Raise(E_INVALIDARG);
    }
    const PACL platformAcl = const_cast<ACL*>(acl);
    ACL_SIZE_INFORMATION sizeInfo = {};
    ACL_REVISION_INFORMATION revisionInfo = {};
    CallOrRaise([&] {
        return ::GetAclInformation(platformAcl, &sizeInfo, sizeof(sizeInfo), AclSizeInformation);
    });
    CallOrRaise([&] {
        return ::GetAclInformation(platformAcl, &revisionInfo, sizeof(revisionInfo),
                                   AclRevisionInformation);
    });

    // Every ACE must lie within the ACL's own size: GetAce finds each ACE by walking the sizes of
    // those before it, which are checked here in turn.
    const BYTE* const begin = reinterpret_cast<const BYTE*>(acl);
    const BYTE* const firstAce = begin + sizeof(ACL);
    const BYTE* const end = begin + acl->AclSize;
    std::vector<CAceEntry> loaded;
    RaisingOutOfMemory([&] {
        for (DWORD i = 0; i < sizeInfo.AceCount; ++i) {
            void* found = nullptr;
            CallOrRaise([&] { return ::GetAce(platformAcl, i, &found); });
            const BYTE* const ace = static_cast<const BYTE*>(found);
            if (ace < firstAce || ace > end ||
                static_cast<size_t>(end - ace) < sizeof(ACE_HEADER)) {
                Raise(E_INVALIDARG);
            }
            ACE_HEADER header;
            std::memcpy(&header, ace, sizeof(header));
            if (header.AceSize < sizeof(ACE_HEADER) ||
                header.AceSize > static_cast<size_t>(end - ace)) {
                Raise(E_INVALIDARG);
            }
            if (std::optional<CAceEntry> entry = EntryFromAce(ace, header.AceSize)) {
                loaded.push_back(std::move(*entry));
            }
        }
        m_entries.reserve(m_entries.size() + loaded.size());
    });

    // Nothing below can fail: the editor changes only once the whole ACL has been read.
    m_builtAcl.clear();
    m_nullDacl = false;
    m_revision = revisionInfo.AclRevision;
    for (CAceEntry& entry : loaded) {
        m_entries.push_back(std::move(entry));
    }
}

void CDaclEditor::ClearEntries() {
    m_entries.clear();
    m_builtAcl.clear();
}

bool CDaclEditor::RemoveEntriesForSid(PSID sid) {
    if (!IsUsableSid(sid)) {
        Raise(E_INVALIDARG);
    }
    if (m_nullDacl || m_entries.empty()) {
        return false;
    }
    const auto removed =
        std::remove_if(m_entries.begin(), m_entries.end(),
                       [sid](const CAceEntry& entry) { return ::EqualSid(entry.Sid(), sid); });
    if (removed == m_entries.end()) {
        return false;
    }
    m_entries.erase(removed, m_entries.end());
    m_builtAcl.clear();
    return true;
}

bool CDaclEditor::AddAllowEntry(PSID sid, ACCESS_MASK mask, BYTE flags) {
    if (!IsUsableSid(sid)) {
        return false;
    }
    CAceEntry entry(true, sid, mask, flags);
    RaisingOutOfMemory([&] { m_entries.reserve(m_entries.size() + 1); });
    if (m_nullDacl) {
        m_entries.clear();
        m_nullDacl = false;
    }
    m_entries.push_back(std::move(entry));
    m_builtAcl.clear();
    return true;
}

PACL CDaclEditor::BuildAcl() {
    if (m_nullDacl) {
        return nullptr;
    }
    if (m_builtAcl.empty()) {
        RaisingOutOfMemory([&] {
            size_t length = sizeof(ACL);
            for (const CAceEntry& entry : m_entries) {
                // Past the largest ACL the length only has to stay too large for InitializeAcl.
                length = std::min(length + entry.Image().size(), kMaxAclLength + 1);
            }
            std::vector<BYTE> built(length);
            const PACL acl = reinterpret_cast<PACL>(built.data());
            CallOrRaise(
                [&] { return ::InitializeAcl(acl, static_cast<DWORD>(length), m_revision); });
            SortCanonically();
            for (const CAceEntry& entry : m_entries) {
                const std::vector<BYTE>& image = entry.Image();
                CallOrRaise([&] {
                    return ::AddAce(acl, m_revision, MAXDWORD, const_cast<BYTE*>(image.data()),
                                    static_cast<DWORD>(image.size()));
                });
            }
            m_builtAcl = std::move(built);
        });
    }
    return reinterpret_cast<PACL>(m_builtAcl.data());
}

// A Shell sort with the gaps 1, 4, 13, 40, ...: the first gap is the largest of them below the
// entry count (1 when there is none), each pass an insertion sort over its gap. Entries of equal
// rank need not keep their order.
void CDaclEditor::SortCanonically() {
    const size_t count = m_entries.size();
    size_t gap = 1;
    while (gap * 3 + 1 < count) {
        gap = gap * 3 + 1;
    }
    for (; gap > 0; gap /= 3) {
        for (size_t i = gap; i < count; ++i) {
            CAceEntry moving = std::move(m_entries[i]);
            const int rank = CanonicalRank(moving);
            size_t j = i;
            for (; j >= gap && CanonicalRank(m_entries[j - gap]) > rank; j -= gap) {
                m_entries[j] = std::move(m_entries[j - gap]);
            }
            m_entries[j] = std::move(moving);
        }
    }
}

bool ReadNamedDacl(LPCWSTR name, SE_OBJECT_TYPE type, CDaclEditor* editor) {
    if (name == nullptr || editor == nullptr) {
        return false;
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = ::GetNamedSecurityInfoW(name, type, DACL_SECURITY_INFORMATION, nullptr,
                                                 nullptr, &dacl, nullptr, &descriptor);
    if (result != ERROR_SUCCESS) {
        ::SetLastError(result);
        return false;
    }
    const UniqueLocalMem descriptorOwner(descriptor);
    if (dacl == nullptr) {
        return false;
    }
    editor->ClearEntries();
    editor->LoadFromAcl(dacl);
    return true;
}

}  // namespace Tessel
