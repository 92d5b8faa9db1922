#include "Profiles.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "Files.h"
#include "support/UniqueAny.h"

namespace VrxTest {
namespace {

constexpr REGSAM kAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;

bool KeyPresent(const std::wstring& path) {
    Tessel::UniqueHKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                           key.put()) == ERROR_SUCCESS;
}

void DeleteKeyTree(const std::wstring& path) {
    const size_t split = path.find_last_of(L'\\');
    Tessel::UniqueHKey parent;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.substr(0, split).c_str(), 0, kAccess,
                        parent.put()) == ERROR_SUCCESS) {
        ::RegDeleteTreeW(parent.get(), path.substr(split + 1).c_str());
    }
}

// Paths near or beyond MAX_PATH in their long-path form, so that they can be made and removed.
std::filesystem::path LongPath(const std::wstring& path) {
    return std::filesystem::path(path.size() < MAX_PATH - 12 ? path : L"\\\\?\\" + path);
}

}  // namespace

ExchangeExtensionsKey::ExchangeExtensionsKey() {
    const std::wstring path = kExchangeExtensionsKey;
    for (size_t end = path.find(L'\\');; end = path.find(L'\\', end + 1)) {
        const std::wstring prefix = path.substr(0, end);
        if (!KeyPresent(prefix)) {
            m_firstCreated = prefix;
            break;
        }
        if (end == std::wstring::npos) {
            break;
        }
    }
}

ExchangeExtensionsKey::~ExchangeExtensionsKey() {
    if (!m_firstCreated.empty()) {
        DeleteKeyTree(m_firstCreated);
        return;
    }
    Tessel::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kExchangeExtensionsKey, 0, kAccess, key.put()) ==
        ERROR_SUCCESS) {
        ::RegDeleteValueW(key.get(), kOutlookExtensionValue);
    }
}

void ExchangeExtensionsKey::Register() const {
    Tessel::UniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kExchangeExtensionsKey, 0,
                                               nullptr, 0, kAccess, nullptr, key.put(), nullptr));
    const wchar_t data[] = L"4.0;C:\\Program Files\\Varlen\\VRX\\VrxOutlook.dll;1";
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), kOutlookExtensionValue, 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>(data), sizeof(data)));
}

ProfileFolders::ProfileFolders() {
    wchar_t profile[MAX_PATH] = {};
    EXPECT_TRUE(SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_PROFILE, reinterpret_cast<HANDLE>(-1),
                                             SHGFP_TYPE_CURRENT, profile)));
    const std::wstring path(profile);
    m_parent = path.substr(0, path.find_last_of(L'\\') + 1);
}

ProfileFolders::~ProfileFolders() {
    for (auto it = m_created.rbegin(); it != m_created.rend(); ++it) {
        RemoveTree(*it);
    }
}

std::wstring ProfileFolders::Add(size_t nameChars) {
    static unsigned counter = 0;
    std::wstring name = L"vrx-test-profile-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                        std::to_wstring(++counter);
    if (name.size() < nameChars) {
        name.append(nameChars - name.size(), L'p');
    }
    const std::wstring path = m_parent + name;
    RemoveTree(path);
    m_created.push_back(path);
    EXPECT_TRUE(::CreateDirectoryW(LongPath(path).c_str(), nullptr)) << ::GetLastError();
    return path;
}

void ProfileFolders::WriteFile(const std::wstring& folder, const std::wstring& relative,
                               bool readOnly) {
    const std::filesystem::path file = LongPath(folder + L"\\" + relative);
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    EXPECT_FALSE(error) << error.message();
    const Tessel::UniqueFileHandle handle(
        ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                      readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(handle) << ::GetLastError();
}

bool ProfileFolders::Exists(const std::wstring& folder, const std::wstring& relative) {
    return ::GetFileAttributesW(LongPath(folder + L"\\" + relative).c_str()) !=
           INVALID_FILE_ATTRIBUTES;
}

}  // namespace VrxTest
