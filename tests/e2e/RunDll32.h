// Drives the built VrxRO.dll the way the installer does: one action per rundll32 process.
#pragma once

#include <windows.h>

#include <string>

namespace VrxTest {

// Full path of the DLL under test: VrxRO.dll beside the test executable.
std::wstring DllUnderTest();

// Runs `rundll32 <dll>,<action> <commandTail>` and waits for it. Returns the process exit code,
// or (DWORD)-1 when it could not be started.
DWORD RunAction(const std::wstring& action, const std::wstring& commandTail = L"");

// As RunAction, but ends the process when it has not finished within `timeoutMs`: false then.
bool RunActionWithin(const std::wstring& action, DWORD timeoutMs, DWORD& exitCode,
                     const std::wstring& commandTail = L"");

}  // namespace VrxTest
