#include "VrxCabUtils.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "../../../etwlogging/LogFacade.h"
#include "../../../support/CabinetDigests.h"
#include "../../../support/ReparsePoints.h"
#include "../../../support/UniqueAny.h"

namespace VRXUtils {
namespace {

constexpr const wchar_t* kLogSource = L"src\\common\\vrxrunonce\\VrxCabUtils";
constexpr const wchar_t* kLogFunction = L"VRXUtils::ExtractCabFile";
constexpr int kAnsiPathBytes = MAX_PATH;

// advpack's ExtractFiles: cabinet, destination, flags, file list (null: every file), reserved.
using ExtractFilesFn = HRESULT(WINAPI*)(LPCSTR, LPCSTR, DWORD, LPCSTR, LPVOID, DWORD);

template <typename... TArgs>
void LogError(int line, const wchar_t* format, TArgs... args) {
    ETWLogging::LogIfEnabled(ETWLogging::kSeverityError, kLogSource, kLogFunction, line, format,
                             args...);
}

// The full path of advpack.dll in the system folder, so that no other copy can be picked up.
bool AdvpackPath(wchar_t (&path)[MAX_PATH + 1]) {
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
        return false;
    }
    constexpr wchar_t kName[] = L"\\advpack.dll";
    if (length + std::wcslen(kName) + 1 > MAX_PATH) {
        return false;
    }
    std::wcscat(path, kName);
    return true;
}

// Converts to the thread's ANSI code page. A character that the code page cannot represent fails
// the conversion: a substituted or best-fit character would name another path.
bool ToAnsiPath(const wchar_t* path, char (&ansi)[kAnsiPathBytes]) {
    BOOL usedDefault = FALSE;
    const int bytes = ::WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, path, -1, ansi,
                                            kAnsiPathBytes, nullptr, &usedDefault);
    return bytes != 0 && !usedDefault;
}

bool IsDotEntry(const wchar_t* name) {
    return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0;
}

// The names the platform reserves for devices: a path component of that name (any extension)
// opens the device, wherever the folder. The serial and parallel ports count the superscript
// digits one to three among their digits.
bool IsDeviceName(const std::wstring& component) {
    std::wstring stem = component.substr(0, component.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') {
        stem.pop_back();
    }
    for (wchar_t& c : stem) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" ||
        stem == L"CONOUT$") {
        return true;
    }
    constexpr const wchar_t* kPortDigits = L"0123456789\u00B9\u00B2\u00B3";
    return stem.size() == 4 &&
           (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
           std::wcschr(kPortDigits, stem[3]) != nullptr;
}

// Whether the ANSI code page holds every character of `name` as it is. The unpacker takes names
// in that code page, where a character it lacks may be replaced by a look-alike: a full-width
// full stop or backslash by '.' or '\'.
bool IsExactInAnsi(const std::wstring& name) {
    BOOL usedDefault = FALSE;
    return ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, nullptr, 0,
                                 nullptr, &usedDefault) > 0 &&
           !usedDefault;
}

}  // namespace

bool IsContainedMemberName(const std::wstring& name) {
    // Absolute or rooted ("\x", "/x", "\\server\x"), a drive or stream ("C:x", "x:y"), or a
    // step out of the folder.
    if (name.empty() || name[0] == L'\\' || name[0] == L'/' ||
        name.find(L':') != std::wstring::npos || name.find(L"..") != std::wstring::npos ||
        !IsExactInAnsi(name)) {
        return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        const size_t end = std::min(name.find_first_of(L"\\/", start), name.size());
        if (IsDeviceName(name.substr(start, end - start))) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

namespace {

// Whether the cabinet `cabPath` may be unpacked into `destination`: every member name stays inside
// it, and no folder on the way to a member, nor a member file already there, is a link.
bool MayUnpackInto(const wchar_t* cabPath, const wchar_t* destination) {
    std::vector<std::wstring> members;
    if (!Tessel::ListCabinetMembers(cabPath, members)) {
        return false;
    }
    for (const std::wstring& member : members) {
        if (!IsContainedMemberName(member)) {
            return false;
        }
        Tessel::CLinkFreePath onTheWay;
        if (onTheWay.Hold(destination, member) != ERROR_SUCCESS) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ExtractCabFile(const wchar_t* cabPath, const wchar_t* destination) {
    wchar_t advpackPath[MAX_PATH + 1] = {};
    if (!AdvpackPath(advpackPath)) {
        return false;
    }
    const Tessel::UniqueHModule advpack(::LoadLibraryW(advpackPath));
    if (!advpack) {
        LogError(36, L"ExtractCabFile: fail to load cab extraction library");
        return false;
    }
    const auto extractFiles = reinterpret_cast<ExtractFilesFn>(
        reinterpret_cast<void*>(::GetProcAddress(advpack.get(), "ExtractFiles")));
    if (extractFiles == nullptr) {
        LogError(43, L"ExtractCabFile: fail to GetProcAddress");
        return false;
    }
    char ansiDestination[kAnsiPathBytes] = {};
    char ansiCabPath[kAnsiPathBytes] = {};
    if (destination == nullptr || cabPath == nullptr || !ToAnsiPath(destination, ansiDestination) ||
        !ToAnsiPath(cabPath, ansiCabPath)) {
        LogError(54, L"ExtractCabFile: fail to convert strings");
        return false;
    }
    // A package whose members cannot be listed, or would land outside the destination or behind
    // a link, is refused whole: the unpacker follows whatever names it holds.
    if (!MayUnpackInto(cabPath, destination) ||
        extractFiles(ansiCabPath, ansiDestination, 0, nullptr, nullptr, 0) != S_OK) {
        LogError(60, L"ExtractCabFile: fail cab extraction from %s to %s", cabPath, destination);
        return false;
    }
    return true;
}

bool RemoveFolderTree(const wchar_t* folder) {
    if (folder == nullptr) {
        return false;
    }
    const std::wstring base(folder);
    if (Tessel::IsReparsePoint(folder)) {
        return ::RemoveDirectoryW(folder) != FALSE;  // the link goes, never what it points to
    }
    WIN32_FIND_DATAW entry = {};
    Tessel::UniqueFindHandle find(::FindFirstFileW((base + L"\\*.*").c_str(), &entry));
    if (!find) {
        return false;
    }
    do {
        if (IsDotEntry(entry.cFileName)) {
            continue;
        }
        const std::wstring path = base + L"\\" + entry.cFileName;
        const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (!isFolder) {
            ::DeleteFileW(path.c_str());  // a file that stays keeps its folder; go on regardless
        } else if (isLink) {
            ::RemoveDirectoryW(path.c_str());  // removes the link, never what it points to
        } else if (!RemoveFolderTree(path.c_str())) {
            return false;
        }
    } while (::FindNextFileW(find.get(), &entry));
    if (::GetLastError() != ERROR_NO_MORE_FILES) {
        return false;
    }
    find.reset();  // the folder cannot be removed while it is being enumerated
    return ::RemoveDirectoryW(base.c_str()) != FALSE;
}

}  // namespace VRXUtils
