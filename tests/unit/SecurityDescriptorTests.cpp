#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/SecurityDescriptor.h"
#include "support/UniqueAny.h"
#include "tests/support/Files.h"
#include "tests/support/Registry.h"

using namespace Tessel;

namespace {

constexpr GUID kType = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};
constexpr GUID kInherited = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// The HRESULT of the CHResultError `operation` raises; S_OK when it raises nothing.
template <typename TOperation>
HRESULT RaisedBy(TOperation&& operation) {
    try {
        operation();
    } catch (const CHResultError& error) {
        return error.HResult();
    }
    return S_OK;
}

// An ACL the test fills. Plain ACEs come from the platform's own functions; Wine 8.0's object-ACE
// functions are stubs (ERROR_INVALID_FUNCTION), so other ACEs are laid out here and added whole.
class TestAcl {
public:
    explicit TestAcl(DWORD revision = ACL_REVISION_DS) : m_revision(revision) {
        EXPECT_TRUE(::InitializeAcl(Get(), sizeof(m_buffer), revision));
    }
    PACL Get() { return reinterpret_cast<PACL>(m_buffer); }
    BYTE* Bytes() { return m_buffer; }

    TestAcl& Plain(bool allow, PSID sid, DWORD mask, BYTE flags = 0) {
        EXPECT_TRUE(allow ? ::AddAccessAllowedAceEx(Get(), m_revision, flags, mask, sid)
                          : ::AddAccessDeniedAceEx(Get(), m_revision, flags, mask, sid));
        return *this;
    }
    TestAcl& Object(bool allow, PSID sid, DWORD mask, const GUID* type, const GUID* inherited,
                    BYTE flags = 0) {
        const DWORD objectFlags = (type ? ACE_OBJECT_TYPE_PRESENT : 0) |
                                  (inherited ? ACE_INHERITED_OBJECT_TYPE_PRESENT : 0);
        std::vector<BYTE> body(sizeof(objectFlags));
        std::memcpy(body.data(), &objectFlags, sizeof(objectFlags));
        for (const GUID* guid : {type, inherited}) {
            if (guid != nullptr) {
                body.insert(body.end(), reinterpret_cast<const BYTE*>(guid),
                            reinterpret_cast<const BYTE*>(guid + 1));
            }
        }
        return Raw(allow ? ACCESS_ALLOWED_OBJECT_ACE_TYPE : ACCESS_DENIED_OBJECT_ACE_TYPE, sid,
                   mask, flags, body);
    }
    // Header, mask, `body`, SID.
    TestAcl& Raw(BYTE type, PSID sid, DWORD mask, BYTE flags, std::vector<BYTE> body = {}) {
        const BYTE* sidBytes = static_cast<const BYTE*>(sid);
        body.insert(body.end(), sidBytes, sidBytes + ::GetLengthSid(sid));
        const ACE_HEADER header = {type, flags, static_cast<WORD>(8 + body.size())};
        std::vector<BYTE> ace(8);
        std::memcpy(ace.data(), &header, 4);
        std::memcpy(ace.data() + 4, &mask, 4);
        ace.insert(ace.end(), body.begin(), body.end());
        EXPECT_TRUE(::AddAce(Get(), ACL_REVISION_DS, MAXDWORD, ace.data(), header.AceSize));
        return *this;
    }

private:
    DWORD m_revision;
    alignas(DWORD) BYTE m_buffer[512];
};

std::vector<BYTE> AceBytes(PACL acl, DWORD index) {
    void* ace = nullptr;
    EXPECT_TRUE(::GetAce(acl, index, &ace));
    const BYTE* bytes = static_cast<const BYTE*>(ace);
    return ace ? std::vector<BYTE>(bytes, bytes + static_cast<ACE_HEADER*>(ace)->AceSize)
               : std::vector<BYTE>();
}

// "type/flags/mask" of each ACE, in order.
std::vector<std::string> Describe(PACL acl) {
    std::vector<std::string> described;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        const std::vector<BYTE> ace = AceBytes(acl, i);
        DWORD mask = 0;
        std::memcpy(&mask, ace.data() + 4, 4);
        described.push_back(std::to_string(ace[0]) + "/" + std::to_string(ace[1]) + "/" +
                            std::to_string(mask));
    }
    return described;
}

