// Localised module and resource loading through the platform's localisation library VlRtMui.dll.
//
// The library is bound once per process, from the common program files folder the shell names
// (never from a folder the environment names), and only after the file validator accepts it:
// every module the library loads passes through it. Every replacement below uses it when it is
// bound with all of its entries and falls back to the plain platform call when it is not.
#pragma once

#include <windows.h>

#include <mutex>

#include "support/UniqueAny.h"

namespace Tessel {

class CFileValidator;

// Owns one loaded module. Loading holds the file's path (see CHeldPath), asks CheckBeforeLoad,
// so a derived wrapper can refuse a file, loads it and keeps it only when the loader mapped the
// held file. The base class accepts every file.
class CDllWrapperBase {
public:
    CDllWrapperBase() = default;
    virtual ~CDllWrapperBase() = default;
    CDllWrapperBase(const CDllWrapperBase&) = delete;
    CDllWrapperBase& operator=(const CDllWrapperBase&) = delete;

    // 0 accepts `path`; any other value refuses it and becomes the load's result.
    virtual DWORD CheckBeforeLoad(const wchar_t* path);

    HMODULE Module() const { return m_module.get(); }

protected:
    // Loads `path` (fully qualified only) unless a module is already held, which then stays.
    // 0 on success; ERROR_MOD_NOT_FOUND when the file is missing; the hold's error (a reparse
    // point on the path, a file open for writing); ERROR_FILE_INVALID when the loader mapped
    // another file than the one held; else the load's error.
    DWORD LoadModule(const wchar_t* path);
    UniqueHModule m_module;
};

// True when `path` names a file under a root: "X:\" or "\\server\share\", followed by a file name
// (optionally below folders). Relative paths, drive-relative paths ("X:file") and paths of 260
// characters or more are not fully qualified.
bool IsFullyQualifiedFilePath(const wchar_t* path);
// The length of the root of a fully qualified file path ("X:\" or "\\server\share\"); 0 when
// the path is not fully qualified.
size_t FullyQualifiedRootLength(const wchar_t* path);

// The entry table of VlRtMui.dll.
class RtMuiDllInterface : public CDllWrapperBase {
public:
    using GetMappedLocaleFn = LANGID(WINAPI*)(LANGID language, DWORD reserved);
    using LoadLibraryFn = HMODULE(WINAPI*)(const wchar_t* path, DWORD reserved);
    using LoadLibraryExFn = HMODULE(WINAPI*)(const wchar_t* path, HANDLE file, DWORD flags,
                                             DWORD reserved);
    using LoadLibraryImplFn = HMODULE(WINAPI*)(const wchar_t* path, HANDLE file, DWORD flags,
                                               LANGID language, DWORD reserved);
    using LoadStringFn = int(WINAPI*)(HINSTANCE module, UINT id, wchar_t* buffer, int chars,
                                      DWORD reserved);
    using LoadStringExFn = int(WINAPI*)(HINSTANCE module, UINT id, wchar_t* buffer, int chars,
                                        LANGID language, DWORD reserved);
    using FindResourceFn = HRSRC(WINAPI*)(HMODULE module, const wchar_t* name, const wchar_t* type,
                                          DWORD reserved);
    using FindResourceExFn = HRSRC(WINAPI*)(HMODULE module, const wchar_t* name,
                                            const wchar_t* type, LANGID language, DWORD reserved);
    using LoadImageFn = HANDLE(WINAPI*)(HINSTANCE module, const wchar_t* name, UINT type, int cx,
                                        int cy, UINT flags, DWORD reserved);
    using LoadImageExFn = HANDLE(WINAPI*)(HINSTANCE module, const wchar_t* name, UINT type, int cx,
                                          int cy, UINT flags, LANGID language, DWORD reserved);
    using LoadBitmapFn = HBITMAP(WINAPI*)(HINSTANCE module, const wchar_t* name, DWORD reserved);
    using LoadBitmapExFn = HBITMAP(WINAPI*)(HINSTANCE module, const wchar_t* name, LANGID language,
                                            DWORD reserved);
    using LoadIconFn = HICON(WINAPI*)(HINSTANCE module, const wchar_t* name, DWORD reserved);
    using LoadIconExFn = HICON(WINAPI*)(HINSTANCE module, const wchar_t* name, LANGID language,
                                        DWORD reserved);

