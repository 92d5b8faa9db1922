// Loading one of the product's own libraries: the file is validated first and loaded only when
// it is accepted.
#pragma once

#include <windows.h>

#include "support/FileValidator.h"

using Tessel::ReleaseValidationService;
using Tessel::ValidateFile;

// Validates `path` with the process's validator and loads it through the localised-resource
// loader when accepted. A refused file, a path that is not fully qualified, or a file someone holds
// open for writing is not loaded: the refusal is logged at severity 4 and the result is null.
HMODULE VRXLoadLibrary(const wchar_t* path);

// The same with a given validator.
HMODULE VRXLoadLibrary(const wchar_t* path, Tessel::CFileValidator& validator);
