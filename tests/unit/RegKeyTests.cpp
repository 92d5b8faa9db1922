#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <wincrypt.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "support/RegKey.h"
#include "support/UniqueAny.h"
#include "tests/support/Registry.h"

using namespace VrxTest;
using Tessel::CObfuscatedRegKey;
using Tessel::CRegKey;

namespace {

constexpr const wchar_t* kKey = L"SOFTWARE\\Varlen\\RegKeyTest";
constexpr const wchar_t* kOtherKey = L"SOFTWARE\\Varlen\\RegKeyOther";
constexpr REGSAM kAll64 = KEY_ALL_ACCESS | KEY_WOW64_64KEY;

using Bytes = std::vector<BYTE>;

Bytes BytesOf(const void* data, size_t size) {
    const BYTE* begin = static_cast<const BYTE*>(data);
    return Bytes(begin, begin + size);
}

Bytes FromHex(const char* hex) {
    Bytes bytes;
    for (; hex[0] != '\0' && hex[1] != '\0'; hex += 2) {
        bytes.push_back(static_cast<BYTE>(std::stoi(std::string(hex, 2), nullptr, 16)));
    }
    return bytes;
}

// ---- An encoder of the enciphered record written from its description: RC4 keyed with the
// value key, a chaining byte taken from the first keystream byte, two keystream bytes per data
// byte; MD5 from CryptoAPI.

constexpr char kValueKey[] = "{935337C7-AA96-47E1-BB39-F1A30A643ACF}";

struct Rc4 {
    BYTE s[256];
    int i = 0, j = 0;
    Rc4() {
        for (int k = 0; k < 256; ++k) {
            s[k] = static_cast<BYTE>(k);
        }
        const int length = static_cast<int>(strlen(kValueKey));
        for (int k = 0, m = 0; k < 256; ++k) {
            m = (m + s[k] + static_cast<BYTE>(kValueKey[k % length])) & 0xFF;
            std::swap(s[k], s[m]);
        }
    }
    int Next() {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        return s[(s[i] + s[j]) & 0xFF];
    }
};

Bytes Encipher(const Bytes& plain) {
    Rc4 rc4;
    int chain = rc4.Next();
    Bytes out;
    for (BYTE p : plain) {
        chain ^= p;
        const int k1 = rc4.Next();
        const int k2 = rc4.Next();
        out.push_back(static_cast<BYTE>(k2 + (k1 ^ chain)));
    }
    return out;
}

Bytes Md5(const Bytes& data) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    Bytes digest(16);
    DWORD size = 16;
    EXPECT_TRUE(
        ::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_TRUE(::CryptCreateHash(provider, CALG_MD5, 0, 0, &hash));
    EXPECT_TRUE(::CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0));
    EXPECT_TRUE(::CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &size, 0));
    ::CryptDestroyHash(hash);
    ::CryptReleaseContext(provider, 0);
    return digest;
}

void PutLe32(Bytes& record, size_t at, DWORD value) {
    memcpy(record.data() + at, &value, 4);
}

// Recomputes the digest field of `record`.
void Seal(Bytes& record) {
    memset(record.data() + 16, 0, 16);
    const Bytes digest = Md5(record);
    memcpy(record.data() + 16, digest.data(), 16);
}

Bytes Record(DWORD type, const Bytes& plain) {
    Bytes record(32);
    memcpy(record.data(), "VLRG", 4);
    PutLe32(record, 4, 1);
    PutLe32(record, 8, static_cast<DWORD>(plain.size()));
    PutLe32(record, 12, type);
    const Bytes payload = Encipher(plain);
    record.insert(record.end(), payload.begin(), payload.end());
    Seal(record);
    return record;
}

Bytes Utf8(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Tessel::UniqueHKey CreateInView(const wchar_t* path, REGSAM view) {
    Tessel::UniqueHKey key;
    EXPECT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                                               KEY_ALL_ACCESS | view, nullptr, key.put(), nullptr));
    return key;
}

class RegKeyTest : public ProductRegistryTest {
protected:
    void SetUp() override {
        ProductRegistryTest::SetUp();
        CreateKey(kKey);
        ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_LOCAL_MACHINE, kKey, kAll64));
        ASSERT_EQ(ERROR_SUCCESS, obfuscated.Open(HKEY_LOCAL_MACHINE, kKey, kAll64));
    }

    CRegKey key;
    CObfuscatedRegKey obfuscated;
};

}  // namespace

