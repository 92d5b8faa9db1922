// The floor of the load and rundll32 benchmarks: a DLL built like VrxRO.dll (same run time, linked
// statically) whose one export does nothing.
#include <windows.h>

extern "C" __declspec(dllexport) void CALLBACK Nothing(HWND, HINSTANCE, LPSTR, int) {}
