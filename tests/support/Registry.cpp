#include "Registry.h"

#include <aclapi.h>
#include <winternl.h>

#include <memory>

#include "LogCapture.h"
#include "support/UniqueAny.h"

namespace VrxTest {
namespace {

Tessel::UniqueHKey OpenForWrite(const wchar_t* path, REGSAM view = KEY_WOW64_64KEY) {
    Tessel::UniqueHKey key;
    const LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                                             KEY_ALL_ACCESS | view, nullptr, key.put(), nullptr);
    EXPECT_EQ(ERROR_SUCCESS, status) << "creating a test key";
    return key;
}

void DeleteTree(const wchar_t* parent, const wchar_t* child) {
    Tessel::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, parent, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                        key.put()) == ERROR_SUCCESS) {
        ::RegDeleteTreeW(key.get(), child);
    }
}

}  // namespace

void RemoveProductKeys() {
    DeleteTree(L"SOFTWARE", L"Varlen");
    DeleteTree(L"SOFTWARE\\Wow6432Node", L"Varlen");
}

void CreateKey(const wchar_t* path, REGSAM view) {
    OpenForWrite(path, view);
}

void SetRaw(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, size_t bytes,
            REGSAM view) {
    // RegSetValueExW under Wine terminates a string that lacks it; the native call stores the
    // bytes exactly as given, as Windows does.
    using NtSetValueKeyFn = LONG(NTAPI*)(HANDLE, UNICODE_STRING*, ULONG, ULONG, const void*, ULONG);
    static const auto ntSetValueKey = reinterpret_cast<NtSetValueKeyFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
    ASSERT_NE(nullptr, ntSetValueKey);
    const Tessel::UniqueHKey opened = OpenForWrite(key, view);
    UNICODE_STRING valueName;
    valueName.Buffer = const_cast<wchar_t*>(name);
    valueName.Length = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    valueName.MaximumLength = valueName.Length;
    ASSERT_EQ(0, ntSetValueKey(opened.get(), &valueName, 0, type, data, static_cast<ULONG>(bytes)));
}

void SetString(const wchar_t* key, const wchar_t* name, const std::wstring& value, DWORD type,
               REGSAM view) {
    SetRaw(key, name, type, value.c_str(), (value.size() + 1) * sizeof(wchar_t), view);
}

void SetDword(const wchar_t* key, const wchar_t* name, DWORD value, REGSAM view) {
    SetRaw(key, name, REG_DWORD, &value, sizeof(value), view);
}

void DeleteValue(const wchar_t* key, const wchar_t* name, REGSAM view) {
    const Tessel::UniqueHKey opened = OpenForWrite(key, view);
    ::RegDeleteValueW(opened.get(), name);
}

DWORD RegValue::AsDword() const {
    DWORD value = 0;
    if (data.size() == sizeof(value)) {
        memcpy(&value, data.data(), sizeof(value));
    }
    return value;
}

std::wstring RegValue::AsString() const {
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

RegValue ReadValue(const wchar_t* key, const wchar_t* name, REGSAM view) {
    RegValue value;
    Tessel::UniqueHKey opened;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | view, opened.put()) !=
        ERROR_SUCCESS) {
        return value;
    }
    DWORD bytes = 0;
    if (::RegQueryValueExW(opened.get(), name, nullptr, &value.type, nullptr, &bytes) !=
        ERROR_SUCCESS) {
        return value;
    }
    value.data.resize(bytes);
    if (::RegQueryValueExW(opened.get(), name, nullptr, &value.type, value.data.data(), &bytes) ==
        ERROR_SUCCESS) {
        value.present = true;
        value.data.resize(bytes);
    }
    return value;
}

bool KeyExists(const wchar_t* key, REGSAM view) {
    Tessel::UniqueHKey opened;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | view, opened.put()) ==
           ERROR_SUCCESS;
}

namespace {

// Replaces the key's DACL with entries for Everyone: a deny entry for `deniedRights` (none when
// 0) ahead of a grant of all access.
void SetEveryoneDacl(HKEY key, DWORD deniedRights) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(
        ::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    const std::unique_ptr<void, decltype(&::FreeSid)> everyoneOwner(everyone, &::FreeSid);
    EXPLICIT_ACCESSW entries[2] = {};
    ULONG count = 0;
    const auto add = [&](DWORD rights, ACCESS_MODE mode) {
        entries[count].grfAccessPermissions = rights;
        entries[count].grfAccessMode = mode;
        entries[count].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[count].Trustee.ptstrName = static_cast<LPWSTR>(everyone);
        ++count;
    };
    if (deniedRights != 0) {
        add(deniedRights, DENY_ACCESS);
    }
    add(KEY_ALL_ACCESS, GRANT_ACCESS);
    PACL acl = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::SetEntriesInAclW(count, entries, nullptr, &acl));
    const std::unique_ptr<ACL, decltype(&::LocalFree)> aclOwner(acl, &::LocalFree);
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    EXPECT_EQ(ERROR_SUCCESS, ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor));
}

}  // namespace

void DenyKeyAccess(const wchar_t* key, DWORD deniedRights, REGSAM view) {
    const Tessel::UniqueHKey opened = OpenForWrite(key, view);
    SetEveryoneDacl(opened.get(), deniedRights);
}

void AllowKeyAccess(const wchar_t* key, REGSAM view) {
    // Only WRITE_DAC is asked for: the key may deny everything else.
    Tessel::UniqueHKey opened;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, WRITE_DAC | view, opened.put()));
    SetEveryoneDacl(opened.get(), 0);
}

void ProductRegistryTest::SetUp() {
    RemoveProductKeys();
    ClearLogRecords();
}

void ProductRegistryTest::TearDown() {
    RemoveProductKeys();
}

}  // namespace VrxTest