// ---- The plain wrapper.

TEST_F(RegKeyTest, TypedWritesStoreThePlainFormAndReadBack) {
    ASSERT_EQ(ERROR_SUCCESS, key.WriteDword(L"dword", 0x12345678));
    ASSERT_EQ(ERROR_SUCCESS, key.WriteQword(L"qword", 0x0102030405060708ull));
    ASSERT_EQ(ERROR_SUCCESS, key.WriteString(L"sz", L"text"));
    ASSERT_EQ(ERROR_SUCCESS, key.WriteString(L"expand", L"%TEMP%", REG_EXPAND_SZ));
    ASSERT_EQ(ERROR_SUCCESS, key.WriteMultiString(L"multi", L"a\0bc\0"));
    const GUID guid = {
        0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    ASSERT_EQ(ERROR_SUCCESS, key.WriteGuid(L"guid", guid));
    const BYTE blob[] = {0, 1, 2, 0xFF};
    ASSERT_EQ(ERROR_SUCCESS, key.WriteBinary(L"binary", blob, sizeof(blob)));

    EXPECT_EQ(0x12345678u, ReadValue(kKey, L"dword").AsDword());
    EXPECT_EQ(BytesOf(L"text", 10), ReadValue(kKey, L"sz").data);
    EXPECT_EQ(BytesOf(L"a\0bc\0", 12), ReadValue(kKey, L"multi").data);
    EXPECT_EQ(L"{01234567-89AB-CDEF-0123-456789ABCDEF}", ReadValue(kKey, L"guid").AsString());

    DWORD dword = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.ReadDword(L"dword", dword));
    EXPECT_EQ(0x12345678u, dword);
    ULONGLONG qword = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.ReadQword(L"qword", qword));
    EXPECT_EQ(0x0102030405060708ull, qword);
    std::wstring text;
    EXPECT_EQ(ERROR_SUCCESS, key.ReadString(L"expand", text));
    EXPECT_EQ(L"%TEMP%", text);
    wchar_t multi[16];
    DWORD chars = 16;
    EXPECT_EQ(ERROR_SUCCESS, key.ReadMultiString(L"multi", multi, chars));
    EXPECT_EQ(6u, chars);
    GUID read = {};
    EXPECT_EQ(ERROR_SUCCESS, key.ReadGuid(L"guid", read));
    EXPECT_TRUE(IsEqualGUID(guid, read));
    BYTE readBlob[8];
    DWORD bytes = sizeof(readBlob);
    EXPECT_EQ(ERROR_SUCCESS, key.ReadBinary(L"binary", readBlob, bytes));
    EXPECT_EQ(BytesOf(blob, sizeof(blob)), BytesOf(readBlob, bytes));

    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.WriteRawValue(L"x", REG_BINARY, nullptr, 4));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.WriteBinary(L"x", blob, 0));
    EXPECT_EQ(ERROR_INVALID_DATA, key.WriteString(L"x", nullptr));
    EXPECT_EQ(ERROR_INVALID_DATA, key.WriteMultiString(L"x", nullptr));
    EXPECT_FALSE(ReadValue(kKey, L"x").present);
}

TEST_F(RegKeyTest, StringReadsAcceptOnlyTerminatedText) {
    SetRaw(kKey, L"unterminated", REG_SZ, L"abcd", 8);
    SetRaw(kKey, L"odd", REG_SZ, "abc", 3);
    SetRaw(kKey, L"empty", REG_SZ, nullptr, 0);
    SetString(kKey, L"long", std::wstring(300, L'x'));
    SetDword(kKey, L"dword", 7);

    wchar_t buffer[16];
    DWORD chars = 16;
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadStringBuffer(L"unterminated", buffer, chars));
    chars = 16;
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadStringBuffer(L"odd", buffer, chars));
    chars = 16;
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadStringBuffer(L"dword", buffer, chars));
    EXPECT_EQ(0u, chars);
    chars = 16;
    buffer[0] = L'#';
    EXPECT_EQ(ERROR_SUCCESS, key.ReadStringBuffer(L"empty", buffer, chars));
    EXPECT_EQ(0u, chars);
    EXPECT_EQ(L'\0', buffer[0]);
    chars = 16;
    EXPECT_EQ(ERROR_MORE_DATA, key.ReadStringBuffer(L"long", buffer, chars));
    EXPECT_EQ(0u, chars);
    chars = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.ReadStringBuffer(L"long", nullptr, chars));
    EXPECT_EQ(301u, chars);

    // ReadString sizes its own buffer, and an empty value is an empty string.
    std::wstring text = L"old";
    EXPECT_EQ(ERROR_SUCCESS, key.ReadString(L"long", text));
    EXPECT_EQ(std::wstring(300, L'x'), text);
    EXPECT_EQ(ERROR_SUCCESS, key.ReadString(L"empty", text));
    EXPECT_EQ(L"", text);
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadString(L"unterminated", text));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.ReadString(L"missing", text));
}