// A copy of the first `length` bytes of an ACL, ending where an inaccessible page begins, so that
// any read past it faults. The copy's size field is set to `length`.
class GuardedAcl {
public:
    GuardedAcl(const BYTE* acl, WORD length) {
        m_base = static_cast<BYTE*>(
            ::VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD previous = 0;
        EXPECT_TRUE(::VirtualProtect(m_base + kPage, kPage, PAGE_NOACCESS, &previous));
        std::memcpy(m_base + kPage - length, acl, length);
        reinterpret_cast<PACL>(m_base + kPage - length)->AclSize = length;
        m_acl = reinterpret_cast<PACL>(m_base + kPage - length);
    }
    ~GuardedAcl() { ::VirtualFree(m_base, 0, MEM_RELEASE); }
    GuardedAcl(const GuardedAcl&) = delete;
    GuardedAcl& operator=(const GuardedAcl&) = delete;
    const ACL* Get() const { return m_acl; }

private:
    static constexpr size_t kPage = 4096;
    BYTE* m_base;
    PACL m_acl;
};

struct Sids {
    CSecurityId everyone = EveryoneSid();
    CSecurityId users = AuthenticatedUsersSid();
    CSecurityId guests = GuestsSid();
};

}  // namespace

TEST(SecurityIdTest, BuildsWellKnownAndLongSidsAndRejectsBadCounts) {
    const std::pair<CSecurityId, WELL_KNOWN_SID_TYPE> known[] = {
        {EveryoneSid(), WinWorldSid},
        {AuthenticatedUsersSid(), WinAuthenticatedUserSid},
        {GuestsSid(), WinBuiltinGuestsSid}};
    for (const auto& [id, type] : known) {
        BYTE expected[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(expected);
        ASSERT_TRUE(::CreateWellKnownSid(type, nullptr, expected, &size));
        EXPECT_TRUE(id.IsValid() && ::EqualSid(id.Sid(), expected)) << type;
        EXPECT_EQ(size, id.Length());
    }

    SID_IDENTIFIER_AUTHORITY authority = {{0, 0, 0, 0, 1, 2}};
    const DWORD values[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xFFFFFFFF, 16};
    // Wine 8.0's InitializeSid refuses 15 sub-authorities (68 bytes); Windows takes them.
    const BYTE longest = VrxTest::RunningUnderWine() ? 14 : 15;
    const CSecurityId id(authority, longest, values);
    EXPECT_EQ(8u + 4u * longest, id.Length());
    EXPECT_EQ(0, std::memcmp(&authority, ::GetSidIdentifierAuthority(id.Sid()), 6));
    EXPECT_EQ(values[longest - 1], *::GetSidSubAuthority(id.Sid(), longest - 1));

    std::vector<DWORD> many(257, 7);  // 257 would be 1 in the SID's one-byte count
    for (size_t count : {size_t{0}, size_t{16}, many.size()}) {
        EXPECT_EQ(E_INVALIDARG, RaisedBy([&] { CSecurityId(authority, count, many.data()); }));
    }
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] { CSecurityId(authority, 1, nullptr); }));
    EXPECT_STREQ("HRESULT 0x80070057", CHResultError(E_INVALIDARG).what());
}

TEST(AceImageTest, ImagesHaveTheWindowsLayouts) {
    Sids sids;
    TestAcl acl;
    acl.Plain(true, sids.users.Sid(), 0x101F01FF, kInherit).Plain(false, sids.guests.Sid(), 2);
    EXPECT_EQ(AceBytes(acl.Get(), 0),
              CAceEntry(true, sids.users.Sid(), 0x101F01FF, kInherit).Image());
    EXPECT_EQ(AceBytes(acl.Get(), 1), CAceEntry(false, sids.guests.Sid(), 2, 0).Image());

    // Object entries: 12 bytes, the GUIDs present in order, then the SID.
    const struct {
        const GUID* type;
        const GUID* inherited;
        BYTE objectFlags;
    } objects[] = {{&kType, &kInherited, 3},
                   {&kType, nullptr, 1},
                   {nullptr, &kInherited, 2},
                   {nullptr, nullptr, 0}};
    for (const auto& o : objects) {
        const CAceEntry entry(false, sids.everyone.Sid(), 0x12345678, kInherit, o.type,
                              o.inherited);
        const std::vector<BYTE>& image = entry.Image();
        const size_t sidAt = 12 + 16 * ((o.type ? 1 : 0) + (o.inherited ? 1 : 0));
        ASSERT_EQ(sidAt + 12, image.size());
        const BYTE head[] = {
            6, kInherit, static_cast<BYTE>(sidAt + 12), 0, 0x78, 0x56, 0x34, 0x12, o.objectFlags, 0,
            0, 0};
        EXPECT_EQ(0, std::memcmp(head, image.data(), 12));
        const GUID* first = o.type ? o.type : o.inherited;
        EXPECT_TRUE(first == nullptr || std::memcmp(first, image.data() + 12, 16) == 0);
        EXPECT_TRUE(!o.type || !o.inherited || std::memcmp(o.inherited, &image[28], 16) == 0);
        EXPECT_EQ(0, std::memcmp(sids.everyone.Sid(), image.data() + sidAt, 12));
        EXPECT_EQ(image.data(), entry.Image().data());  // built once, then kept
    }
}

