#include "RunDll32.h"

#include <gtest/gtest.h>

#include "support/UniqueAny.h"
#include "tests/support/Files.h"

namespace VrxTest {

std::wstring DllUnderTest() {
    return ExecutableFolder() + L"\\VrxRO.dll";
}

bool RunActionWithin(const std::wstring& action, DWORD timeoutMs, DWORD& exitCode,
                     const std::wstring& commandTail) {
    exitCode = static_cast<DWORD>(-1);
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
        return false;
    }
    const Tessel::UniqueHandle processHandle(process.hProcess);
    const Tessel::UniqueHandle threadHandle(process.hThread);
    if (::WaitForSingleObject(processHandle.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(processHandle.get(), ERROR_TIMEOUT);
        ::WaitForSingleObject(processHandle.get(), INFINITE);
        return false;
    }
    ::GetExitCodeProcess(processHandle.get(), &exitCode);
    return true;
}

DWORD RunAction(const std::wstring& action, const std::wstring& commandTail) {
    DWORD exitCode = 0;
    EXPECT_TRUE(RunActionWithin(action, 120000, exitCode, commandTail));
    return exitCode;
}

}  // namespace VrxTest
