#include "RunDll32.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>

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

bool RunActionWithin(const std::wstring& action, DWORD timeoutMs, DWORD& exitCode,
                     const std::wstring& commandTail) {
    exitCode = static_cast<DWORD>(-1);
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

ToolRun RunVrxConf(const std::vector<std::wstring>& arguments) {
    const std::wstring tool = ExecutableFolder() + L"\\vrxconf.exe";
    std::wstring commandLine = L"\"" + tool + L"\"";
    for (const std::wstring& argument : arguments) {
        commandLine += L" \"" + argument + L"\"";
    }
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    Tessel::UniqueHandle readEnd;
    Tessel::UniqueHandle writeEnd;
    ToolRun run;
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 0) ||
        !::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) {
        ADD_FAILURE() << "cannot make a pipe: " << ::GetLastError();
        return run;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(tool.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                          nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start vrxconf: " << ::GetLastError();
        return run;
    }
    const Tessel::UniqueHandle processHandle(process.hProcess);
    const Tessel::UniqueHandle threadHandle(process.hThread);
    writeEnd.reset();  // the pipe ends when the tool's copy of this end closes
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(readEnd.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        run.output.append(buffer, read);
    }
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(processHandle.get(), 60000));
    ::GetExitCodeProcess(processHandle.get(), &run.exitCode);
    return run;
}

std::wstring NativeView() {
    return sizeof(void*) == 8 ? L"64" : L"32";
}

}  // namespace VrxTest