TEST_F(RegKeyTest, MultiStringReadsCheckTheListEnd) {
    SetRaw(kKey, L"lone", REG_MULTI_SZ, L"", 2);
    SetRaw(kKey, L"three", REG_MULTI_SZ, "\0\0\0", 3);
    SetRaw(kKey, L"single", REG_MULTI_SZ, L"a", 4);  // "a" and its terminator, no list end
    SetString(kKey, L"sz", L"a");

    wchar_t buffer[8];
    DWORD chars = 1;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, key.ReadMultiString(L"lone", buffer, chars));
    chars = 8;
    EXPECT_EQ(ERROR_SUCCESS, key.ReadMultiString(L"lone", buffer, chars));
    EXPECT_EQ(1u, chars);
    chars = 8;
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadMultiString(L"three", buffer, chars));
    chars = 8;
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadMultiString(L"single", buffer, chars));
    chars = 8;
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadMultiString(L"sz", buffer, chars));
    chars = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.ReadMultiString(L"single", nullptr, chars));
    EXPECT_EQ(2u, chars);
}

TEST_F(RegKeyTest, FixedSizeAndGuidReadsCheckTypeAndSize) {
    const DWORD four = 4;
    SetRaw(kKey, L"binary4", REG_BINARY, &four, 4);
    SetRaw(kKey, L"shortDword", REG_DWORD, &four, 2);
    SetDword(kKey, L"dword", 4);
    SetString(kKey, L"unbraced", L"01234567-89AB-CDEF-0123-456789ABCDEF");
    SetString(kKey, L"braced", L"{not a guid}");

    DWORD dword = 99;
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadDword(L"binary4", dword));
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadDword(L"shortDword", dword));
    EXPECT_EQ(99u, dword);
    ULONGLONG qword = 99;
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadQword(L"dword", qword));
    EXPECT_EQ(99u, qword);
    BYTE bytes[8];
    DWORD size = sizeof(bytes);
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadBinary(L"dword", bytes, size));
    GUID guid = {1, 0, 0, {}};
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadGuid(L"unbraced", guid));
    EXPECT_EQ(0u, guid.Data1);
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadGuid(L"braced", guid));
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadGuid(L"dword", guid));
}

TEST_F(RegKeyTest, OperationsNeedAKeyAndTheirPointers) {
    CRegKey empty;
    DWORD dword = 0;
    DWORD chars = 4;
    wchar_t name[4];
    EXPECT_EQ(ERROR_INVALID_PARAMETER, empty.ReadDword(L"v", dword));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, empty.ReadStringBuffer(L"v", name, chars));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, empty.EnumSubKey(0, name, chars));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, empty.DeleteSubKeyTree(L"x"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, empty.GrantEveryoneFullAccess(false));
    EXPECT_EQ(ERROR_SUCCESS, empty.Close());

    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.DeleteValue(nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.DeleteSubKeyTree(nullptr));  // would empty the key
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              key.ReadSecurity(DACL_SECURITY_INFORMATION, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.WriteSecurity(DACL_SECURITY_INFORMATION, nullptr));
}

