// Text output of the tool in the console's encoding.
#pragma once

#include <windows.h>

#include <string>

namespace VrxConf {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;  // bad arguments: nothing was written

// Writes `text` and a line end to standard output: as UTF-16 to a console, otherwise converted to
// the console's output code page (the OEM code page when the process has no console).
void PrintLine(const std::wstring& text);
// The same on standard error.
void PrintErrorLine(const std::wstring& text);

// Prints "vrxconf: <message>" on standard error and returns `exitCode`.
int Fail(const std::wstring& message, int exitCode = kExitFailed);

// "text" in double quotes, as value names are shown.
std::wstring Quoted(const std::wstring& text);
// The platform's message for a Win32 error code, followed by the code: "Access is denied. (5)".
std::wstring ErrorText(DWORD error);

}  // namespace VrxConf
