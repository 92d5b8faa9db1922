// Link and identity checks for loading a validated file: the path from its root to the file must
// pass through no reparse point (symbolic link, junction, mount point), every folder on it and the
// file are kept from being renamed or replaced while the file is validated and loaded, and the
// module the loader mapped must be the very file that was held.
#pragma once

#include <windows.h>

#include <vector>

#include "support/ReparsePoints.h"
#include "support/UniqueAny.h"

namespace Tessel {

// What tells one file from every other while it exists: the serial number of its volume and its
// index on that volume.
struct FileIdentity {
    DWORD volumeSerial = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;

    bool operator==(const FileIdentity& other) const {
        return volumeSerial == other.volumeSerial && indexHigh == other.indexHigh &&
               indexLow == other.indexLow;
    }
};

// The identity of an open file or folder; false when it cannot be read.
bool GetFileIdentity(HANDLE file, FileIdentity& identity);

// Holds a fully qualified file path. Every folder below the root and the file itself are opened
// without following reparse points and stay open without delete sharing, so that none of them
// can be renamed, moved or replaced by a link while the hold lives; the file is also shared for
// reading only, so that it cannot be written.
class CHeldPath {
public:
    CHeldPath() = default;
    CHeldPath(const CHeldPath&) = delete;
    CHeldPath& operator=(const CHeldPath&) = delete;

    // 0 when the whole path is held. ERROR_BAD_PATHNAME for a path that is not fully qualified or
    // has a "." or ".." component, kErrorLinkOnPath when a folder or the file is a reparse
    // point, ERROR_DIRECTORY when the last component is a folder, else the error of opening a
    // component. A path held before is let go first.
    DWORD Hold(const wchar_t* path);

    bool IsHeld() const { return m_file.is_valid(); }

    // Keeps `module` when it was mapped from the held file, else frees it. Returns the module, or
    // null with the last error ERROR_FILE_INVALID (also when nothing is held).
    HMODULE KeepIfLoadedFromHeldFile(HMODULE module) const;

private:
    void Release();

    std::vector<UniqueFileHandle> m_folders;
    UniqueFileHandle m_file;
    FileIdentity m_identity;
};

}  // namespace Tessel
