// Binding of the maker's utility library VlUtil.dll: finding a copy (beside the host executable,
// in the folder the registry records, or the newest versioned copy of the common platform folder),
// validating it, loading it, and looking up its exports into a table of entry points.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>

#include "support/FileValidator.h"
#include "support/UniqueAny.h"

namespace Tessel {

// Registry locations, under HKEY_LOCAL_MACHINE in the 64-bit view.
constexpr const wchar_t* kPlatformKey = L"SOFTWARE\\Varlen\\Platform";
constexpr const wchar_t* kVlUtilInstallDirValue = L"vlutil32_install_dir";
constexpr const wchar_t* kSuiteKey = L"SOFTWARE\\Varlen\\VSC";
constexpr const wchar_t* kCommonFilesDirValue = L"CommonFiles Dir";

// Option bits of RegReadStringValue and RegWriteStringValue.
constexpr DWORD kRegOption64BitView = 0x10;
constexpr DWORD kRegOption32BitView = 0x8;

// Reads one value through the ANSI registry functions, the key path and value name converted to
// the thread's ANSI code page; REG_SZ and REG_MULTI_SZ data come back as UTF-16 (terminated, the
// terminator counted in *bytes). `*bytes` holds the buffer's size in bytes and receives the size
// of the data, or the size needed when the buffer is too small (ERROR_MORE_DATA, 234). A null
// `data` only asks for the size. Returns the registry error code, or ERROR_OUTOFMEMORY when a
// conversion buffer cannot be had.
LSTATUS RegReadStringValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD* type,
                           void* data, DWORD* bytes, DWORD options);

// Writes one value through the ANSI registry functions, creating the key when it is missing;
// REG_SZ and REG_MULTI_SZ data are UTF-16 and stored in the thread's ANSI code page. Text the code
// page cannot hold exactly is not written (ERROR_NO_UNICODE_TRANSLATION) rather than stored with
// substitutes that could name another folder.
LSTATUS RegWriteStringValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD type,
                            const void* data, DWORD bytes, DWORD options);

// The exports of VlUtil.dll, in binding order: an entry's value is its index in the table.
enum class VlUtilExport : size_t {
    VlGetModuleFolder,
    VlLoadModuleFromFolder,
    VlIsProcessRunning,
    VlTerminateProcessByName,
    VlGetProcessImagePath,
    VlWaitForProcessExit,
    VlDeleteFileOnReboot,
    VlDeleteFolderOnReboot,
    VlDeleteFolderTree,
    VlCopyFile,
    VlCopyFolder,
    VlCreateFolderWithAccess,
    VlRegReadString,
    VlRegWriteString,
    VlRegReadDword,
    VlRegWriteDword,
    VlRegDeleteKeyTree,
    VlGetOSVersion,
    VlIsOSVersionAtLeast,
    VlIs64BitOS,
    VlGetSuiteVersion,
    VlGetSuiteInstallFolder,
    VlShellExecute,
    VlShellExecuteAndWait,
    VlCreateTask,
    VlDeleteTask,
    VlEnableTask,
    VlDisableTask,
    VlTaskExists,
    VlBeginInstallMonitor,
    VlEndInstallMonitor,
    VlGetInstallMonitorMode,
    VlBeginUpdateMonitor,
    VlEndUpdateMonitor,
    VlGetUpdateMonitorMode,
    VlBeginScanMonitor,
    VlEndScanMonitor,
    VlGetScanMonitorMode,
    VlBeginQuietMonitor,
    VlEndQuietMonitor,
    VlGetQuietMonitorMode,
    VlStartUIHost,
    VlStopUIHost,
    VlIsUIHostRunning,
    VlNotifyUIHost,
    VlGetHardwareId,
    VlGetWindowsId,
    VlGetMachineId,
    VlGetMachineName,
    VlGetUserSid,
    VlIsUserAdmin,
    VlGetProductLanguage,
    VlGetLastErrorText,
    Count
};

constexpr size_t kVlUtilExportCount = static_cast<size_t>(VlUtilExport::Count);
static_assert(kVlUtilExportCount == 53, "VlUtil.dll binds 53 exports");

// The ANSI names of the exports, in binding order.
extern const std::array<const char*, kVlUtilExportCount> kVlUtilExportNames;

// Deletes the scheduled task of that name: nonzero when it was deleted, zero when it was not or
// did not exist.
using VlDeleteTaskFn = int(WINAPI*)(const wchar_t* taskName);

// One binding of VlUtil.dll, owned by the action that uses it. The module is freed when the loader
// goes (or on the next Load), so entries must not be called after that.
class CVlUtilLoader {
public:
    // Copies are accepted by `validator`, which must outlive the loader's loads.
    explicit CVlUtilLoader(CFileValidator& validator);
    virtual ~CVlUtilLoader();
    CVlUtilLoader(const CVlUtilLoader&) = delete;
    CVlUtilLoader& operator=(const CVlUtilLoader&) = delete;

    // Loads the first usable copy (executable's folder, the recorded folder, the newest versioned
    // copy, the common platform folder) and binds the table. 0 on success; ERROR_MOD_NOT_FOUND
    // (126) when no copy could be loaded, the table then all null.
    DWORD Load();

    // Loads <folder>\VlUtil.dll, or VlUtil.dll beside the process's executable when `folder` is
    // null or empty. A module of that path already in the process is taken as it is; otherwise
    // the file is loaded only when it is accepted by the validator and its path is fully
    // qualified. 0, or the error: 2 for a missing file, the validator's refusal (5 or 87),
    // ERROR_UNHANDLED_EXCEPTION (574) when the validation throws, the load's error.
    DWORD TryLoadFromFolder(const wchar_t* folder);

    // The maker's common platform folder: "CommonFiles Dir", else the common program files folder
    // + "\Varlen\Platform", ending in "\" exactly when `trailingSeparator` is set, without an
    // opening double quote. 0; ERROR_INVALID_PARAMETER for no buffer; ERROR_NO_DATA (the output
    // empty) when no folder is known; ERROR_INSUFFICIENT_BUFFER when it does not fit.
    DWORD FindCommonPlatformFolder(wchar_t* folder, size_t capacity, bool trailingSeparator) const;

    // True when the process token holds the built-in Administrators group, enabled.
    virtual bool IsProcessAdmin() const;

    HMODULE Module() const { return m_module.get(); }
    const wchar_t* LibraryFileName() const { return m_libraryFileName; }

    // The entry bound for `which`; null when unbound or missing from the library.
    FARPROC Entry(VlUtilExport which) const { return m_table[static_cast<size_t>(which)]; }
    VlDeleteTaskFn VlDeleteTask() const {
        return reinterpret_cast<VlDeleteTaskFn>(
            reinterpret_cast<void*>(Entry(VlUtilExport::VlDeleteTask)));
    }

private:
    // Looks every export up in the loaded module.
    void Bind();
    // Frees the module and clears the table.
    void Unload();
    // Loads the newest versioned copy under <commonFolder>vlutil; true on success. Records its
    // folder in the registry when the process is an administrator.
    bool TryLoadNewestVersion(const wchar_t* commonFolder);

    CFileValidator& m_validator;
    const wchar_t* const m_libraryFileName = L"VlUtil.dll";
    UniqueHModule m_module;
    std::array<FARPROC, kVlUtilExportCount> m_table = {};
};

}  // namespace Tessel
