#include "support/ReparsePoints.h"

namespace Tessel {

namespace {

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool HasReparseAttribute(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opens the object at `path` itself (a link, not its target; a folder as well as a file) for
// reading its attributes. Without delete sharing, the object cannot be renamed or removed while
// the handle is open.
UniqueFileHandle OpenWithoutFollowing(const wchar_t* path, DWORD share) {
    return UniqueFileHandle(::CreateFileW(path, FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                          nullptr));
}

bool HandleIsReparsePoint(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO info = {};
    return ::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof(info)) &&
           HasReparseAttribute(info.FileAttributes);
}

}  // namespace

bool IsPathSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool PathHasReparseAttribute(const wchar_t* path) {
    return HasReparseAttribute(::GetFileAttributesW(path));
}

bool IsReparsePoint(const wchar_t* path) {
    if (PathHasReparseAttribute(path)) {
        return true;
    }
    const UniqueFileHandle file =
        OpenWithoutFollowing(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    return file && HandleIsReparsePoint(file.get());
}

DWORD CLinkFreePath::Hold(const std::wstring& base, const std::wstring& relative) {
    m_components.clear();
    std::wstring path = base;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = start;
        while (end < relative.size() && !IsPathSeparator(relative[end])) {
            ++end;
        }
        if (end > start) {
            if (!path.empty() && !IsPathSeparator(path.back())) {
                path += L'\\';
            }
            path.append(relative, start, end - start);
            if (PathHasReparseAttribute(path.c_str())) {
                return kErrorLinkOnPath;
            }
            UniqueFileHandle component =
                OpenWithoutFollowing(path.c_str(), FILE_SHARE_READ | FILE_SHARE_WRITE);
            if (!component) {
                const DWORD error = ::GetLastError();
                return IsMissing(error) ? ERROR_SUCCESS : error;
            }
            // Asked again through the handle: the name may have been swapped before the open.
            if (HandleIsReparsePoint(component.get())) {
                return kErrorLinkOnPath;
            }
            m_components.push_back(std::move(component));
        }
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

}  // namespace Tessel
