#include "support/HeldPath.h"

#include <string>

#include "support/RtMui.h"

namespace Tessel {

namespace {

// Opens one component of a path as itself, never what a link in its place points to. The
// component may be read by anyone, and written by anyone when it is a folder, but neither deleted
// nor renamed while the handle lives. Share modes bind others only when the handle has data
// access: read for the file, traverse (the least a path's folders grant) for a folder.
UniqueFileHandle OpenComponent(const std::wstring& path, bool isFile) {
    const DWORD access = isFile ? GENERIC_READ : FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    const DWORD share = isFile ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    return UniqueFileHandle(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
}

// 0 when the open component is what it should be: no reparse point, and a file or a folder as
// wanted.
DWORD CheckComponent(HANDLE component, bool isFile) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(component, &info)) {
        return ::GetLastError();
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return kErrorLinkOnPath;
    }
    const bool isFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isFile == isFolder) {
        return isFile ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

bool IsDotComponent(const std::wstring& path, size_t start, size_t end) {
    const size_t length = end - start;
    return (length == 1 && path[start] == L'.') ||
           (length == 2 && path[start] == L'.' && path[start + 1] == L'.');
}

}  // namespace

bool GetFileIdentity(HANDLE file, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(file, &info)) {
        return false;
    }
    identity.volumeSerial = info.dwVolumeSerialNumber;
    identity.indexHigh = info.nFileIndexHigh;
    identity.indexLow = info.nFileIndexLow;
    return true;
}

DWORD CHeldPath::Hold(const wchar_t* path) {
    Release();
    const size_t root = FullyQualifiedRootLength(path);
    if (root == 0) {
        return ERROR_BAD_PATHNAME;
    }
    const std::wstring full(path);
    size_t start = root;
    while (start < full.size()) {
        size_t end = start;
        while (end < full.size() && !IsPathSeparator(full[end])) {
            ++end;
        }
        // An empty component ("a\\b"), "." or ".." would make the name mean another folder than
        // the one held.
        if (end == start || IsDotComponent(full, start, end)) {
            Release();
            return ERROR_BAD_PATHNAME;
        }
        const bool isFile = end == full.size();
        const std::wstring prefix = full.substr(0, end);
        // The path's attributes are asked first: a handle may describe a link's target.
        if (PathHasReparseAttribute(prefix.c_str())) {
            Release();
            return kErrorLinkOnPath;
        }
        UniqueFileHandle component = OpenComponent(prefix, isFile);
        const DWORD check =
            component ? CheckComponent(component.get(), isFile) : DWORD{::GetLastError()};
        if (check != ERROR_SUCCESS) {
            Release();
            return check;
        }
        if (isFile) {
            if (!GetFileIdentity(component.get(), m_identity)) {
                const DWORD error = ::GetLastError();
                Release();
                return error;
            }
            m_file = std::move(component);
        } else {
            m_folders.push_back(std::move(component));
        }
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

HMODULE CHeldPath::KeepIfLoadedFromHeldFile(HMODULE module) const {
    if (module == nullptr) {
        return nullptr;
    }
    // The loader records the name it mapped; while the folders are held that name still leads to
    // the mapped file, so its identity is the mapped file's.
    wchar_t loaded[MAX_PATH] = {};
    const DWORD chars = ::GetModuleFileNameW(module, loaded, MAX_PATH);
    FileIdentity identity;
    bool same = false;
    if (IsHeld() && chars > 0 && chars < MAX_PATH) {
        const UniqueFileHandle file(::CreateFileW(
            loaded, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        same = file && GetFileIdentity(file.get(), identity) && identity == m_identity;
    }
    if (!same) {
        ::FreeLibrary(module);
        ::SetLastError(ERROR_FILE_INVALID);
        return nullptr;
    }
    return module;
}

void CHeldPath::Release() {
    m_file.reset();
    m_folders.clear();
    m_identity = FileIdentity();
}

}  // namespace Tessel
