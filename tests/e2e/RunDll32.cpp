#include "RunDll32.h"

#include <gtest/gtest.h>

#include "support/UniqueAny.h"
#include "tests/support/Files.h"

namespace VrxTest {

std::wstring DllUnderTest() {
    return ExecutableFolder() + L"\\VrxRO.dll";
}

DWORD RunAction(const std::wstring& action, const std::wstring& commandTail) {
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring rundll32 = std::wstring(system) + L"\\rundll32.exe";
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
