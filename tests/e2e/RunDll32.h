// Drives the built VrxRO.dll the way the installer does, one action per rundll32 process, and the
// support tool vrxconf.exe built beside it; finds the DLL's log files.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace VrxTest {

// Full path of the DLL under test: VrxRO.dll beside the test executable.
std::wstring DllUnderTest();

// Runs `rundll32 <dll>,<action> <commandTail>` and waits for it. Returns the process exit code,
// or (DWORD)-1 when it could not be started.
DWORD RunAction(const std::wstring& action, const std::wstring& commandTail = L"");

struct ToolRun {
    DWORD exitCode = static_cast<DWORD>(-1);
    std::string output;  // standard output and standard error together
};

// Runs vrxconf.exe (beside the test executable) with `arguments`, each quoted, and waits for it.
ToolRun RunVrxConf(const std::vector<std::wstring>& arguments);

// The view option that names this test build's own registry view, where the DLL under test reads
// its logging settings.
std::wstring NativeView();

// As RunAction, but ends the process when it has not finished within `timeoutMs`: false then.
bool RunActionWithin(const std::wstring& action, DWORD timeoutMs, DWORD& exitCode,
                     const std::wstring& commandTail = L"");

// Runs `program` with `commandLine` (its name first) and waits for it. With an output path, the
// program's standard output and error go to that file, and so does the report of a crash, which
// Wine's debugger writes to the crashing program's handles. Returns the exit code, or (DWORD)-1
// when the program could not be started.
DWORD RunProgram(const std::wstring& program, std::wstring commandLine,
                 const std::wstring& outputPath = L"");

}  // namespace VrxTest