// The ACL lists entries in reverse of canonical order, mixed with an audit and a callback ACE;
// masks number the expected positions.
TEST(DaclEditorTest, LoadDropsOtherAceTypesAndBuildsInCanonicalOrder) {
    Sids sids;
    const PSID sid = sids.everyone.Sid();
    TestAcl acl;
    acl.Object(true, sid, 8, &kType, nullptr, INHERITED_ACE)
        .Plain(true, sid, 7, INHERITED_ACE)
        .Raw(SYSTEM_AUDIT_ACE_TYPE, sid, 99, SUCCESSFUL_ACCESS_ACE_FLAG)
        .Object(false, sid, 6, nullptr, &kInherited, INHERITED_ACE)
        .Plain(false, sid, 5, INHERITED_ACE)
        .Object(true, sid, 4, nullptr, nullptr)
        .Raw(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, sid, 98, 0, {0xCB, 0xCB, 0xCB, 0xCB})
        .Plain(true, sid, 3)
        .Object(false, sid, 2, &kType, &kInherited)
        .Plain(false, sid, 1);
    CDaclEditor editor;
    EXPECT_EQ(ACL_REVISION, editor.Revision());
    editor.LoadFromAcl(acl.Get());
    EXPECT_EQ(ACL_REVISION_DS, editor.Revision());
    ASSERT_EQ(8u, editor.Entries().size());
    EXPECT_TRUE(::IsEqualGUID(kInherited, *editor.Entries()[2].InheritedObjectType()));
    EXPECT_EQ(nullptr, editor.Entries()[2].ObjectType());

    const PACL built = editor.BuildAcl();
    ASSERT_TRUE(built != nullptr && ::IsValidAcl(built));
    EXPECT_EQ(ACL_REVISION_DS, built->AclRevision);
    const std::vector<std::string> expected = {"1/0/1",  "6/0/2",  "0/0/3",  "5/0/4",
                                               "1/16/5", "6/16/6", "0/16/7", "5/16/8"};
    EXPECT_EQ(expected, Describe(built));
    EXPECT_EQ(AceBytes(acl.Get(), 8), AceBytes(built, 1));  // kept ACEs are unchanged
    EXPECT_EQ(1u, editor.Entries()[0].Mask());              // the entries themselves are sorted
    EXPECT_EQ(built, editor.BuildAcl());                    // kept while the entries stay

    // A second load appends and takes the new revision.
    TestAcl second(ACL_REVISION);
    second.Plain(true, sids.guests.Sid(), 9);
    editor.LoadFromAcl(second.Get());
    EXPECT_EQ(ACL_REVISION, editor.Revision());
    const std::vector<std::string> appended = Describe(editor.BuildAcl());
    ASSERT_EQ(9u, appended.size());
    EXPECT_EQ("0/0/9", appended[3]);  // among the explicit allow entries

    // Five entries start with gap 4, which moves an equal entry past others: not a stable order.
    TestAcl five;
    five.Plain(true, sid, 1).Plain(true, sid, 2).Plain(true, sid, 3).Plain(true, sid, 4);
    five.Plain(false, sid, 5);
    CDaclEditor shell;
    shell.LoadFromAcl(five.Get());
    EXPECT_EQ((std::vector<std::string>{"1/0/5", "0/0/2", "0/0/3", "0/0/4", "0/0/1"}),
              Describe(shell.BuildAcl()));
}

