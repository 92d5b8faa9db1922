#include "FuzzSupport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "support/UniqueAny.h"

namespace VrxFuzz {

void Fail(const char* file, int line, const char* format, ...) {
    std::fprintf(stderr, "%s:%d: invariant broken: ", file, line);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    __builtin_trap();
}

namespace {

std::wstring MakeScratchFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    VRX_FUZZ_CHECK(length != 0 && length <= MAX_PATH, "no temporary folder");
    const std::wstring folder =
        std::wstring(temp) + L"vrx-fuzz-" + std::to_wstring(::GetCurrentProcessId());
    RemoveTree(folder);
    VRX_FUZZ_CHECK(::CreateDirectoryW(folder.c_str(), nullptr), "cannot make %ls (%lu)",
                   folder.c_str(), ::GetLastError());
    return folder;
}

}  // namespace

const std::wstring& ScratchFolder() {
    static const std::wstring folder = MakeScratchFolder();
    static const bool removedAtExit = [] {
        std::atexit([] { RemoveTree(folder); });
        return true;
    }();
    (void)removedAtExit;
    return folder;
}

bool WriteBytes(const std::wstring& path, const void* data, size_t size) {
    const Tessel::UniqueFileHandle file(::CreateFileW(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && size <= MAXDWORD &&
           (size == 0 ||
            ::WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr)) &&
           written == size;
}

void RemoveTree(const std::wstring& path) {
    // Names as they are: a name with a trailing dot or blank, which an unpacked member may have,
    // means another file to the path's usual reading.
    if (path.compare(0, 4, L"\\\\?\\") != 0) {
        RemoveTree(L"\\\\?\\" + path);
        return;
    }
    WIN32_FIND_DATAW entry = {};
    const Tessel::UniqueFindHandle find(::FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (find) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                RemoveTree(child);
            } else if (!::DeleteFileW(child.c_str())) {
                ::RemoveDirectoryW(child.c_str());
            }
        } while (::FindNextFileW(find.get(), &entry));
    }
    ::RemoveDirectoryW(path.c_str());
}

std::wstring Environment(const wchar_t* name) {
    const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) {
        return std::wstring();
    }
    std::wstring value(needed, L'\0');
    value.resize(::GetEnvironmentVariableW(name, &value[0], needed));
    return value;
}

BYTE* GuardedBytes(size_t size) {
    constexpr size_t kRegionBytes = 1 << 20;
    static BYTE* const end = [] {
        SYSTEM_INFO system = {};
        ::GetSystemInfo(&system);
        const size_t page = system.dwPageSize;
        auto* base = static_cast<BYTE*>(
            ::VirtualAlloc(nullptr, kRegionBytes + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VRX_FUZZ_CHECK(
            base != nullptr && ::VirtualProtect(base + kRegionBytes, page, PAGE_NOACCESS, &old),
            "cannot make a guarded region");
        return base + kRegionBytes;
    }();
    VRX_FUZZ_CHECK(size <= kRegionBytes, "a guarded buffer of %zu bytes", size);
    return end - size;
}

}  // namespace VrxFuzz
