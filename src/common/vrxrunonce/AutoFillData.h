// The work of ExtractAutoFillData, with the validator that admits the resource library passed in.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include "support/FileValidator.h"

namespace VrxRunOnce {

// Writes the auto-fill database (resource "DBFILE" 101 of "VRXAutoFillRes.dll" in the install
// folder, loaded once `validator` accepts it) to "VRXWMAutoFillDB.dat" in the product's folder
// under the common application-data folder, after opening that folder's access rights. Returns 0
// when the database was written, 1 when it was not.
int ExtractAutoFillDatabase(Tessel::CFileValidator& validator);

// Opens the rights of the object `name` of `type` (the product's data folder, for the action):
// Everyone's entries are removed and Authenticated Users and Guests get inheritable allow
// entries. Nothing changes for an object whose DACL cannot be read or is null. An error of the
// DACL editor is logged and goes no further.
void OpenDataFolderAccess(const wchar_t* name, SE_OBJECT_TYPE type);

}  // namespace VrxRunOnce
