#include "support/ReparsePoints.h"

#include <algorithm>
#include <cwchar>

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
// reading its attributes. Such a handle binds no one by its share mode.
UniqueFileHandle OpenWithoutFollowing(const wchar_t* path, DWORD share) {
    return UniqueFileHandle(::CreateFileW(path, FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                          nullptr));
}

// Opens one component of a path to hold it: as itself, with the least data access that makes
// its share mode bind others (traverse for a folder, read for a file), and without delete sharing.
UniqueFileHandle OpenToHold(const std::wstring& path, bool isFolder) {
    const DWORD access =
        (isFolder ? FILE_TRAVERSE : FILE_READ_DATA) | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    return UniqueFileHandle(::CreateFileW(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

bool HandleIsReparsePoint(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO info = {};
    return ::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof(info)) &&
           HasReparseAttribute(info.FileAttributes);
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& relative) {
    if (folder.empty() || IsPathSeparator(folder.back())) {
        return folder + relative;
    }
    return folder + L"\\" + relative;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// The path an open handle leads to, in the ordinary form: the long-path prefix "\\?\" dropped,
// "\\?\UNC\server" written "\\server".
bool FinalPathOf(HANDLE handle, std::wstring& path) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD chars =
            ::GetFinalPathNameByHandleW(handle, &buffer[0], static_cast<DWORD>(buffer.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (chars == 0) {
            return false;
        }
        const bool fits = chars < buffer.size();
        buffer.resize(chars);  // when it did not fit, `chars` counts the terminator as well
        if (fits) {
            break;
        }
    }
    static const wchar_t kLongUnc[] = L"\\\\?\\UNC\\";
    static const wchar_t kLong[] = L"\\\\?\\";
    if (StartsWith(buffer, kLongUnc)) {
        path = L"\\\\" + buffer.substr(ARRAYSIZE(kLongUnc) - 1);
    } else if (StartsWith(buffer, kLong)) {
        path = buffer.substr(ARRAYSIZE(kLong) - 1);
    } else {
        path = buffer;
    }
    return true;
}

// Where the trusted folder `base` really is, links followed: its files must lie below that.
DWORD FolderFinalPath(const std::wstring& base, std::wstring& path) {
    const UniqueFileHandle folder(::CreateFileW(
        base.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) {
        return ::GetLastError();
    }
    return FinalPathOf(folder.get(), path) ? DWORD{ERROR_SUCCESS} : DWORD{::GetLastError()};
}

// `relative` with backslashes only; false when a component is empty, "." or "..", which would
// make it name another file than the one composed.
bool NormalizeRelative(const std::wstring& relative, std::wstring& normalized) {
    normalized = relative;
    for (wchar_t& c : normalized) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(normalized.find(L'\\', start), normalized.size());
        const std::wstring component = normalized.substr(start, end - start);
        if (component.empty() || component == L"." || component == L"..") {
            return false;
        }
        if (end == normalized.size()) {
            return true;
        }
        start = end + 1;
    }
}

struct OpenResult {
    UniqueFileHandle file;
    DWORD error = ERROR_SUCCESS;
};

OpenResult OpenFileWithoutFollowing(const std::wstring& path, DWORD access, DWORD disposition) {
    OpenResult result;
    result.file.reset(::CreateFileW(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
        FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!result.file) {
        result.error = ::GetLastError();
    }
    return result;
}

// 0 when `file` is a plain file with one name whose final path is `expected`. (Asked through
// GetFileInformationByHandleEx: GetFileInformationByHandle also reads the volume's serial number,
// which costs Wine about a millisecond.)
DWORD CheckPlainFileAt(HANDLE file, const std::wstring& expected) {
    FILE_ATTRIBUTE_TAG_INFO attributes = {};
    FILE_STANDARD_INFO standard = {};
    if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &attributes,
                                        sizeof(attributes)) ||
        !::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard))) {
        return ::GetLastError();
    }
    if (HasReparseAttribute(attributes.FileAttributes) || standard.NumberOfLinks != 1) {
        return kErrorLinkOnPath;
    }
    if (standard.Directory) {
        return ERROR_DIRECTORY;
    }
    std::wstring finalPath;
    if (!FinalPathOf(file, finalPath)) {
        return ::GetLastError();
    }
    const bool same = ::CompareStringOrdinal(finalPath.c_str(), static_cast<int>(finalPath.size()),
                                             expected.c_str(), static_cast<int>(expected.size()),
                                             TRUE) == CSTR_EQUAL;
    return same ? DWORD{ERROR_SUCCESS} : kErrorLinkOnPath;
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
    return HoldComponents(base, relative, false, nullptr);
}

DWORD CLinkFreePath::HoldCreatingFolders(const std::wstring& base, const std::wstring& relative,
                                         SECURITY_ATTRIBUTES* lastFolderRights) {
    return HoldComponents(base, relative, true, lastFolderRights);
}

void CLinkFreePath::Release() {
    m_components.clear();
    m_base.clear();
    m_baseFinalPath.clear();
}

