// A host that uses VrxRO.dll the way an installer's custom-action server does: it loads the DLL,
// calls one action, unloads the DLL and returns from main, so that the run time's exit processing
// runs after the DLL is gone. Anything the DLL left registered with the host then crashes it.
// Like rundll32 it holds user32 and advapi32 before it loads the DLL; loading the DLL must then
// load none of the system DLLs that the DLL delay-loads (VRX_DELAY_LOADED, names without ".dll").
//   vrx_unload_host <dll path> <action>
// Exit codes: 0 done; 10 wrong arguments; 11 the DLL did not load; 12 no such action;
// 13 the DLL is still loaded after FreeLibrary; 14 loading the DLL loaded a delay-loaded DLL.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/UniqueAny.h"

namespace {

using Action = void(CALLBACK*)(HWND, HINSTANCE, LPSTR, int);

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text != L'\0'; ++text) {
        narrow += static_cast<char>(*text);
    }
    return narrow;
}

// The delay-loaded DLLs that the process has not loaded yet.
std::vector<std::wstring> DelayLoadedNotLoaded() {
    std::vector<std::wstring> absent;
    const std::wstring names = VRX_DELAY_LOADED;
    for (size_t start = 0; start < names.size();) {
        const size_t end = std::min(names.find(L',', start), names.size());
        const std::wstring name = names.substr(start, end - start) + L".dll";
        if (::GetModuleHandleW(name.c_str()) == nullptr) {
            absent.push_back(name);
        }
        start = end + 1;
    }
    return absent;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 10;
    }
    const Tessel::UniqueHModule user32(::LoadLibraryW(L"user32.dll"));
    const Tessel::UniqueHModule advapi32(::LoadLibraryW(L"advapi32.dll"));
    const std::vector<std::wstring> absent = DelayLoadedNotLoaded();
    Tessel::UniqueHModule dll(::LoadLibraryW(argv[1]));
    if (!dll) {
        return 11;
    }
    for (const std::wstring& name : absent) {
        if (::GetModuleHandleW(name.c_str()) != nullptr) {
            return 14;
        }
    }
    const auto action = reinterpret_cast<Action>(
        reinterpret_cast<void*>(::GetProcAddress(dll.get(), Narrow(argv[2]).c_str())));
    if (action == nullptr) {
        return 12;
    }
    char commandLine[] = "";
    action(nullptr, nullptr, commandLine, SW_HIDE);
    dll.reset();  // FreeLibrary, before main returns
    return ::GetModuleHandleW(argv[1]) == nullptr ? 0 : 13;
}
