#include "RunDll32.h"

#include <gtest/gtest.h>

#include "support/UniqueAny.h"
#include "tests/support/Files.h"

namespace VrxTest {

namespace {

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

// Starts `program` (its standard output and error to `output` when given) and waits for it up to
// `timeoutMs`; a program still running then is ended. False when it could not be started or had
// to be ended.
bool StartAndWait(const std::wstring& program, std::wstring commandLine, HANDLE output,
                  DWORD timeoutMs, DWORD& exitCode) {
    exitCode = static_cast<DWORD>(-1);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (output != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr,
                          output != nullptr ? TRUE : FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        ADD_FAILURE() << "cannot start " << std::string(program.begin(), program.end()) << ": "
                      << ::GetLastError();
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

}  // namespace

std::wstring DllUnderTest() {
    return ExecutableFolder() + L"\\VrxRO.dll";
}

bool RunActionWithin(const std::wstring& action, DWORD timeoutMs, DWORD& exitCode,
                     const std::wstring& commandTail) {
    std::wstring commandLine = L"rundll32.exe \"" + DllUnderTest() + L"\"," + action;
    if (!commandTail.empty()) {
        commandLine += L" " + commandTail;
    }
    return StartAndWait(RunDll32Path(), commandLine, nullptr, timeoutMs, exitCode);
}

DWORD RunAction(const std::wstring& action, const std::wstring& commandTail) {
    DWORD exitCode = 0;
    EXPECT_TRUE(RunActionWithin(action, 120000, exitCode, commandTail));
    return exitCode;
}

DWORD RunProgram(const std::wstring& program, std::wstring commandLine,
                 const std::wstring& outputPath) {
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
    }
    DWORD exitCode = 0;
    EXPECT_TRUE(StartAndWait(program, commandLine, output.get(), 120000, exitCode));
    return exitCode;
}

ToolRun RunVrxConf(const std::vector<std::wstring>& arguments) {
    const std::wstring tool = ExecutableFolder() + L"\\vrxconf.exe";
    std::wstring commandLine = L"\"" + tool + L"\"";
    for (const std::wstring& argument : arguments) {
        commandLine += L" \"" + argument + L"\"";
    }
    const std::wstring outputPath = ExecutableFolder() + L"\\vrxconf-output.txt";
    ToolRun run;
    run.exitCode = RunProgram(tool, commandLine, outputPath);
    run.output = ReadTextFile(outputPath);
    ::DeleteFileW(outputPath.c_str());
    return run;
}

std::wstring NativeView() {
    return sizeof(void*) == 8 ? L"64" : L"32";
}

}  // namespace VrxTest