TEST_F(RegKeyTest, FailedOpenKeepsTheKeyAndHandOverMovesIt) {
    SetString(kKey, L"marker", L"first");
    const HKEY held = key.Handle();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varlen\\Missing"));
    EXPECT_EQ(held, key.Handle());
    std::wstring text;
    EXPECT_EQ(ERROR_SUCCESS, key.ReadString(L"marker", text));
    EXPECT_EQ(L"first", text);

    DWORD disposition = 0;
    CRegKey created;
    EXPECT_EQ(ERROR_SUCCESS, created.Create(HKEY_LOCAL_MACHINE, kOtherKey, nullptr, 0, kAll64,
                                            nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_EQ(ERROR_SUCCESS, created.Create(HKEY_LOCAL_MACHINE, kOtherKey, nullptr, 0, kAll64,
                                            nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);

    // Detach from one wrapper, attach to another.
    const HKEY detached = key.Detach();
    EXPECT_EQ(held, detached);
    EXPECT_EQ(nullptr, key.Handle());
    CRegKey taker;
    taker.Attach(detached);
    EXPECT_EQ(ERROR_SUCCESS, taker.ReadString(L"marker", text));

    // Copies share the key: dropping one leaves the other's key open.
    {
        CRegKey copy(taker);
        EXPECT_EQ(detached, copy.Handle());
    }
    EXPECT_EQ(ERROR_SUCCESS, taker.ReadString(L"marker", text));
}

TEST_F(RegKeyTest, DeleteOnCloseEmptiesTheKeyBeforeAnotherIsTaken) {
    SetString(kKey, L"value", L"v");
    CreateKey(L"SOFTWARE\\Varlen\\RegKeyTest\\child\\grandchild");
    CreateKey(kOtherKey);
    key.SetDeleteOnClose(true);
    EXPECT_TRUE(key.DeleteOnClose());
    EXPECT_EQ(ERROR_SUCCESS, key.Open(HKEY_LOCAL_MACHINE, kOtherKey, kAll64));
    EXPECT_FALSE(key.DeleteOnClose());
    EXPECT_FALSE(ReadValue(kKey, L"value").present);
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Varlen\\RegKeyTest\\child"));

    // The one in the destructor too, but not after a hand-over.
    SetString(kOtherKey, L"value", L"v");
    {
        CRegKey scoped;
        ASSERT_EQ(ERROR_SUCCESS, scoped.Open(HKEY_LOCAL_MACHINE, kOtherKey, kAll64));
        scoped.SetDeleteOnClose(true);
        Tessel::UniqueHKey handedOver(scoped.Detach());
    }
    EXPECT_TRUE(ReadValue(kOtherKey, L"value").present);
    {
        CRegKey scoped;
        ASSERT_EQ(ERROR_SUCCESS, scoped.Open(HKEY_LOCAL_MACHINE, kOtherKey, kAll64));
        scoped.SetDeleteOnClose(true);
    }
    EXPECT_FALSE(ReadValue(kOtherKey, L"value").present);

    // Attaching another key closes the one held, with its pending deletion.
    SetString(kOtherKey, L"value", L"v");
    CRegKey attached;
    ASSERT_EQ(ERROR_SUCCESS, attached.Open(HKEY_LOCAL_MACHINE, kOtherKey, kAll64));
    attached.SetDeleteOnClose(true);
    Tessel::UniqueHKey replacement;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varlen", 0,
                                             KEY_READ | KEY_WOW64_64KEY, replacement.put()));
    attached.Attach(replacement.release());
    EXPECT_FALSE(attached.DeleteOnClose());
    EXPECT_FALSE(ReadValue(kOtherKey, L"value").present);
}

TEST_F(RegKeyTest, DeletionsWorkInTheViewTheKeyWasOpenedIn) {
    CreateInView(L"SOFTWARE\\Varlen\\Tree\\a\\b\\c", KEY_WOW64_32KEY);
    CreateInView(L"SOFTWARE\\Varlen\\Tree\\a2", KEY_WOW64_32KEY);
    CreateInView(L"SOFTWARE\\Varlen\\Tree\\a\\b\\c", KEY_WOW64_64KEY);
    ASSERT_TRUE(KeyExists(L"SOFTWARE\\Varlen\\Tree\\a\\b\\c", KEY_WOW64_32KEY));

    CRegKey parent32;
    ASSERT_EQ(ERROR_SUCCESS, parent32.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varlen",
                                           KEY_ALL_ACCESS | KEY_WOW64_32KEY));
    EXPECT_NE(ERROR_SUCCESS, parent32.DeleteSubKey(L"Tree"));  // it has sub-keys
    EXPECT_EQ(ERROR_SUCCESS, parent32.DeleteSubKeyTree(L"Tree"));
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Varlen\\Tree", KEY_WOW64_32KEY));
    EXPECT_TRUE(KeyExists(L"SOFTWARE\\Varlen\\Tree\\a\\b\\c", KEY_WOW64_64KEY));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, parent32.DeleteSubKeyTree(L"Tree"));

    CRegKey parent64;
    ASSERT_EQ(ERROR_SUCCESS, parent64.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varlen\\Tree\\a\\b",
                                           KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    EXPECT_EQ(ERROR_SUCCESS, parent64.DeleteSubKey(L"c"));
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Varlen\\Tree\\a\\b\\c", KEY_WOW64_64KEY));

    SetString(kKey, L"value", L"v");
    EXPECT_EQ(ERROR_SUCCESS, key.DeleteValue(L"value"));
    EXPECT_FALSE(ReadValue(kKey, L"value").present);
}

