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
// link while the holder lives.
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

private:
    std::vector<UniqueFileHandle> m_components;
};

}  // namespace Tessel
