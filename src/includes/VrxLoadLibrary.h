// Loading one of the product's own libraries: the file is validated first and loaded only when
// it is accepted.
#pragma once

#include <windows.h>

#include "support/FileValidator.h"

using Tessel::ReleaseValidationService;
using Tessel::ValidateFile;

// Validates `path` with the process's validator and loads it through the localised-resource
// loader when accepted. A refused file, a path that is not fully qualified or passes through a
// reparse point, a file someone holds open for writing, or a module that was not mapped from the
// validated file is not loaded (or is freed): the refusal is logged at severity 4 and the result
// is null.
HMODULE VRXLoadLibrary(const wchar_t* path);

// The same with a given validator.
HMODULE VRXLoadLibrary(const wchar_t* path, Tessel::CFileValidator& validator);