TEST_F(RegKeyTest, EnumSubKeyListsEveryChild) {
    for (const wchar_t* child : {L"alpha", L"beta", L"a-much-longer-name"}) {
        CreateKey((std::wstring(kKey) + L"\\" + child).c_str());
    }
    std::set<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD chars = 256;
        FILETIME written = {};
        const DWORD status = key.EnumSubKey(index, name, chars, &written);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ASSERT_EQ(ERROR_SUCCESS, status);
        EXPECT_EQ(wcslen(name), chars);
        EXPECT_NE(0u, written.dwHighDateTime);
        names.insert(name);
    }
    EXPECT_EQ((std::set<std::wstring>{L"alpha", L"beta", L"a-much-longer-name"}), names);
    wchar_t small[4];
    DWORD chars = 4;
    EXPECT_EQ(ERROR_MORE_DATA, key.EnumSubKey(0, small, chars));
}

TEST_F(RegKeyTest, WatchChangesSignalsAValueWrite) {
    const Tessel::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    ASSERT_EQ(ERROR_SUCCESS,
              key.WatchChanges(false, REG_NOTIFY_CHANGE_LAST_SET, event.get(), true));
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(event.get(), 0));
    SetDword(kKey, L"changed", 1);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event.get(), 5000));
}

// Everyone (S-1-1-0), owned by the caller.
struct EveryoneSid {
    PSID sid = nullptr;
    EveryoneSid() {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        EXPECT_TRUE(::AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
    }
    ~EveryoneSid() { ::FreeSid(sid); }
};

TEST_F(RegKeyTest, GrantEveryoneFullAccessOpensTheKeyAndItsSubKeys) {
    const std::wstring grandchildPath = std::wstring(kKey) + L"\\child\\grandchild";
    CreateKey(grandchildPath.c_str());
    // Everyone may only read the key and change its DACL.
    const EveryoneSid everyone;
    EXPLICIT_ACCESSW readOnly = {};
    readOnly.grfAccessPermissions = KEY_READ | WRITE_DAC;
    readOnly.grfAccessMode = SET_ACCESS;
    readOnly.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    readOnly.Trustee.ptstrName = static_cast<LPWSTR>(everyone.sid);
    PACL acl = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::SetEntriesInAclW(1, &readOnly, nullptr, &acl));
    const Tessel::UniqueLocalMem aclOwner(acl);
    SECURITY_DESCRIPTOR restricted;
    ::InitializeSecurityDescriptor(&restricted, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&restricted, TRUE, acl, FALSE);
    ASSERT_EQ(ERROR_SUCCESS, key.WriteSecurity(DACL_SECURITY_INFORMATION, &restricted));
    Tessel::UniqueHKey probe;
    ASSERT_EQ(ERROR_ACCESS_DENIED, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0,
                                                   KEY_SET_VALUE | KEY_WOW64_64KEY, probe.put()));

    ASSERT_EQ(ERROR_SUCCESS, key.GrantEveryoneFullAccess(true));

    // The key and, below it, the grandchild hold one entry: Everyone with full access,
    // inherited by sub-keys.
    for (const wchar_t* path : {kKey, grandchildPath.c_str()}) {
        SCOPED_TRACE(testing::Message() << path);
        CRegKey reader;
        ASSERT_EQ(ERROR_SUCCESS,
                  reader.Open(HKEY_LOCAL_MACHINE, path, READ_CONTROL | KEY_WOW64_64KEY));
        DWORD size = 0;
        ASSERT_EQ(ERROR_INSUFFICIENT_BUFFER,
                  reader.ReadSecurity(DACL_SECURITY_INFORMATION, nullptr, &size));
        Bytes descriptor(size);
        ASSERT_EQ(ERROR_SUCCESS,
                  reader.ReadSecurity(DACL_SECURITY_INFORMATION, descriptor.data(), &size));
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted));
        ASSERT_TRUE(present && dacl != nullptr);
        ASSERT_EQ(1u, dacl->AceCount);
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        EXPECT_EQ(CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE, ace->Header.AceFlags);
        EXPECT_TRUE(ace->Mask == GENERIC_ALL || ace->Mask == KEY_ALL_ACCESS) << ace->Mask;
        EXPECT_TRUE(::EqualSid(everyone.sid, &ace->SidStart));
    }
    EXPECT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0,
                                             KEY_SET_VALUE | KEY_WOW64_64KEY, probe.put()));
}

