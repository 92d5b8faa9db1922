// Guards for elevated file operations against links (symbolic links, junctions, mount points: any
// reparse point) that a less privileged user could have planted on the way to a file, so that a
// write, a delete or a rights change lands on the file named and not on what a link points to.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/UniqueAny.h"

namespace Tessel {

// ERROR_REPARSE_POINT_ENCOUNTERED: a component of a path is a link. Not in every SDK's headers.
constexpr DWORD kErrorLinkOnPath = 4395;

bool IsPathSeparator(wchar_t c);

// Whether a path's attributes (GetFileAttributesW) mark a reparse point. Some platforms report a
// link only this way, while a handle opened on it describes the target.
bool PathHasReparseAttribute(const wchar_t* path);

// Whether `path` itself, not what it may point to, is a reparse point. Its own attributes and those
// of a handle opened on it without following it are both asked, as platforms report links through
// either. False for a path that does not exist.
bool IsReparsePoint(const wchar_t* path);

// Holds the components of a path below a trusted base folder, each checked not to be a link and
// kept open without delete sharing, so that none of them can be renamed, removed or replaced by a
// link while the holder lives. The handles have data access (traverse for a folder, read for a
// file): only such handles make the platform enforce their share modes on others.
class CLinkFreePath {
public:
    CLinkFreePath() = default;
    CLinkFreePath(const CLinkFreePath&) = delete;
    CLinkFreePath& operator=(const CLinkFreePath&) = delete;

    // Opens `base` + "\" + each component of `relative` ("\" or "/" separated) in turn. Stops
    // quietly at the first component that does not exist: nothing below it exists either.
    // ERROR_SUCCESS; kErrorLinkOnPath when a component is a link; otherwise the error of the open
    // that failed. What was held before is released first.
    DWORD Hold(const std::wstring& base, const std::wstring& relative);

    // As Hold, but each missing component is created as a folder, the last one with
    // `lastFolderRights` (null: the rights it inherits, as the others get), and held in turn.
    // ERROR_SUCCESS only when every component is held; a failed creation gives its error.
    DWORD HoldCreatingFolders(const std::wstring& base, const std::wstring& relative,
                              SECURITY_ATTRIBUTES* lastFolderRights);

    // Lets go of every component.
    void Release();

    // The base folder of the last hold, and where the platform resolves it (links followed: the
    // base is trusted as it is), which is where the files below it must turn out to be.
    const std::wstring& Base() const { return m_base; }
    DWORD BaseFinalPath(std::wstring& path) const;

private:
    DWORD HoldComponents(const std::wstring& base, const std::wstring& relative, bool create,
                         SECURITY_ATTRIBUTES* lastFolderRights);

    std::wstring m_base;
    mutable std::wstring m_baseFinalPath;  // asked of the platform once a hold
    std::vector<UniqueFileHandle> m_components;
};

// How CLinkFreeFile::Open treats the file it names.
enum class FileDisposition {
    kOpenExisting,   // the file must be there
    kOpenOrCreate,   // created, empty, when missing
    kCreateOrEmpty,  // created when missing, emptied when there
};

// A file below a trusted base folder (one that a less privileged user cannot replace: the common
// data folder, the install folder, a drive root), open as the very file its path names. A link in
// the file's place, a link on a folder between, and a second name (hard link) of a file elsewhere
// are refused before anything is read, written or emptied. Some platforms follow a link on open
// even when asked not to; what the handle then leads to gives the link away.
class CLinkFreeFile {
public:
    CLinkFreeFile() = default;
    CLinkFreeFile(const CLinkFreeFile&) = delete;
    CLinkFreeFile& operator=(const CLinkFreeFile&) = delete;

    // Holds the folders of `relative` below `base` (CLinkFreePath), then opens `base` + "\" +
    // `relative` with `access`, sharing reading and writing but not deletion, without following
    // a link, and checks the handle: a file, no reparse point, one name only, and a final path
    // that is `base`'s own followed by `relative` (case aside). A file is created only with
    // CREATE_NEW, which nothing standing in its place lets through, and emptied only through the
    // checked handle. ERROR_SUCCESS; kErrorLinkOnPath for a link; ERROR_BAD_PATHNAME for an
    // empty, "." or ".." component of `relative`; otherwise the platform's error. Whatever was
    // open before is closed first; on failure nothing stays open.
    DWORD Open(const std::wstring& base, const std::wstring& relative, DWORD access,
               FileDisposition disposition);
    // As Open, for a file whose folders the caller holds: `folders` holds those of `relative`
    // below its base, and only the file is opened and checked. `folders` must stay as it is while
    // this file is open.
    DWORD OpenIn(const CLinkFreePath& folders, const std::wstring& relative, DWORD access,
                 FileDisposition disposition);

    bool IsOpen() const { return m_file.is_valid(); }
    HANDLE Get() const { return m_file.get(); }
    // Whether the open created the file or emptied it.
    bool IsFresh() const { return m_fresh; }
    // Lets go of the file and its folders.
    void Close();

private:
    DWORD OpenChecked(const CLinkFreePath& folders, const std::wstring& relative, DWORD access,
                      FileDisposition disposition);

    CLinkFreePath m_folders;  // the folders of a file opened with Open
    UniqueFileHandle m_file;
    bool m_fresh = false;
};

}  // namespace Tessel
