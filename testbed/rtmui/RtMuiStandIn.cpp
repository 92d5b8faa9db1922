// A stand-in for the platform's localisation library VlRtMui.dll: every export does the plain
// platform call. It counts the calls the tests look at ("StandIn..." exports, not part of the
// real library). Built with VRX_RTMUI_NO_ICON_EX it lacks "RtMUILoadIconEx".
#include <windows.h>

namespace {
LONG g_loadLibraryCalls = 0;
LONG g_addRefCalls = 0;
LONG g_releaseCalls = 0;
}  // namespace

#define VRX_EXPORT extern "C" __declspec(dllexport)

VRX_EXPORT LANGID WINAPI RtMUIGetMappedLocale(LANGID language, DWORD) {
    return language;
}
VRX_EXPORT HMODULE WINAPI RtMUILoadLibrary(const wchar_t* path, DWORD) {
    ::InterlockedIncrement(&g_loadLibraryCalls);
    return ::LoadLibraryW(path);
}
VRX_EXPORT HMODULE WINAPI RtMUILoadLibraryEx(const wchar_t* path, HANDLE file, DWORD flags, DWORD) {
    return ::LoadLibraryExW(path, file, flags);
}
VRX_EXPORT HMODULE WINAPI RtMUILoadLibraryImpl(const wchar_t* path, HANDLE file, DWORD flags,
                                               LANGID, DWORD) {
    return ::LoadLibraryExW(path, file, flags);
}
VRX_EXPORT int WINAPI RtMUILoadString(HINSTANCE module, UINT id, wchar_t* buffer, int chars,
                                      DWORD) {
    return ::LoadStringW(module, id, buffer, chars);
}
VRX_EXPORT int WINAPI RtMUILoadStringEx(HINSTANCE module, UINT id, wchar_t* buffer, int chars,
                                        LANGID, DWORD) {
    return ::LoadStringW(module, id, buffer, chars);
}
VRX_EXPORT HRSRC WINAPI RtMUIFindResource(HMODULE module, const wchar_t* name, const wchar_t* type,
                                          DWORD) {
    return ::FindResourceW(module, name, type);
}
VRX_EXPORT HRSRC WINAPI RtMUIFindResourceEx(HMODULE module, const wchar_t* name,
                                            const wchar_t* type, LANGID language, DWORD) {
    return ::FindResourceExW(module, type, name, language);
}
VRX_EXPORT HANDLE WINAPI RtMUILoadImage(HINSTANCE module, const wchar_t* name, UINT type, int cx,
                                        int cy, UINT flags, DWORD) {
    return ::LoadImageW(module, name, type, cx, cy, flags);
}
VRX_EXPORT HANDLE WINAPI RtMUILoadImageEx(HINSTANCE module, const wchar_t* name, UINT type, int cx,
                                          int cy, UINT flags, LANGID, DWORD) {
    return ::LoadImageW(module, name, type, cx, cy, flags);
}
VRX_EXPORT HBITMAP WINAPI RtMUILoadBitmap(HINSTANCE module, const wchar_t* name, DWORD) {
    return ::LoadBitmapW(module, name);
}
VRX_EXPORT HBITMAP WINAPI RtMUILoadBitmapEx(HINSTANCE module, const wchar_t* name, LANGID, DWORD) {
    return ::LoadBitmapW(module, name);
}
VRX_EXPORT HICON WINAPI RtMUILoadIcon(HINSTANCE module, const wchar_t* name, DWORD) {
    return ::LoadIconW(module, name);
}
#ifndef VRX_RTMUI_NO_ICON_EX
VRX_EXPORT HICON WINAPI RtMUILoadIconEx(HINSTANCE module, const wchar_t* name, LANGID, DWORD) {
    return ::LoadIconW(module, name);
}
#endif

VRX_EXPORT void WINAPI DllAddRef() {
    ::InterlockedIncrement(&g_addRefCalls);
    // The caller must keep its last error across this call.
    ::SetLastError(ERROR_INVALID_FUNCTION);
}
VRX_EXPORT void WINAPI DllRelease() {
    ::InterlockedIncrement(&g_releaseCalls);
}

VRX_EXPORT LONG WINAPI StandInLoadLibraryCalls() {
    return g_loadLibraryCalls;
}
VRX_EXPORT LONG WINAPI StandInAddRefCalls() {
    return g_addRefCalls;
}
VRX_EXPORT LONG WINAPI StandInReleaseCalls() {
    return g_releaseCalls;
}