// The damaged second ACE ends right where readable memory does (`length`), so a read beyond it
// faults; the first ACE is a valid 20-byte allow entry at offset 8.
TEST(DaclEditorTest, MalformedAcesRaiseInvalidArgWithoutReadingPastThem) {
    Sids sids;
    const PSID sid = sids.everyone.Sid();
    const struct {
        const char* what;
        bool object;
        const GUID* type;
        const GUID* inherited;
        size_t at;  // offset into the second ACE of the byte to set
        BYTE value;
        WORD length;
    } cases[] = {
        {"plain ACE shorter than its SID", false, nullptr, nullptr, 2, 16, 28 + 16},
        {"plain ACE shorter than a SID header", false, nullptr, nullptr, 2, 12, 28 + 12},
        {"SID sub-authorities beyond the ACE", false, nullptr, nullptr, 9, 2, 28 + 20},
        {"invalid SID revision", false, nullptr, nullptr, 8, 2, 28 + 20},
        {"object ACE shorter than its flags", true, nullptr, nullptr, 2, 8, 28 + 8},
        {"object flags announce a GUID that does not fit", true, &kType, nullptr, 8, 3, 28 + 40},
        {"GUIDs leave no room for the SID", true, &kType, &kInherited, 2, 44, 28 + 44},
        {"ACE beyond the end of the ACL", false, nullptr, nullptr, 2, 200, 28 + 20},
        {"ACE smaller than its header", false, nullptr, nullptr, 2, 2, 28 + 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestAcl acl;
        acl.Plain(true, sids.users.Sid(), 1);
        c.object ? acl.Object(true, sid, 1, c.type, c.inherited) : acl.Plain(false, sid, 1);
        acl.Bytes()[28 + c.at] = c.value;
        const GuardedAcl guarded(acl.Bytes(), c.length);

        CDaclEditor editor;
        editor.AddAllowEntry(sids.guests.Sid(), 2, 0);
        const PACL before = editor.BuildAcl();
        EXPECT_EQ(E_INVALIDARG, RaisedBy([&] { editor.LoadFromAcl(guarded.Get()); }));
        EXPECT_EQ(1u, editor.Entries().size());  // nothing taken, not even the valid ACE
        EXPECT_EQ(before, editor.BuildAcl());
    }
}

TEST(DaclEditorTest, RemovesATrusteesEntriesAndAddsAllowEntries) {
    Sids sids;
    TestAcl acl;
    acl.Plain(false, sids.everyone.Sid(), 0x10)
        .Plain(true, sids.guests.Sid(), 0x20, kInherit)
        .Plain(true, sids.everyone.Sid(), 0x1F01FF, kInherit | INHERITED_ACE)
        .Object(true, sids.everyone.Sid(), 0x80, &kType, nullptr);
    CDaclEditor editor;
    editor.LoadFromAcl(acl.Get());
    EXPECT_EQ(4u, editor.BuildAcl()->AceCount);
    EXPECT_TRUE(editor.RemoveEntriesForSid(sids.everyone.Sid()));
    EXPECT_FALSE(editor.RemoveEntriesForSid(sids.everyone.Sid()));
    EXPECT_EQ(std::vector<std::string>{"0/3/32"}, Describe(editor.BuildAcl()));

    // The rights the auto-fill data folder gets.
    EXPECT_TRUE(editor.AddAllowEntry(sids.users.Sid(), 0x101F01FF, kInherit));
    EXPECT_TRUE(editor.AddAllowEntry(sids.guests.Sid(), 0xC0000000, kInherit));
    const std::vector<std::string> expected = {"0/3/32", "0/3/270467583", "0/3/3221225472"};
    EXPECT_EQ(expected, Describe(editor.BuildAcl()));

    BYTE bogus[12] = {9, 1};
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] { editor.RemoveEntriesForSid(bogus); }));
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] { editor.RemoveEntriesForSid(nullptr); }));
    EXPECT_FALSE(editor.AddAllowEntry(bogus, 1, 0) || editor.AddAllowEntry(nullptr, 1, 0));
    EXPECT_EQ(expected, Describe(editor.BuildAcl()));

    // More than an ACL's 65535 bytes: the platform's error, and nothing kept.
    for (int i = 0; i < 3300; ++i) {
        editor.AddAllowEntry(sids.everyone.Sid(), i, 0);
    }
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), RaisedBy([&] { editor.BuildAcl(); }));
    editor.RemoveEntriesForSid(sids.everyone.Sid());
    EXPECT_EQ(expected.size(), Describe(editor.BuildAcl()).size());
}

