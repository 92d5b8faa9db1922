// MoveApfFile: carries the "apf" file over from the product folder of an earlier install under
// the 32-bit program-files folder into the "apf" sub-folder of the install folder.
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

#include "ActionLog.h"
#include "PathBuffer.h"
#include "VrxRunOnce.h"
#include "../../includes/ProductKeys.h"
#include "../../includes/RegKeyHolder.h"

namespace {

using ETWLogging::kSeverityError;
using VrxRunOnce::LogAction;

constexpr const wchar_t* kAction = L"MoveApfFile";

// Paths, terminator included. "Install Dir" is read with one character more, so that a folder
// that fills a whole path buffer is still read (and then refused, since "\apf\apf" cannot follow).
using VrxRunOnce::JoinPath;
using VrxRunOnce::kPathChars;
constexpr DWORD kInstallDirChars = MAX_PATH + 1;

constexpr const wchar_t* kSourceFolderTail = L"\\Varlen\\VRX\\apf\\";
constexpr const wchar_t* kDestinationFolderTail = L"\\apf\\";
constexpr const wchar_t* kApfName = L"apf";

constexpr DWORD kMoveFlags =
    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
static_assert(kMoveFlags == 11 && CSIDL_PROGRAM_FILESX86 == 0x2A, "move flags and folder id");

bool HoldsFiles(const wchar_t* folder) {
    return ::PathIsDirectoryW(folder) && !::PathIsDirectoryEmptyW(folder);
}

}  // namespace

extern "C" int CALLBACK MoveApfFile(HWND, HINSTANCE, LPSTR, int) {
    wchar_t programFilesX86[kPathChars] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, programFilesX86))) {
        LogAction(kSeverityError, kAction, 853, L"Fail to get X86 folder Error:%d Line:%d\r\n",
                  static_cast<int>(::GetLastError()), 853);
        return 0;
    }

    // A source folder whose "apf" cannot be named within a path buffer is treated like a missing
    // one: nothing there can be moved, and nothing is logged.
    wchar_t sourceFolder[kPathChars] = {};
    wchar_t sourceFile[kPathChars] = {};
    if (!JoinPath(sourceFolder, {programFilesX86, kSourceFolderTail}) ||
        !JoinPath(sourceFile, {sourceFolder, kApfName}) || !HoldsFiles(sourceFolder)) {
        return 0;
    }

    CRegKeyHolder key;
    if (key.Open(HKEY_LOCAL_MACHINE, ProductKeys::kVrx, ProductKeys::kRead64) != ERROR_SUCCESS) {
        LogAction(kSeverityError, kAction, 883, L"copy apf file: fail to read VRX registry key");
        return 0;
    }

    // The install folder must be a full path, and its "apf" file must be nameable within a path
    // buffer: an empty or relative folder would send the file to wherever the host happens to
    // run, a cut-off one to a different folder.
    wchar_t installDir[kInstallDirChars] = {};
    DWORD chars = kInstallDirChars;
    wchar_t destinationFolder[kPathChars] = {};
    wchar_t destinationFile[kPathChars] = {};
    if (key.QueryRegString(ProductKeys::kInstallDirValue, installDir, chars) != ERROR_SUCCESS ||
        ::PathIsRelativeW(installDir) ||
        !JoinPath(destinationFolder, {installDir, kDestinationFolderTail}) ||
        !JoinPath(destinationFile, {destinationFolder, kApfName})) {
        LogAction(kSeverityError, kAction, 877, L"copy apf file: fail to get VRX apf path");
        return 0;
    }

    // A move that fails (no "apf" in the source folder, no destination folder, access denied)
    // leaves the file where it was; the installer has nothing to do about it.
    ::MoveFileExW(sourceFile, destinationFile, kMoveFlags);
    return 0;
}