// ---- The enciphered record.

TEST_F(RegKeyTest, EncipheredWritesStoreTheDocumentedRecord) {
    ASSERT_EQ(ERROR_SUCCESS, obfuscated.WriteDword(L"dword", 0x12345678));
    const DWORD dword = 0x12345678;
    const RegValue stored = ReadValue(kKey, L"dword");
    EXPECT_EQ(REG_BINARY, stored.type);
    EXPECT_EQ(Record(REG_DWORD, BytesOf(&dword, 4)), stored.data);
    // The same record, worked out apart from this library.
    EXPECT_EQ(FromHex("564c52470100000004000000040000004ff584b34648c1bbce390e8f6f4df444ea48a970"),
              stored.data);

    const wchar_t* text = L"Gr\u00fc\u00dfe \u20ac";
    ASSERT_EQ(ERROR_SUCCESS, obfuscated.WriteString(L"sz", text));
    const Bytes expected = Record(REG_SZ, Utf8("Gr\xc3\xbc\xc3\x9f"
                                               "e \xe2\x82\xac" +
                                               std::string(1, '\0')));
    EXPECT_EQ(expected, ReadValue(kKey, L"sz").data);
    ASSERT_EQ(ERROR_SUCCESS, obfuscated.WriteString(L"sz", text));
    EXPECT_EQ(expected, ReadValue(kKey, L"sz").data);  // records do not depend on earlier ones

    ASSERT_EQ(ERROR_SUCCESS, obfuscated.WriteMultiString(L"multi", L"a\0\u00e9\0"));
    EXPECT_EQ(Record(REG_MULTI_SZ, Utf8(std::string("a\0\xc3\xa9\0\0", 6))),
              ReadValue(kKey, L"multi").data);

    // A string is taken only within the given size, terminated or not.
    ASSERT_EQ(ERROR_SUCCESS, obfuscated.WriteRawValue(L"cut", REG_SZ, L"abcdef", 6));
    EXPECT_EQ(Record(REG_SZ, Utf8(std::string("abc\0", 4))), ReadValue(kKey, L"cut").data);

    // And they read back in their own types.
    DWORD readDword = 0;
    EXPECT_EQ(ERROR_SUCCESS, obfuscated.ReadDword(L"dword", readDword));
    EXPECT_EQ(0x12345678u, readDword);
    std::wstring readText;
    EXPECT_EQ(ERROR_SUCCESS, obfuscated.ReadString(L"sz", readText));
    EXPECT_EQ(text, readText);
    wchar_t multi[8];
    DWORD chars = 8;
    EXPECT_EQ(ERROR_SUCCESS, obfuscated.ReadMultiString(L"multi", multi, chars));
    EXPECT_EQ(5u, chars);
    EXPECT_EQ(0, memcmp(L"a\0\u00e9\0", multi, 10));
    GUID guid = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    ASSERT_EQ(ERROR_SUCCESS, obfuscated.WriteGuid(L"guid", guid));
    GUID readGuid = {};
    EXPECT_EQ(ERROR_SUCCESS, obfuscated.ReadGuid(L"guid", readGuid));
    EXPECT_TRUE(IsEqualGUID(guid, readGuid));

    // A plain read sees only the record.
    EXPECT_EQ(ERROR_INVALID_DATA, key.ReadString(L"sz", readText));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, obfuscated.WriteBinary(L"x", "", 0));
}

