// File helpers for the content package: unpacking a cabinet and removing a folder tree.
#pragma once

#include <string>

namespace VRXUtils {

// Unpacks every file of the cabinet `cabPath` into the existing folder `destination` with the
// system's advpack.dll. Both paths must fit 260 bytes in the thread's ANSI code page. Nothing is
// unpacked when a member's name fails IsContainedMemberName or a link below `destination` is on
// the way to a member.
bool ExtractCabFile(const wchar_t* cabPath, const wchar_t* destination);

// Whether a cabinet member's name stays inside the folder it is unpacked into: a relative path
// without "..", without a drive, stream or device part, that the ANSI code page represents
// exactly (the unpacker takes ANSI names).
bool IsContainedMemberName(const std::wstring& name);

// Deletes `folder` with all its files and sub-folders. Files that cannot be deleted are skipped,
// which leaves their folders, and so `folder`, in place. Links to folders, `folder` itself
// included, are removed as links; what they point to is never entered. Returns true when `folder`
// itself was removed.
bool RemoveFolderTree(const wchar_t* folder);

}  // namespace VRXUtils
