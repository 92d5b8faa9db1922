// User profile folders and Outlook's extension registration, for tests. Both live outside any
// scratch folder (profiles beside the default user's profile, the registration under the 32-bit
// view's Exchange key), so the objects remove exactly what they created.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace VrxTest {

constexpr const wchar_t* kExchangeExtensionsKey =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Exchange\\Client\\Extensions";
constexpr const wchar_t* kOutlookExtensionValue = L"Varlen Anti-Spam";

// Where Outlook keeps its extension cache inside a profile.
constexpr const wchar_t* kCacheSinceVista = L"AppData\\Local\\Microsoft\\Outlook\\extend.dat";
constexpr const wchar_t* kCacheBeforeVista =
    L"Local Settings\\Application Data\\Microsoft\\Outlook\\extend.dat";

// Notes which keys of the Exchange extensions path exist; on destruction removes the product's
// registration value and the topmost key of the path that did not exist before.
class ExchangeExtensionsKey {
public:
    ExchangeExtensionsKey();
    ~ExchangeExtensionsKey();
    ExchangeExtensionsKey(const ExchangeExtensionsKey&) = delete;
    ExchangeExtensionsKey& operator=(const ExchangeExtensionsKey&) = delete;

    // Whether the extensions key itself existed before this object.
    bool Existed() const { return m_firstCreated.empty(); }
    // Registers the product's extension (a REG_SZ value).
    void Register() const;

private:
    std::wstring m_firstCreated;  // the topmost missing key of the path, empty when none
};

// New profile folders (and other files and folders) created beside the default user's profile;
// all of them are removed on destruction, read-only files included.
class ProfileFolders {
public:
    ProfileFolders();
    ~ProfileFolders();
    ProfileFolders(const ProfileFolders&) = delete;
    ProfileFolders& operator=(const ProfileFolders&) = delete;

    // The folder that holds the profiles, with a trailing separator (C:\users\).
    const std::wstring& Parent() const { return m_parent; }

    // Creates a new, empty profile folder with a name of its own; `nameChars` asks for a name of
    // that length (at least 24). Returns its full path.
    std::wstring Add(size_t nameChars = 0);

    // Writes a file at `relative` under `folder`, creating the folders on the way; long paths are
    // written with the \\?\ prefix. The file is removed with the folder.
    static void WriteFile(const std::wstring& folder, const std::wstring& relative,
                          bool readOnly = false);
    static bool Exists(const std::wstring& folder, const std::wstring& relative);

    // Removes `path` with everything in it when this object goes (for folders created elsewhere).
    void RemoveLater(const std::wstring& path) { m_created.push_back(path); }

private:
    std::wstring m_parent;
    std::vector<std::wstring> m_created;
};

}  // namespace VrxTest