DWORD CLinkFreePath::BaseFinalPath(std::wstring& path) const {
    if (m_baseFinalPath.empty()) {
        if (const DWORD error = FolderFinalPath(m_base, m_baseFinalPath); error != ERROR_SUCCESS) {
            m_baseFinalPath.clear();
            return error;
        }
    }
    path = m_baseFinalPath;
    return ERROR_SUCCESS;
}

DWORD CLinkFreePath::HoldComponents(const std::wstring& base, const std::wstring& relative,
                                    bool create, SECURITY_ATTRIBUTES* lastFolderRights) {
    Release();
    m_base = base;
    std::wstring path = base;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = start;
        while (end < relative.size() && !IsPathSeparator(relative[end])) {
            ++end;
        }
        if (end > start) {
            path = JoinPath(path, relative.substr(start, end - start));
            bool made = false;
            for (;;) {
                const DWORD attributes = ::GetFileAttributesW(path.c_str());
                if (HasReparseAttribute(attributes)) {
                    return kErrorLinkOnPath;
                }
                UniqueFileHandle component =
                    OpenToHold(path, attributes != INVALID_FILE_ATTRIBUTES &&
                                         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
                if (component) {
                    // Asked again through the handle: the name may have been swapped before the
                    // open.
                    if (HandleIsReparsePoint(component.get())) {
                        return kErrorLinkOnPath;
                    }
                    m_components.push_back(std::move(component));
                    break;
                }
                const DWORD error = ::GetLastError();
                if (!IsMissing(error)) {
                    return error;
                }
                if (!create) {
                    return ERROR_SUCCESS;
                }
                // A folder made a moment ago that cannot be opened is gone again: give up.
                if (made) {
                    return error;
                }
                const bool isLast = relative.find_first_not_of(L"\\/", end) == std::wstring::npos;
                if (!::CreateDirectoryW(path.c_str(), isLast ? lastFolderRights : nullptr) &&
                    ::GetLastError() != ERROR_ALREADY_EXISTS) {
                    return ::GetLastError();
                }
                made = true;
            }
        }
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

DWORD CLinkFreeFile::Open(const std::wstring& base, const std::wstring& relative, DWORD access,
                          FileDisposition disposition) {
    Close();
    std::wstring normalized;
    if (!NormalizeRelative(relative, normalized)) {
        return ERROR_BAD_PATHNAME;
    }
    const size_t lastSeparator = normalized.rfind(L'\\');
    DWORD result = m_folders.Hold(
        base, lastSeparator == std::wstring::npos ? L"" : normalized.substr(0, lastSeparator));
    if (result == ERROR_SUCCESS) {
        result = OpenChecked(m_folders, normalized, access, disposition);
    }
    if (result != ERROR_SUCCESS) {
        Close();
    }
    return result;
}

DWORD CLinkFreeFile::OpenIn(const CLinkFreePath& folders, const std::wstring& relative,
                            DWORD access, FileDisposition disposition) {
    Close();
    std::wstring normalized;
    const DWORD result = NormalizeRelative(relative, normalized)
                             ? OpenChecked(folders, normalized, access, disposition)
                             : DWORD{ERROR_BAD_PATHNAME};
    if (result != ERROR_SUCCESS) {
        Close();
    }
    return result;
}

DWORD CLinkFreeFile::OpenChecked(const CLinkFreePath& folders, const std::wstring& relative,
                                 DWORD access, FileDisposition disposition) {
    std::wstring baseFinalPath;
    if (const DWORD error = folders.BaseFinalPath(baseFinalPath); error != ERROR_SUCCESS) {
        return error;
    }
    const std::wstring path = JoinPath(folders.Base(), relative);
    OpenResult opened;
    if (disposition != FileDisposition::kOpenExisting) {
        opened = OpenFileWithoutFollowing(path, access, CREATE_NEW);
        m_fresh = opened.file.is_valid();
        if (!opened.file && opened.error != ERROR_FILE_EXISTS) {
            return opened.error;
        }
    }
    if (!opened.file) {
        opened = OpenFileWithoutFollowing(path, access, OPEN_EXISTING);
        // Something stands in the file's place that cannot be opened as itself: a link to
        // nowhere, on platforms that follow it even so.
        if (!opened.file && disposition != FileDisposition::kOpenExisting &&
            IsMissing(opened.error)) {
            return kErrorLinkOnPath;
        }
        if (!opened.file) {
            return opened.error;
        }
    }
    m_file = std::move(opened.file);
    if (const DWORD error = CheckPlainFileAt(m_file.get(), JoinPath(baseFinalPath, relative));
        error != ERROR_SUCCESS) {
        return error;
    }
    if (disposition == FileDisposition::kCreateOrEmpty && !m_fresh) {
        LARGE_INTEGER zero = {};
        if (!::SetFilePointerEx(m_file.get(), zero, nullptr, FILE_BEGIN) ||
            !::SetEndOfFile(m_file.get())) {
            return ::GetLastError();
        }
        m_fresh = true;
    }
    return ERROR_SUCCESS;
}

void CLinkFreeFile::Close() {
    m_file.reset();
    m_folders.Release();
    m_fresh = false;
}

}  // namespace Tessel
