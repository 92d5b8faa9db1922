// Registry set-up and inspection for tests. Every path is under HKEY_LOCAL_MACHINE and, unless a
// view is named, in the 64-bit view, where the product keeps its keys.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace VrxTest {

constexpr const wchar_t* kVrxKey = L"SOFTWARE\\Varlen\\VRX";
constexpr const wchar_t* kSubstituteKey = L"SOFTWARE\\Varlen\\VRX\\AppInfo\\Substitute";

// The view that a key opened without a view flag lands in: the process's own (the 32-bit one
// for the shipped build on 64-bit Windows), and the other one.
constexpr REGSAM kNativeView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
constexpr REGSAM kOtherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

// Removes the maker's whole key, in the 64-bit view and in the 32-bit one.
void RemoveProductKeys();

void CreateKey(const wchar_t* path, REGSAM view = KEY_WOW64_64KEY);
void SetString(const wchar_t* key, const wchar_t* name, const std::wstring& value,
               DWORD type = REG_SZ, REGSAM view = KEY_WOW64_64KEY);
void SetDword(const wchar_t* key, const wchar_t* name, DWORD value, REGSAM view = KEY_WOW64_64KEY);
void SetRaw(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, size_t bytes,
            REGSAM view = KEY_WOW64_64KEY);
void DeleteValue(const wchar_t* key, const wchar_t* name, REGSAM view = KEY_WOW64_64KEY);

struct RegValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    DWORD AsDword() const;
    std::wstring AsString() const;
};
RegValue ReadValue(const wchar_t* key, const wchar_t* name, REGSAM view = KEY_WOW64_64KEY);
bool KeyExists(const wchar_t* key, REGSAM view = KEY_WOW64_64KEY);

// Denies everyone the given rights on a key (an explicit deny entry ahead of the inherited ones),
// so opens that ask for them fail with ERROR_ACCESS_DENIED.
void DenyKeyAccess(const wchar_t* key, DWORD deniedRights, REGSAM view = KEY_WOW64_64KEY);
// Undoes DenyKeyAccess: gives the key a DACL that grants everyone full access, so the test can
// read it again and the fixture can remove it.
void AllowKeyAccess(const wchar_t* key, REGSAM view = KEY_WOW64_64KEY);

// A test that starts and ends with no product keys and an empty captured log.
class ProductRegistryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace VrxTest
