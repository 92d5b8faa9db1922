// Links for tests, as a less privileged user would plant them. Wine 8.0 makes no symbolic link
// through the Windows calls (CreateSymbolicLinkW returns TRUE and creates nothing;
// FSCTL_SET_REPARSE_POINT fails with ERROR_NOT_SUPPORTED), but a Unix symbolic link is what such
// a link looks like there: under Wine symbolic links are made, and removed, with the system's
// `ln` and `rm` (its DeleteFileW on a link to a file deletes the file it points to).
#pragma once

#include <windows.h>

#include <string>

namespace VrxTest {

enum class LinkKind {
    kFolder,    // a symbolic link to a folder
    kFile,      // a symbolic link to a file (which need not exist)
    kHardLink,  // a second name of an existing file
};

// A link at `link` to `target`; the link alone is removed when the object goes.
class ScopedLink {
public:
    ScopedLink(const std::wstring& link, const std::wstring& target,
               LinkKind kind = LinkKind::kFolder);
    ~ScopedLink();
    ScopedLink(const ScopedLink&) = delete;
    ScopedLink& operator=(const ScopedLink&) = delete;

    // Whether the link was made.
    bool Made() const { return m_made; }

private:
    std::wstring m_link;
    LinkKind m_kind;
    bool m_made = false;
};

}  // namespace VrxTest
