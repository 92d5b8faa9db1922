// A host that uses VrxRO.dll the way an installer's custom-action server does: it loads the DLL,
// calls one action, unloads the DLL and returns from main, so that the run time's exit processing
// runs after the DLL is gone. Anything the DLL left registered with the host then crashes it.
//   vrx_unload_host <dll path> <action>
// Exit codes: 0 done; 10 wrong arguments; 11 the DLL did not load; 12 no such action;
// 13 the DLL is still loaded after FreeLibrary.
#include <windows.h>

#include <string>

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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 10;
    }
    Tessel::UniqueHModule dll(::LoadLibraryW(argv[1]));
    if (!dll) {
        return 11;
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