    // In binding order; binding stops at the first export that is missing.
    struct EntryTable {
        GetMappedLocaleFn getMappedLocale = nullptr;
        LoadLibraryFn loadLibrary = nullptr;
        LoadLibraryExFn loadLibraryEx = nullptr;
        LoadLibraryImplFn loadLibraryImpl = nullptr;
        LoadStringFn loadString = nullptr;
        LoadStringExFn loadStringEx = nullptr;
        FindResourceFn findResource = nullptr;
        FindResourceExFn findResourceEx = nullptr;
        LoadImageFn loadImage = nullptr;
        LoadImageExFn loadImageEx = nullptr;
        LoadBitmapFn loadBitmap = nullptr;
        LoadBitmapExFn loadBitmapEx = nullptr;
        LoadIconFn loadIcon = nullptr;
        LoadIconExFn loadIconEx = nullptr;
    };

    const EntryTable& Entries() const { return m_entries; }

protected:
    // Looks the exports up in order; 0 when all were found, else the error of the first missing
    // one (the entries after it stay null).
    DWORD BindEntries();

    EntryTable m_entries;
};

// VlRtMui.dll loaded from its place, with the outcome of loading and binding it.
class RtMuiImpl : public RtMuiDllInterface {
public:
    // Validates the library with `validator`, or with the process's validator when it is null;
    // the validator must outlive the loads.
    explicit RtMuiImpl(CFileValidator* validator = nullptr) : m_validator(validator) {}
    // Calls the library's "DllRelease" (when it has one) before the module is freed.
    ~RtMuiImpl() override;

    // Loads from `explicitPath` when it is given, else from the shell's common program files
    // folder (FOLDERID_ProgramFilesCommon) + "\Varlen\Platform\VlRtMui.dll". Returns the load
    // result.
    DWORD Create(const wchar_t* explicitPath = nullptr);

    // The library is loaded only when the validator accepts it: 0, or the validation's refusal.
    DWORD CheckBeforeLoad(const wchar_t* path) override;

    // Loads `path`: CheckBeforeLoad, load (fully qualified paths only), "DllAddRef" when present,
    // bind the entries. A module already held stays, with result 0 and the load result unchanged.
    DWORD LoadFrom(const wchar_t* path);

    // 0 when the library is loaded and every entry is bound; else the error.
    DWORD LoadResult() const { return m_loadResult; }
    bool IsAvailable() const { return m_loadResult == ERROR_SUCCESS; }

    // The replacements: the library's export when it is available, else the platform call
    // (LoadLibraryW, LoadLibraryExW, LoadStringW, FindResourceW, LoadBitmapW, LoadIconW). A
    // `language` of 0 asks for the plain export, any other for the "Ex" export.
    HMODULE LoadLibraryFile(const wchar_t* path) const;
    HMODULE LoadLibraryFileEx(const wchar_t* path, HANDLE file, DWORD flags) const;
    int LoadStringResource(HINSTANCE module, UINT id, wchar_t* buffer, int chars,
                           LANGID language) const;
    HRSRC FindResourceEntry(HMODULE module, const wchar_t* name, const wchar_t* type,
                            LANGID language) const;
    HBITMAP LoadBitmapResource(HINSTANCE module, const wchar_t* name, LANGID language) const;
    HICON LoadIconResource(HINSTANCE module, const wchar_t* name, LANGID language) const;

private:
    CFileValidator* m_validator;
    DWORD m_loadResult = ERROR_MOD_NOT_FOUND;
};

// The process's binding, created on first use.
RtMuiImpl& RtMuiInstance();

// Sets the path the process's binding loads from instead of the default location. Refused (false)
// for a null path, one of 260 characters or more, or once the binding exists.
bool RtMuiSetLibraryPath(const wchar_t* path);

// Whether the process's binding is available.
bool RtMuiIsAvailable();

// Drop-in replacements for the platform calls of the same names, through the process's binding.
HMODULE RtMuiLoadLibrary(const wchar_t* path);
HMODULE RtMuiLoadLibraryEx(const wchar_t* path, HANDLE file, DWORD flags);
int RtMuiLoadString(HINSTANCE module, UINT id, wchar_t* buffer, int chars, LANGID language = 0);
HRSRC RtMuiFindResource(HMODULE module, const wchar_t* name, const wchar_t* type,
                        LANGID language = 0);
HBITMAP RtMuiLoadBitmap(HINSTANCE module, const wchar_t* name, LANGID language = 0);
HICON RtMuiLoadIcon(HINSTANCE module, const wchar_t* name, LANGID language = 0);

}  // namespace Tessel
