#include "ModuleIdentity.h"

#include <cwchar>

#include "LogFacade.h"
#include "support/FileVersionInfo.h"

namespace ETWLogging {
namespace internal {
namespace {

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring FileVersionOf(const std::wstring& path) {
    Tessel::FileVersionInfo info;
    if (path.empty() || !info.Load(path)) {
        return std::wstring();
    }
    return NormalizeFileVersion(info.GetString(L"FileVersion"));
}

ModuleIdentity IdentifyLoggingModule() {
    ModuleIdentity identity;
    const HMODULE module = LoggingModule();
    if (module == nullptr) {
        return identity;
    }
    identity.path = ModuleFilePath(module);
    identity.folder = FolderOf(identity.path);
    identity.version = FileVersionOf(identity.path);
    return identity;
}

}  // namespace

const ModuleIdentity& LoggingModuleIdentity() {
    static const ModuleIdentity identity = IdentifyLoggingModule();
    return identity;
}

std::wstring ModuleFilePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// Parsed and formatted with msvcrt's own functions: the standard ones would link mingw's
// replacements of scanf and printf, with their floating-point code, into the DLL.
std::wstring NormalizeFileVersion(const std::wstring& stored) {
    unsigned parts[4] = {};
    if (_snwscanf(stored.c_str(), stored.size(), L"%u,%u,%u,%u", &parts[0], &parts[1], &parts[2],
                  &parts[3]) != 4) {
        return stored;
    }
    wchar_t text[48] = {};  // four 10-digit numbers and three dots always fit
    _snwprintf(text, _countof(text) - 1, L"%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
    return text;
}

}  // namespace internal
}  // namespace ETWLogging
