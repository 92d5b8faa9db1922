// ExtractAutoFillData: installs the auto-fill database. Its bytes are a resource of the product's
// resource library "VRXAutoFillRes.dll"; they are written to "VRXWMAutoFillDB.dat" in the
// product's folder under the common application-data folder, whose rights are first opened to
// every signed-in user and to guests.
#include "AutoFillData.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "ActionLog.h"
#include "PathBuffer.h"
#include "ProductLocations.h"
#include "VrxRunOnce.h"
#include "../../../support/ReparsePoints.h"
#include "../../../support/SecurityDescriptor.h"
#include "../../../support/UniqueAny.h"
#include "../../includes/hmodule.h"

namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityInformation;
using VrxRunOnce::LogAction;

constexpr const wchar_t* kAction = L"ExtractAutoFillData";

using VrxRunOnce::JoinPath;
using VrxRunOnce::kPathChars;
constexpr int kAppDataFolder = CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE;
static_assert(kAppDataFolder == 0x8023, "folder id");

// The database file below the common application-data folder, and the folder whose rights change.
constexpr const wchar_t* kProductTail = L"\\Varlen\\VRX\\";
constexpr const wchar_t* kDatabaseName = L"VRXWMAutoFillDB.dat";
constexpr const wchar_t* kDataFolder = L"Varlen\\VRX";
// The new database is written beside the old one under this suffix first.
constexpr const wchar_t* kStagingSuffix = L".new";

constexpr const wchar_t* kResourceLibrary = L"VRXAutoFillRes.dll";
constexpr const wchar_t* kResourceType = L"DBFILE";
constexpr WORD kResourceId = 101;

// Rights on the data folder, inherited by its files and subfolders.
constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr ACCESS_MASK kUsersAccess = GENERIC_ALL | FILE_ALL_ACCESS;
constexpr ACCESS_MASK kGuestsAccess = GENERIC_READ | GENERIC_WRITE;
static_assert(kInherit == 3 && kUsersAccess == 0x101F01FF && kGuestsAccess == 0xC0000000,
              "access entries");

// Finds the common application-data folder (`appData`), creates the product's folders below it
// one level at a time and names the database file in `database`. False when the folder cannot be
// found, the path does not fit, or a level cannot be created because the one above is missing.
bool PrepareDatabasePath(wchar_t* appData, wchar_t* database) {
    if (::SHGetFolderPathW(nullptr, kAppDataFolder, nullptr, 0, appData) != S_OK ||
        !JoinPath(database, {appData, kProductTail, kDatabaseName})) {
        return false;
    }
    // The base folder itself, then "\Varlen", then "\Varlen\VRX": one level per separator of the
    // tail. A level that exists already is no error.
    wchar_t folder[kPathChars] = {};
    const size_t baseLength = std::wcslen(appData);
    std::wmemcpy(folder, appData, baseLength);
    for (size_t i = 0; kProductTail[i] != L'\0'; ++i) {
        if (kProductTail[i] == L'\\') {
            folder[baseLength + i] = L'\0';
            if (!::CreateDirectoryW(folder, nullptr) && ::GetLastError() == ERROR_PATH_NOT_FOUND) {
                return false;
            }
        }
        folder[baseLength + i] = kProductTail[i];
    }
    return true;
}

// Writes `size` bytes to a new file `path` and flushes them to disk. Whatever stood at that name
// is removed first and the file must then be new: a link left there is never written through.
// A file left incomplete is removed. ERROR_SUCCESS, or the error that stopped the write.
DWORD WriteWholeFile(const wchar_t* path, const BYTE* bytes, DWORD size) {
    ::DeleteFileW(path);
    Tessel::UniqueFileHandle file(
        ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return ::GetLastError();
    }
    DWORD error = ERROR_SUCCESS;
    for (DWORD done = 0; done < size && error == ERROR_SUCCESS;) {
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes + done, size - done, &written, nullptr)) {
            error = ::GetLastError();
        } else if (written == 0) {
            error = ERROR_WRITE_FAULT;
        }
        done += written;
    }
    if (error == ERROR_SUCCESS && !::FlushFileBuffers(file.get())) {
        error = ::GetLastError();
    }
    if (!::CloseHandle(file.release()) && error == ERROR_SUCCESS) {
        error = ::GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        ::DeleteFileW(path);
    }
    return error;
}

// Replaces the file `path` with `size` bytes. They are written whole to a file beside it first,
// which then takes its place in one step: a write that fails or is cut short leaves the previous
// file as it was. ERROR_SUCCESS, or the error that stopped the replacement.
DWORD ReplaceFileContent(const wchar_t* path, const BYTE* bytes, DWORD size) {
    const std::wstring staging = std::wstring(path) + kStagingSuffix;
    DWORD error = WriteWholeFile(staging.c_str(), bytes, size);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (!::MoveFileExW(staging.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = ::GetLastError();
        ::DeleteFileW(staging.c_str());
    }
    return error;
}

// Names the resource library in the module holder's path: the install folder, its separator and
// the library's name. False when the folder cannot be read or the name does not fit.
bool NameResourceLibrary(CHModule& library) {
    wchar_t* path = library.Path();
    if (ReadVRXInstallDirWithSeparator(path, CHModule::PathCapacity()) == 0) {
        return false;
    }
    wchar_t* name = std::wcsrchr(path, L'\\') + 1;
    const size_t nameLength = std::wcslen(kResourceLibrary);
    if (static_cast<size_t>(name - path) + nameLength >= CHModule::PathCapacity()) {
        return false;
    }
    std::wmemcpy(name, kResourceLibrary, nameLength + 1);
    return true;
}

}  // namespace

