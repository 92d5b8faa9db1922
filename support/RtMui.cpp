#include "support/RtMui.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <cwchar>
#include <string>

#include "support/FileValidator.h"
#include "support/HeldPath.h"

namespace Tessel {

namespace {

constexpr const wchar_t* kLibraryBelowCommonFiles = L"\\Varlen\\Platform\\VlRtMui.dll";

template <typename TFn>
TFn ExportOf(HMODULE module, const char* name) {
    return reinterpret_cast<TFn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Looks up `name` into `entry`; false (with the lookup's error kept as the last error) when it
// is missing.
template <typename TFn>
bool Bind(HMODULE module, const char* name, TFn& entry) {
    entry = ExportOf<TFn>(module, name);
    return entry != nullptr;
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// The explicit path of the process's binding, set before it is created.
std::mutex g_pathLock;
std::wstring g_explicitPath;
bool g_bindingCreated = false;

}  // namespace

DWORD CDllWrapperBase::CheckBeforeLoad(const wchar_t*) {
    return ERROR_SUCCESS;
}

DWORD CDllWrapperBase::LoadModule(const wchar_t* path) {
    // Held from before the check until the load, so that the file checked is the file loaded. A
    // missing file is reported as the loader would report it, without being checked.
    CHeldPath hold;
    const DWORD held = m_module ? DWORD{ERROR_SUCCESS} : hold.Hold(path);
    if (held == ERROR_FILE_NOT_FOUND || held == ERROR_PATH_NOT_FOUND) {
        return ERROR_MOD_NOT_FOUND;
    }
    const DWORD check = CheckBeforeLoad(path);
    if (check != ERROR_SUCCESS) {
        return check;
    }
    if (m_module) {
        return ERROR_SUCCESS;
    }
    if (held != ERROR_SUCCESS) {
        return held;
    }
    const HMODULE loaded = ::LoadLibraryExW(path, nullptr, 0);
    if (loaded == nullptr) {
        return ::GetLastError();
    }
    m_module.reset(hold.KeepIfLoadedFromHeldFile(loaded));
    return m_module ? ERROR_SUCCESS : ERROR_FILE_INVALID;
}

size_t FullyQualifiedRootLength(const wchar_t* path) {
    if (path == nullptr) {
        return 0;
    }
    const size_t length = wcsnlen(path, MAX_PATH);
    if (length >= MAX_PATH) {
        return 0;
    }
    size_t rest = 0;
    if (length >= 3 && iswalpha(path[0]) && path[1] == L':' && IsSeparator(path[2])) {
        rest = 3;
    } else if (length >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        // "\\server\share\": both parts must be present and not empty.
        size_t pos = 2;
        for (int part = 0; part < 2; ++part) {
            const size_t start = pos;
            while (pos < length && !IsSeparator(path[pos])) {
                ++pos;
            }
            if (pos == start || pos == length) {
                return 0;
            }
            ++pos;
        }
        rest = pos;
    } else {
        return 0;
    }
    // Something must follow the root, and the path must end in a file name, not a separator.
    return rest < length && !IsSeparator(path[length - 1]) ? rest : 0;
}

bool IsFullyQualifiedFilePath(const wchar_t* path) {
    return FullyQualifiedRootLength(path) != 0;
}

DWORD RtMuiDllInterface::BindEntries() {
    const HMODULE module = Module();
    EntryTable& e = m_entries;
    const bool bound = Bind(module, "RtMUIGetMappedLocale", e.getMappedLocale) &&
                       Bind(module, "RtMUILoadLibrary", e.loadLibrary) &&
                       Bind(module, "RtMUILoadLibraryEx", e.loadLibraryEx) &&
                       Bind(module, "RtMUILoadLibraryImpl", e.loadLibraryImpl) &&
                       Bind(module, "RtMUILoadString", e.loadString) &&
                       Bind(module, "RtMUILoadStringEx", e.loadStringEx) &&
                       Bind(module, "RtMUIFindResource", e.findResource) &&
                       Bind(module, "RtMUIFindResourceEx", e.findResourceEx) &&
                       Bind(module, "RtMUILoadImage", e.loadImage) &&
                       Bind(module, "RtMUILoadImageEx", e.loadImageEx) &&
                       Bind(module, "RtMUILoadBitmap", e.loadBitmap) &&
                       Bind(module, "RtMUILoadBitmapEx", e.loadBitmapEx) &&
                       Bind(module, "RtMUILoadIcon", e.loadIcon) &&
                       Bind(module, "RtMUILoadIconEx", e.loadIconEx);
    if (bound) {
        return ERROR_SUCCESS;
    }
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_PROC_NOT_FOUND;
}

RtMuiImpl::~RtMuiImpl() {
    if (m_module) {
        if (auto release = ExportOf<void(WINAPI*)()>(m_module.get(), "DllRelease")) {
            release();
        }
    }
}

DWORD RtMuiImpl::Create(const wchar_t* explicitPath) {
    if (explicitPath != nullptr) {
        return LoadFrom(explicitPath);
    }
    // The environment is whatever the process's starter made it; the shell reads the folder from
    // the machine's configuration.
    UniqueCoTaskMemString folder;
    const HRESULT found =
        ::SHGetKnownFolderPath(FOLDERID_ProgramFilesCommon, 0, nullptr, folder.put());
    if (FAILED(found)) {
        return m_loadResult = HRESULT_CODE(found);
    }
    const std::wstring path = std::wstring(folder.get()) + kLibraryBelowCommonFiles;
    if (path.size() >= MAX_PATH) {
        return m_loadResult = ERROR_FILENAME_EXCED_RANGE;
    }
    return LoadFrom(path.c_str());
}

DWORD RtMuiImpl::CheckBeforeLoad(const wchar_t* path) {
    CFileValidator& validator = m_validator != nullptr ? *m_validator : GetFileValidator();
    const DWORD validation = validator.ValidateFile(path);
    validator.ReleaseValidationService();
    return validation;
}

DWORD RtMuiImpl::LoadFrom(const wchar_t* path) {
    if (m_module) {
        // The module held stays; its binding result stays too, so that a library that lacks an
        // entry never counts as available.
        const DWORD check = CheckBeforeLoad(path);
        return check != ERROR_SUCCESS ? check : ERROR_SUCCESS;
    }
    m_loadResult = LoadModule(path);
    if (m_loadResult != ERROR_SUCCESS) {
        return m_loadResult;
    }
    if (auto addRef = ExportOf<void(WINAPI*)()>(m_module.get(), "DllAddRef")) {
        const DWORD lastError = ::GetLastError();
        addRef();
        ::SetLastError(lastError);
    }
    return m_loadResult = BindEntries();
}

HMODULE RtMuiImpl::LoadLibraryFile(const wchar_t* path) const {
    if (!IsAvailable()) {
        return ::LoadLibraryW(path);
    }
    return m_entries.loadLibrary(path, 0);
}

HMODULE RtMuiImpl::LoadLibraryFileEx(const wchar_t* path, HANDLE file, DWORD flags) const {
    if (!IsAvailable()) {
        return ::LoadLibraryExW(path, file, flags);
    }
    return m_entries.loadLibraryEx(path, file, flags, 0);
}

int RtMuiImpl::LoadStringResource(HINSTANCE module, UINT id, wchar_t* buffer, int chars,
                                  LANGID language) const {
    if (!IsAvailable()) {
        return ::LoadStringW(module, id, buffer, chars);
    }
    return language != 0 ? m_entries.loadStringEx(module, id, buffer, chars, language, 0)
                         : m_entries.loadString(module, id, buffer, chars, 0);
}

HRSRC RtMuiImpl::FindResourceEntry(HMODULE module, const wchar_t* name, const wchar_t* type,
                                   LANGID language) const {
    if (!IsAvailable()) {
        return ::FindResourceW(module, name, type);
    }
    return language != 0 ? m_entries.findResourceEx(module, name, type, language, 0)
                         : m_entries.findResource(module, name, type, 0);
}

HBITMAP RtMuiImpl::LoadBitmapResource(HINSTANCE module, const wchar_t* name,
                                      LANGID language) const {
    if (!IsAvailable()) {
        return ::LoadBitmapW(module, name);
    }
    return language != 0 ? m_entries.loadBitmapEx(module, name, language, 0)
                         : m_entries.loadBitmap(module, name, 0);
}

HICON RtMuiImpl::LoadIconResource(HINSTANCE module, const wchar_t* name, LANGID language) const {
    if (!IsAvailable()) {
        return ::LoadIconW(module, name);
    }
    return language != 0 ? m_entries.loadIconEx(module, name, language, 0)
                         : m_entries.loadIcon(module, name, 0);
}

RtMuiImpl& RtMuiInstance() {
    static std::once_flag once;
    // Lives until static destruction, which releases and frees the library.
    static RtMuiImpl instance;
    std::call_once(once, [] {
        std::wstring explicitPath;
        {
            std::lock_guard<std::mutex> lock(g_pathLock);
            g_bindingCreated = true;
            explicitPath = g_explicitPath;
        }
        instance.Create(explicitPath.empty() ? nullptr : explicitPath.c_str());
    });
    return instance;
}

bool RtMuiSetLibraryPath(const wchar_t* path) {
    if (path == nullptr || wcsnlen(path, MAX_PATH) >= MAX_PATH) {
        return false;
    }
    std::lock_guard<std::mutex> lock(g_pathLock);
    if (g_bindingCreated) {
        return false;
    }
    g_explicitPath = path;
    return true;
}

bool RtMuiIsAvailable() {
    return RtMuiInstance().IsAvailable();
}

HMODULE RtMuiLoadLibrary(const wchar_t* path) {
    return RtMuiInstance().LoadLibraryFile(path);
}

HMODULE RtMuiLoadLibraryEx(const wchar_t* path, HANDLE file, DWORD flags) {
    return RtMuiInstance().LoadLibraryFileEx(path, file, flags);
}

int RtMuiLoadString(HINSTANCE module, UINT id, wchar_t* buffer, int chars, LANGID language) {
    return RtMuiInstance().LoadStringResource(module, id, buffer, chars, language);
}

HRSRC RtMuiFindResource(HMODULE module, const wchar_t* name, const wchar_t* type, LANGID language) {
    return RtMuiInstance().FindResourceEntry(module, name, type, language);
}

HBITMAP RtMuiLoadBitmap(HINSTANCE module, const wchar_t* name, LANGID language) {
    return RtMuiInstance().LoadBitmapResource(module, name, language);
}

HICON RtMuiLoadIcon(HINSTANCE module, const wchar_t* name, LANGID language) {
    return RtMuiInstance().LoadIconResource(module, name, language);
}

}  // namespace Tessel