TEST(DaclEditorTest, NullDaclStaysNullUntilAnEntryIsAddedOrAnAclLoaded) {
    Sids sids;
    CDaclEditor editor;
    editor.AddAllowEntry(sids.everyone.Sid(), 1, 0);
    editor.LoadFromAcl(nullptr);
    EXPECT_TRUE(editor.IsNullDacl() && editor.Entries().empty());
    EXPECT_FALSE(editor.RemoveEntriesForSid(sids.everyone.Sid()));
    EXPECT_EQ(nullptr, editor.BuildAcl());

    EXPECT_TRUE(editor.AddAllowEntry(sids.users.Sid(), 7, kInherit));
    EXPECT_EQ(std::vector<std::string>{"0/3/7"}, Describe(editor.BuildAcl()));

    TestAcl acl;
    acl.Plain(false, sids.guests.Sid(), 4);
    editor.LoadFromAcl(nullptr);
    editor.LoadFromAcl(acl.Get());
    EXPECT_FALSE(editor.IsNullDacl());
    EXPECT_EQ(std::vector<std::string>{"1/0/4"}, Describe(editor.BuildAcl()));
}

TEST(ReadNamedDaclTest, ReadsAFoldersDaclAndReportsFailuresByResult) {
    const CSecurityId guests = GuestsSid();
    CDaclEditor editor;
    editor.AddAllowEntry(guests.Sid(), 1, 0);
    VrxTest::ScratchFolder scratch;
    EXPECT_FALSE(ReadNamedDacl(nullptr, SE_FILE_OBJECT, &editor));
    EXPECT_FALSE(ReadNamedDacl(scratch.Path().c_str(), SE_FILE_OBJECT, nullptr));
    ::SetLastError(0);
    EXPECT_FALSE(ReadNamedDacl((scratch / L"missing").c_str(), SE_FILE_OBJECT, &editor));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
    EXPECT_EQ(1u, editor.Entries().size());

    // Wine makes the folder's DACL from its mode; whatever it is, it replaces the entries held.
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(0u, ::GetNamedSecurityInfoW(scratch.Path().c_str(), SE_FILE_OBJECT,
                                          DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                          nullptr, &descriptor));
    const UniqueLocalMem descriptorOwner(descriptor);
    ASSERT_TRUE(ReadNamedDacl(scratch.Path().c_str(), SE_FILE_OBJECT, &editor));
    ASSERT_EQ(dacl->AceCount, editor.Entries().size());
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        EXPECT_EQ(AceBytes(dacl, i), editor.Entries()[i].Image());
    }
}

// Registry keys keep the security set on them, a null DACL included.
class ReadNamedDaclKeyTest : public VrxTest::ProductRegistryTest {};

TEST_F(ReadNamedDaclKeyTest, ReadsAKeysDaclAndReportsANullOne) {
    // An object name carries no view: it names the key in the process's own view.
    const wchar_t* const key = L"SOFTWARE\\Varlen\\VRX\\DaclTest";
    VrxTest::CreateKey(key, VrxTest::kNativeView);
    const auto setDacl = [key](PACL dacl) {
        UniqueHKey opened;
        ASSERT_EQ(0, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, WRITE_DAC | VrxTest::kNativeView,
                                     opened.put()));
        SECURITY_DESCRIPTOR descriptor;
        ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
        ASSERT_EQ(0, ::RegSetKeySecurity(opened.get(), DACL_SECURITY_INFORMATION, &descriptor));
    };
    Sids sids;
    CDaclEditor written;
    written.AddAllowEntry(sids.users.Sid(), KEY_READ, CONTAINER_INHERIT_ACE);
    written.AddAllowEntry(sids.everyone.Sid(), KEY_ALL_ACCESS, 0);
    setDacl(written.BuildAcl());

    const wchar_t* const name = L"MACHINE\\SOFTWARE\\Varlen\\VRX\\DaclTest";
    CDaclEditor read;
    ASSERT_TRUE(ReadNamedDacl(name, SE_REGISTRY_KEY, &read));
    EXPECT_EQ(Describe(written.BuildAcl()), Describe(read.BuildAcl()));

    setDacl(nullptr);
    EXPECT_FALSE(ReadNamedDacl(name, SE_REGISTRY_KEY, &read));
    EXPECT_FALSE(read.IsNullDacl());
    EXPECT_EQ(2u, read.Entries().size());
}
