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
    std::wstring commandLine = L"rundll32.exe \"" + DllUnderTest() + L"\"," + action;
    if (!commandTail.empty()) {
        commandLine += L" " + commandTail;
    }
    return RunProgram(std::wstring(system) + L"\\rundll32.exe", commandLine);
}

DWORD RunProgram(const std::wstring& program, std::wstring commandLine,
                 const std::wstring& outputPath) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    Tessel::UniqueFileHandle output;
    if (!outputPath.empty()) {
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        // Helpers the program starts may inherit the handle and outlive it: full sharing lets
        // the file be read and removed while they hold it.
        output.reset(::CreateFileW(outputPath.c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(output) << "cannot create "
                            << std::string(outputPath.begin(), outputPath.end());
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
    }
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, output ? TRUE : FALSE,
                          0, nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start the program: " << ::GetLastError();
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
