// The identity of the module that contains the logging code: its path, its folder and its file
// version, worked out once per process.
#pragma once

#include <windows.h>

#include <string>

namespace ETWLogging {
namespace internal {

struct ModuleIdentity {
    std::wstring path;
    // The path up to and including its last backslash.
    std::wstring folder;
    // The "FileVersion" string, as "a.b.c.d" when stored as "a,b,c,d".
    std::wstring version;
};

// Computed on first use; a part that cannot be read stays empty.
const ModuleIdentity& LoggingModuleIdentity();

// The full path of `module` (null: the process's executable); empty when it cannot be had.
std::wstring ModuleFilePath(HMODULE module);

// "%u,%u,%u,%u" rewritten as "%u.%u.%u.%u"; any other text as it stands.
std::wstring NormalizeFileVersion(const std::wstring& stored);

}  // namespace internal
}  // namespace ETWLogging