TEST_F(RegKeyTest, HandBuiltRecordsAreDecipheredInTheirRecordedType) {
    const Bytes binary = Record(REG_BINARY, {1, 2, 3});
    SetRaw(kKey, L"binary", REG_BINARY, binary.data(), binary.size());
    const Bytes qword = Record(REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1});
    SetRaw(kKey, L"qword", REG_BINARY, qword.data(), qword.size());
    const Bytes sz = Record(REG_SZ, Utf8(std::string("caf\xc3\xa9\0", 6)));
    SetRaw(kKey, L"sz", REG_BINARY, sz.data(), sz.size());
    const Bytes unterminated = Record(REG_SZ, Utf8("abc"));
    SetRaw(kKey, L"unterminated", REG_BINARY, unterminated.data(), unterminated.size());
    const Bytes multi = Record(REG_MULTI_SZ, Utf8(std::string("ab\0cd\0\0", 7)));
    SetRaw(kKey, L"multi", REG_BINARY, multi.data(), multi.size());

    BYTE bytes[8] = {};
    DWORD size = sizeof(bytes);
    EXPECT_EQ(ERROR_SUCCESS, obfuscated.ReadBinary(L"binary", bytes, size));
    EXPECT_EQ((Bytes{1, 2, 3}), BytesOf(bytes, size));
    size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, obfuscated.ReadBinary(L"binary", bytes, size));
    EXPECT_EQ(3u, size);
    ULONGLONG value = 0;
    EXPECT_EQ(ERROR_SUCCESS, obfuscated.ReadQword(L"qword", value));
    EXPECT_EQ(0x0102030405060708ull, value);

    DWORD type = 0;
    size = 0;
    EXPECT_EQ(ERROR_SUCCESS, obfuscated.ReadRawValue(L"sz", &type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(10u, size);  // UTF-16 with the terminator
    wchar_t text[8];
    DWORD chars = 4;
    EXPECT_EQ(ERROR_MORE_DATA, obfuscated.ReadStringBuffer(L"sz", text, chars));
    chars = 8;
    EXPECT_EQ(ERROR_SUCCESS, obfuscated.ReadStringBuffer(L"sz", text, chars));
    EXPECT_STREQ(L"caf\u00e9", text);
    EXPECT_EQ(ERROR_INVALID_DATA, obfuscated.ReadStringBuffer(L"unterminated", text, chars));

    wchar_t list[8];
    std::fill(std::begin(list), std::end(list), L'#');
    chars = 6;  // one short of "ab", "cd" and the list end
    EXPECT_EQ(ERROR_MORE_DATA, obfuscated.ReadMultiString(L"multi", list, chars));
    size = 12;
    EXPECT_EQ(ERROR_MORE_DATA, obfuscated.ReadRawValue(L"multi", nullptr, list, &size));
    EXPECT_EQ(14u, size);
    EXPECT_EQ(Bytes(12, 0), BytesOf(list, 12));  // a short buffer is zero-filled
    chars = 8;
    EXPECT_EQ(ERROR_SUCCESS, obfuscated.ReadMultiString(L"multi", list, chars));
    EXPECT_EQ(7u, chars);
    EXPECT_EQ(0, memcmp(L"ab\0cd\0", list, 14));

    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              obfuscated.ReadRawValue(L"binary", nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, obfuscated.ReadRawValue(L"binary", &type, bytes, nullptr));
}

TEST_F(RegKeyTest, DamagedRecordsAreRefused) {
    using Tessel::RecordFault;
    const Bytes good = Record(REG_DWORD, {1, 0, 0, 0});
    EXPECT_EQ(RecordFault::None, Tessel::InspectEncipheredRecord(good.data(), good.size()));
    struct Damaged {
        const wchar_t* name;
        Bytes bytes;
        RecordFault fault;
    };
    std::vector<Damaged> damaged;
    Bytes record = good;
    record[32] ^= 1;  // one payload byte
    damaged.push_back({L"payload", record, RecordFault::DigestMismatch});
    record = good;
    record[20] ^= 1;  // the digest
    damaged.push_back({L"digest", record, RecordFault::DigestMismatch});
    record = good;
    memcpy(record.data(), "VLRX", 4);
    Seal(record);
    damaged.push_back({L"tag", record, RecordFault::BadTag});
    record = good;
    PutLe32(record, 8, 3);
    Seal(record);
    damaged.push_back({L"length", record, RecordFault::TrailingBytes});
    record = good;
    record.push_back(0);
    Seal(record);
    damaged.push_back({L"longer", record, RecordFault::TrailingBytes});
    record = good;
    PutLe32(record, 8, 5);
    Seal(record);
    damaged.push_back({L"cut", record, RecordFault::Truncated});
    damaged.push_back({L"short", Bytes(good.begin(), good.begin() + 31), RecordFault::Truncated});
    for (const auto& [name, bytes, fault] : damaged) {
        SetRaw(kKey, name, REG_BINARY, bytes.data(), bytes.size());
        DWORD value = 0;
        EXPECT_EQ(ERROR_INVALID_DATA, obfuscated.ReadDword(name, value)) << name;
        EXPECT_EQ(fault, Tessel::InspectEncipheredRecord(bytes.data(), bytes.size())) << name;
    }
    SetDword(kKey, L"plain", 1);
    DWORD value = 0;
    EXPECT_EQ(ERROR_INVALID_DATA, obfuscated.ReadDword(L"plain", value));

    // The version field is not checked.
    record = good;
    PutLe32(record, 4, 7);
    Seal(record);
    SetRaw(kKey, L"version", REG_BINARY, record.data(), record.size());
    EXPECT_EQ(ERROR_SUCCESS, obfuscated.ReadDword(L"version", value));
    EXPECT_EQ(1u, value);

    // A large record needs the second read.
    Bytes large(1000);
    for (size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<BYTE>(i * 7);
    }
    ASSERT_EQ(ERROR_SUCCESS, obfuscated.WriteBinary(L"large", large.data(), 1000));
    EXPECT_EQ(Record(REG_BINARY, large), ReadValue(kKey, L"large").data);
    Bytes readBack(1000);
    DWORD size = 1000;
    EXPECT_EQ(ERROR_SUCCESS, obfuscated.ReadBinary(L"large", readBack.data(), size));
    EXPECT_EQ(large, readBack);
}

TEST_F(RegKeyTest, StringRecordsMustEndWhereTheirValueEnds) {
    // Anything the reader would have to drop or replace makes the record invalid.
    const struct {
        const wchar_t* name;
        DWORD type;
        std::string plain;
        DWORD status;
        DWORD bytes;  // delivered, on success
    } cases[] = {
        {L"text after the terminator", REG_SZ, std::string("ab\0cd\0", 6), ERROR_INVALID_DATA, 0},
        {L"not UTF-8", REG_SZ, std::string("a\xff\0", 3), ERROR_INVALID_DATA, 0},
        {L"an overlong form", REG_SZ, std::string("\xc0\xaf\0", 3), ERROR_INVALID_DATA, 0},
        {L"a list with bytes after its end", REG_MULTI_SZ, std::string("a\0\0b\0\0", 6),
         ERROR_INVALID_DATA, 0},
        {L"a list, not UTF-8", REG_MULTI_SZ, std::string("a\0\xc3\0\0", 5), ERROR_INVALID_DATA, 0},
        {L"a list without its empty string", REG_MULTI_SZ, std::string("a\0", 2), ERROR_SUCCESS, 6},
        {L"an empty list", REG_MULTI_SZ, std::string(), ERROR_SUCCESS, 2},
    };
    for (const auto& c : cases) {
        const Bytes record = Record(c.type, Utf8(c.plain));
        SetRaw(kKey, c.name, REG_BINARY, record.data(), record.size());
        DWORD type = 0;
        DWORD bytes = 0;
        EXPECT_EQ(c.status, obfuscated.ReadRawValue(c.name, &type, nullptr, &bytes)) << c.name;
        if (c.status == ERROR_SUCCESS) {
            EXPECT_EQ(c.bytes, bytes) << c.name;
        }
    }
}