namespace VrxRunOnce {

void OpenDataFolderAccess(const wchar_t* name, SE_OBJECT_TYPE type) {
    try {
        Tessel::CDaclEditor editor;
        if (!Tessel::ReadNamedDacl(name, type, &editor)) {
            return;
        }
        const Tessel::CSecurityId everyone = Tessel::EveryoneSid();
        const Tessel::CSecurityId users = Tessel::AuthenticatedUsersSid();
        const Tessel::CSecurityId guests = Tessel::GuestsSid();
        editor.RemoveEntriesForSid(everyone.Sid());
        editor.AddAllowEntry(users.Sid(), kUsersAccess, kInherit);
        editor.AddAllowEntry(guests.Sid(), kGuestsAccess, kInherit);
        // The rights are a convenience for the product's users, not a condition of the install:
        // the result is left as the thread's last error.
        ::SetLastError(::SetNamedSecurityInfoW(const_cast<LPWSTR>(name), type,
                                               DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                               editor.BuildAcl(), nullptr));
    } catch (...) {
        LogAction(kSeverityError, kAction, 1155, L"Failed to retrive dacl info\n");
    }
}

int ExtractAutoFillDatabase(Tessel::CFileValidator& validator) {
    LogAction(kSeverityInformation, kAction, 1129, L"ExtractAutoFillData: Entering..");

    wchar_t appData[kPathChars] = {};
    wchar_t database[kPathChars] = {};
    // Users may create folders in the common application-data folder: "Varlen" or "Varlen\VRX"
    // made a link there before the install would redirect the rights and the database. Both are
    // held, and refused when a link, until the database is written.
    Tessel::CLinkFreePath dataFolderPath;
    if (!PrepareDatabasePath(appData, database) ||
        dataFolderPath.Hold(appData, kDataFolder) != ERROR_SUCCESS) {
        LogAction(kSeverityError, kAction, 1134,
                  L"ExtractAutoFillData Error Invalid db name and path");
        return 1;
    }

    // The rights go on the folder that holds the database, as found above.
    wchar_t dataFolder[kPathChars] = {};
    std::wcscpy(dataFolder, appData);
    if (::PathAppendW(dataFolder, kDataFolder)) {
        OpenDataFolderAccess(dataFolder, SE_FILE_OBJECT);
    }

    // The library stays loaded, and the resource's bytes valid, until the holder goes.
    CHModule library(validator);
    const HMODULE module = NameResourceLibrary(library) ? library.Load() : nullptr;
    // Without the library there is nothing to look for: the host's own resources are no
    // substitute for a library that is missing or was refused.
    const HRSRC found = module != nullptr
                            ? ::FindResourceW(module, MAKEINTRESOURCEW(kResourceId), kResourceType)
                            : nullptr;
    if (found == nullptr) {
        LogAction(kSeverityError, kAction, 1204,
                  L"ExtractAutoFillData Error Unable to find resource");
        return 1;
    }
    const HGLOBAL loaded = ::LoadResource(module, found);
    if (loaded == nullptr) {
        LogAction(kSeverityError, kAction, 1197,
                  L"ExtractAutoFillData Error Unable to Load Resource");
        return 1;
    }
    const BYTE* bytes = static_cast<const BYTE*>(::LockResource(loaded));
    if (bytes == nullptr) {
        LogAction(kSeverityError, kAction, 1190,
                  L"ExtractAutoFillData Error LockResource is NULL 0");
        return 1;
    }
    const DWORD size = ::SizeofResource(module, found);
    if (size == 0) {
        LogAction(kSeverityError, kAction, 1183, L"ExtractAutoFillData Error ResourceSize 0");
        return 1;
    }

    const DWORD error = ReplaceFileContent(database, bytes, size);
    if (error != ERROR_SUCCESS) {
        LogAction(kSeverityError, kAction, 1207,
                  L"ExtractAutoFillData Error Unable to write db file %s, error %d", database,
                  static_cast<int>(error));
        return 1;
    }
    LogAction(kSeverityInformation, kAction, 1209, L"ExtractAutoFillData: Exiting..");
    return 0;
}

}  // namespace VrxRunOnce

extern "C" int CALLBACK ExtractAutoFillData(HWND, HINSTANCE, LPSTR, int) {
    return VrxRunOnce::ExtractAutoFillDatabase(Tessel::GetFileValidator());
}
