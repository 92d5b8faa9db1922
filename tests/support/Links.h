// Folder links for tests. Wine 8.0 makes none through the Windows calls (CreateSymbolicLinkW
// returns TRUE and creates nothing; FSCTL_SET_REPARSE_POINT fails with ERROR_NOT_SUPPORTED), but
// shows a Unix symbolic link to a folder as a folder with FILE_ATTRIBUTE_REPARSE_POINT: under Wine
// the link is made with the system's `ln`.
#pragma once

#include <windows.h>

#include <string>

namespace VrxTest {

// A link at `link` to the folder `target`; the link alone is removed when the object goes.
class ScopedFolderLink {
public:
    ScopedFolderLink(const std::wstring& link, const std::wstring& target);
    ~ScopedFolderLink();
    ScopedFolderLink(const ScopedFolderLink&) = delete;
    ScopedFolderLink& operator=(const ScopedFolderLink&) = delete;

    // Whether the link was made (its attributes show a reparse point).
    bool Made() const { return m_made; }

private:
    std::wstring m_link;
    bool m_made = false;
};

}  // namespace VrxTest
