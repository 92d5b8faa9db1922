// The default user's profile path, as the shell hands it to CheckOutlook: the action sweeps the
// folder that holds it. The input's first byte says how the lookup went (bit 0: it failed, having
// written the path anyway; bit 1: the system is older than Vista); the rest is the path in UTF-8,
// cut to the 260-character buffer the shell fills, not necessarily terminated.
//
// A fixed folder, C:\vrx-fuzz-profiles, holds profiles with Outlook's cache in either layout, one
// profile holding a folder that has a cache of its own, and a folder beside it holding another
// profile. What must hold after each sweep: a cache is deleted only when the lookup succeeded
// and it lies directly in a profile of the folder that the looked-up path names as its parent
// (the path up to its last separator, a full path, resolved as the platform resolves it), in the
// layout of the system's release; and, when that parent is a full path with a drive, every such
// cache is deleted. The sweep's current folder is the fixed folder, so that a relative path stays
// in it.
#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <cwctype>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "src/common/vrxrunonce/OutlookCleanup.h"
#include "src/includes/ProductKeys.h"
#include "support/OSInfo.h"
#include "support/UniqueAny.h"

namespace {

constexpr wchar_t kRoot[] = L"C:\\vrx-fuzz-profiles";
constexpr wchar_t kSinceVista[] = L"\\AppData\\Local\\Microsoft\\Outlook\\extend.dat";
constexpr wchar_t kBeforeVista[] =
    L"\\Local Settings\\Application Data\\Microsoft\\Outlook\\extend.dat";

struct Cache {
    std::wstring parent;  // the folder of the profiles, with its separator
    std::wstring profile;
    bool sinceVista;
    std::wstring Path() const {
        return parent + profile + (sinceVista ? kSinceVista : kBeforeVista);
    }
};

const std::vector<Cache>& Caches() {
    static const std::vector<Cache> caches = {
        {std::wstring(kRoot) + L"\\users\\", L"alice", true},
        {std::wstring(kRoot) + L"\\users\\", L"alice", false},
        {std::wstring(kRoot) + L"\\users\\", L"bob", true},
        {std::wstring(kRoot) + L"\\users\\alice\\", L"Documents", true},
        {std::wstring(kRoot) + L"\\elsewhere\\", L"carol", true},
    };
    return caches;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void PlaceCaches() {
    for (const Cache& cache : Caches()) {
        const std::wstring path = cache.Path();
        if (!Exists(path)) {
            ::SHCreateDirectoryExW(nullptr, path.substr(0, path.find_last_of(L'\\')).c_str(),
                                   nullptr);
            VRX_FUZZ_CHECK(VrxFuzz::WriteBytes(path, "cache", 5), "cannot place %ls", path.c_str());
        }
    }
}

// The product's extension is registered for the whole run, and only for the run.
void RegisterExtension() {
    static const bool registered = [] {
        Tessel::UniqueHKey key;
        VRX_FUZZ_CHECK(
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProductKeys::kExchangeExtensions, 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, key.put(), nullptr) == ERROR_SUCCESS,
            "cannot register the extension");
        ::RegSetValueExW(key.get(), L"Varlen Anti-Spam", 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(L"x"), 4);
        std::atexit([] {
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, ProductKeys::kExchangeExtensions,
                                 L"Varlen Anti-Spam");
            VrxFuzz::RemoveTree(kRoot);
        });
        ::SHCreateDirectoryExW(nullptr, (std::wstring(kRoot) + L"\\users\\Default").c_str(),
                               nullptr);
        return true;
    }();
    (void)registered;
}

std::wstring g_path;
bool g_lookupFails = false;
bool g_beforeVista = false;

HRESULT ProfileFolder(wchar_t* path) {
    std::wmemcpy(path, g_path.data(), g_path.size());
    return g_lookupFails ? E_FAIL : S_OK;
}

DWORD ReleaseId() {
    return g_beforeVista ? Tessel::kOSReleaseWindowsXP : Tessel::kOSReleaseWindowsVista;
}

std::wstring Normalised(std::wstring path) {
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
        path.erase(0, 4);
    }
    for (wchar_t& c : path) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    RegisterExtension();
    PlaceCaches();
    g_lookupFails = (data[0] & 1) != 0;
    g_beforeVista = (data[0] & 2) != 0;
    const char* const text = reinterpret_cast<const char*>(data + 1);
    const int chars =
        ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size - 1), nullptr, 0);
    std::wstring path(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size - 1), &path[0], chars);
    g_path = path.substr(0, MAX_PATH);

    // The engine's own paths may be relative to the current folder: it is changed for the sweep
    // only.
    wchar_t current[4 * MAX_PATH] = {};
    ::GetCurrentDirectoryW(ARRAYSIZE(current), current);
    ::SetCurrentDirectoryW(kRoot);
    VrxRunOnce::DeleteOutlookExtensionCaches({&ProfileFolder, &ReleaseId});
    ::SetCurrentDirectoryW(current);

    // The parent the path names: up to its last separator, within the shell's buffer. Only a full
    // path (a drive and a separator, or two separators) names a folder whatever the current one.
    std::wstring looked = g_path.substr(0, MAX_PATH - 1);
    looked.resize(std::wcslen(looked.c_str()));
    const std::wstring named = looked.substr(0, looked.find_last_of(L'\\') + 1);
    const bool drivePath =
        named.size() >= 3 && std::iswalpha(named[0]) && named[1] == L':' && named[2] == L'\\';
    const bool fullPath = drivePath || named.compare(0, 2, L"\\\\") == 0;
    std::wstring parent;
    wchar_t full[4 * MAX_PATH] = {};
    ::SetCurrentDirectoryW(kRoot);
    const DWORD length = ::GetFullPathNameW(named.c_str(), ARRAYSIZE(full), full, nullptr);
    ::SetCurrentDirectoryW(current);
    if (!g_lookupFails && fullPath && length > 0 && length < ARRAYSIZE(full)) {
        parent = Normalised(full);
    }
    for (const Cache& cache : Caches()) {
        const bool deleted = !Exists(cache.Path());
        const bool inNamedFolder =
            parent == Normalised(cache.parent) && cache.sinceVista == !g_beforeVista;
        VRX_FUZZ_CHECK(!deleted || inNamedFolder, "the path \"%ls\" deleted %ls", looked.c_str(),
                       cache.Path().c_str());
        VRX_FUZZ_CHECK(deleted || !inNamedFolder || !drivePath, "the path \"%ls\" left %ls",
                       looked.c_str(), cache.Path().c_str());
    }
    return 0;
}
