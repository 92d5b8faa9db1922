// What the fuzz targets share: a check that stops the run with a message the engine keeps beside
// the input that broke it, a scratch folder of the process, and files written from inputs.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace VrxFuzz {

// Prints "<target>: invariant broken: <message>" and traps, so that the engine saves the input.
[[noreturn]] void Fail(const char* file, int line, const char* format, ...);

#define VRX_FUZZ_CHECK(condition, ...)                        \
    do {                                                      \
        if (!(condition)) {                                   \
            ::VrxFuzz::Fail(__FILE__, __LINE__, __VA_ARGS__); \
        }                                                     \
    } while (false)

// A folder of this process under the temporary folder, made on first use and removed, with what
// it holds, when the process ends.
const std::wstring& ScratchFolder();

// Writes `size` bytes to `path`, replacing the file; false when it cannot.
bool WriteBytes(const std::wstring& path, const void* data, size_t size);

// Deletes a file tree (files and folders below `path`, then `path`), read-only files included;
// `path` is a full path.
void RemoveTree(const std::wstring& path);

// An environment variable's value; empty when it is not set.
std::wstring Environment(const wchar_t* name);

// `size` bytes (at most 1 MB) readable and writable, followed directly by a page that faults on
// any access: a read or write past the end stops the run where it happens. The bytes are the end
// of one region made once per process; the next call hands out the same memory again.
BYTE* GuardedBytes(size_t size);

}  // namespace VrxFuzz
