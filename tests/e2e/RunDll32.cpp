#include "RunDll32.h"

#include <gtest/gtest.h>

#include "support/UniqueAny.h"
#include "tests/support/Files.h"

namespace VrxTest {

std::wstring DllUnderTest() {
    return ExecutableFolder() + L"\\VrxRO.dll";
}

// The rundll32 of the test's own bitness, named explicitly: on 64-bit Windows a 32-bit DLL is run
// by SysWOW64's rundll32, as an installer runs it.
std::wstring RunDll32Path() {
    wchar_t system[MAX_PATH] = {};
    BOOL wow64 = FALSE;
    if (::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64) {
        ::GetSystemWow64DirectoryW(system, MAX_PATH);
    } else {
        ::GetSystemDirectoryW(system, MAX_PATH);
    }
    return std::wstring(system) + L"\\rundll32.exe";
}

DWORD RunAction(const std::wstring& action, const std::wstring& commandTail) {
    const std::wstring rundll32 = RunDll32Path();
    std::wstring commandLine = L"rundll32.exe \"" + DllUnderTest() + L"\"," + action;
    if (!commandTail.empty()) {
        commandLine += L" " + commandTail;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(rundll32.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start rundll32: " << ::GetLastError();
        return static_cast<DWORD>(-1);
    }
    const Tessel::UniqueHandle processHandle(process.hProcess);
    const Tessel::UniqueHandle threadHandle(process.hThread);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(processHandle.get(), 120000));
    DWORD exitCode = static_cast<DWORD>(-1);
    ::GetExitCodeProcess(processHandle.get(), &exitCode);
    return exitCode;
}

}  // namespace VrxTest
