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
#include "support/ReparsePoints.h"

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
// The same folders and files below the two trusted folders they start from.
constexpr const wchar_t* kSourceFolders = L"Varlen\\VRX\\apf";
constexpr const wchar_t* kSourceApf = L"Varlen\\VRX\\apf\\apf";
constexpr const wchar_t* kDestinationFolders = L"apf";
constexpr const wchar_t* kDestinationApf = L"apf\\apf";

constexpr DWORD kMoveFlags =
    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
static_assert(kMoveFlags == 11 && CSIDL_PROGRAM_FILESX86 == 0x2A, "move flags and folder id");

bool HoldsFiles(const wchar_t* folder) {
    return ::PathIsDirectoryW(folder) && !::PathIsDirectoryEmptyW(folder);
}

// Whether the "apf" file `relative` below `base` is a plain file of its own (or, when
// `mayBeMissing`, none at all): a link, or a second name of a file elsewhere, would carry the move
// to that file.
bool IsPlainApf(const wchar_t* base, const wchar_t* relative, bool mayBeMissing) {
    Tessel::CLinkFreeFile file;
    const DWORD result = file.Open(base, relative, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   Tessel::FileDisposition::kOpenExisting);
    return result == ERROR_SUCCESS || (mayBeMissing && result == ERROR_FILE_NOT_FOUND);
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
    // one: nothing there can be moved, and nothing is logged. So is one that is a link, or lies
    // behind one: a user who made "Varlen" or a folder below it a link would have this elevated
    // action carry a file of his choice out of its folder. The folders stay held, unchanged,
    // until the move is done.
    wchar_t sourceFolder[kPathChars] = {};
    wchar_t sourceFile[kPathChars] = {};
    Tessel::CLinkFreePath sourceFolders;
    if (!JoinPath(sourceFolder, {programFilesX86, kSourceFolderTail}) ||
        !JoinPath(sourceFile, {sourceFolder, kApfName}) ||
        sourceFolders.Hold(programFilesX86, kSourceFolders) != ERROR_SUCCESS ||
        !HoldsFiles(sourceFolder)) {
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

    // The destination's "apf" folder is held as the source's are, and the file at either end
    // must be a plain file (or, at the destination, none yet). A link anywhere fails the move as
    // any other failed move does: silently, the file staying where it was.
    Tessel::CLinkFreePath destinationFolders;
    if (destinationFolders.Hold(installDir, kDestinationFolders) != ERROR_SUCCESS ||
        !IsPlainApf(programFilesX86, kSourceApf, false) ||
        !IsPlainApf(installDir, kDestinationApf, true)) {
        return 0;
    }

    // A move that fails (no "apf" in the source folder, no destination folder, access denied)
    // leaves the file where it was; the installer has nothing to do about it.
    ::MoveFileExW(sourceFile, destinationFile, kMoveFlags);
    return 0;
}
