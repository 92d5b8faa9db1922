// File helpers for the content package: unpacking a cabinet and removing a folder tree.
#pragma once

namespace VRXUtils {

// Unpacks every file of the cabinet `cabPath` into the existing folder `destination` with the
// system's advpack.dll. Both paths must fit 260 bytes in the thread's ANSI code page.
bool ExtractCabFile(const wchar_t* cabPath, const wchar_t* destination);

// Deletes `folder` with all its files and sub-folders. Files that cannot be deleted are skipped,
// which leaves their folders, and so `folder`, in place. Links to folders are removed as links;
// what they point to is never entered. Returns true when `folder` itself was removed.
bool RemoveFolderTree(const wchar_t* folder);

}  // namespace VRXUtils
