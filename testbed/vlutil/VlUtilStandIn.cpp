// A stand-in for the maker's utility library VlUtil.dll. Every export the run-once library binds is
// here (the partial build leaves out VlDeleteTask and VlGetMachineId). VlDeleteTask records each
// task name in the environment variable VLUTIL_STANDIN_DELETED ("<name>;" per call), deletes a task
// of that name through Task Scheduler 1.0 when there is one, and answers with
// VLUTIL_STANDIN_DELETE_RESULT (1 when unset); the other exports do nothing and return 0.
#include <windows.h>
#include <initguid.h>
#include <mstask.h>
#include <objbase.h>

#include <string>

#include "support/UniqueAny.h"

#define VLUTIL_STUB(name)                                \
    extern "C" __declspec(dllexport) int WINAPI name() { \
        return 0;                                        \
    }

VLUTIL_STUB(VlGetModuleFolder)
VLUTIL_STUB(VlLoadModuleFromFolder)
VLUTIL_STUB(VlIsProcessRunning)
VLUTIL_STUB(VlTerminateProcessByName)
VLUTIL_STUB(VlGetProcessImagePath)
VLUTIL_STUB(VlWaitForProcessExit)
VLUTIL_STUB(VlDeleteFileOnReboot)
VLUTIL_STUB(VlDeleteFolderOnReboot)
VLUTIL_STUB(VlDeleteFolderTree)
VLUTIL_STUB(VlCopyFile)
VLUTIL_STUB(VlCopyFolder)
VLUTIL_STUB(VlCreateFolderWithAccess)
VLUTIL_STUB(VlRegReadString)
VLUTIL_STUB(VlRegWriteString)
VLUTIL_STUB(VlRegReadDword)
VLUTIL_STUB(VlRegWriteDword)
VLUTIL_STUB(VlRegDeleteKeyTree)
VLUTIL_STUB(VlGetOSVersion)
VLUTIL_STUB(VlIsOSVersionAtLeast)
VLUTIL_STUB(VlIs64BitOS)
VLUTIL_STUB(VlGetSuiteVersion)
VLUTIL_STUB(VlGetSuiteInstallFolder)
VLUTIL_STUB(VlShellExecute)
VLUTIL_STUB(VlShellExecuteAndWait)
VLUTIL_STUB(VlCreateTask)
VLUTIL_STUB(VlEnableTask)
VLUTIL_STUB(VlDisableTask)
VLUTIL_STUB(VlTaskExists)
VLUTIL_STUB(VlBeginInstallMonitor)
VLUTIL_STUB(VlEndInstallMonitor)
VLUTIL_STUB(VlGetInstallMonitorMode)
VLUTIL_STUB(VlBeginUpdateMonitor)
VLUTIL_STUB(VlEndUpdateMonitor)
VLUTIL_STUB(VlGetUpdateMonitorMode)
VLUTIL_STUB(VlBeginScanMonitor)
VLUTIL_STUB(VlEndScanMonitor)
VLUTIL_STUB(VlGetScanMonitorMode)
VLUTIL_STUB(VlBeginQuietMonitor)
VLUTIL_STUB(VlEndQuietMonitor)
VLUTIL_STUB(VlGetQuietMonitorMode)
VLUTIL_STUB(VlStartUIHost)
VLUTIL_STUB(VlStopUIHost)
VLUTIL_STUB(VlIsUIHostRunning)
VLUTIL_STUB(VlNotifyUIHost)
VLUTIL_STUB(VlGetHardwareId)
VLUTIL_STUB(VlGetWindowsId)
VLUTIL_STUB(VlGetMachineName)
VLUTIL_STUB(VlGetUserSid)
VLUTIL_STUB(VlIsUserAdmin)
VLUTIL_STUB(VlGetProductLanguage)
VLUTIL_STUB(VlGetLastErrorText)

#ifndef VLUTIL_STANDIN_PARTIAL
VLUTIL_STUB(VlGetMachineId)

extern "C" __declspec(dllexport) int WINAPI VlDeleteTask(const wchar_t* taskName) {
    wchar_t text[4096] = {};
    const DWORD chars = ::GetEnvironmentVariableW(L"VLUTIL_STANDIN_DELETED", text, 4096);
    std::wstring calls(text, chars < 4096 ? chars : 0);
    calls += taskName != nullptr ? taskName : L"(null)";
    calls += L";";
    ::SetEnvironmentVariableW(L"VLUTIL_STANDIN_DELETED", calls.c_str());
    if (taskName != nullptr) {
        // The caller's apartment when it has one; otherwise one for this call.
        const HRESULT joined = ::CoInitialize(nullptr);
        {
            Tessel::UniqueComPtr<ITaskScheduler> scheduler;
            if (SUCCEEDED(::CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_ITaskScheduler,
                                             reinterpret_cast<void**>(scheduler.put())))) {
                scheduler.get()->Delete(taskName);
            }
        }
        if (SUCCEEDED(joined)) {
            ::CoUninitialize();
        }
    }
    wchar_t result[16] = {};
    const DWORD resultChars =
        ::GetEnvironmentVariableW(L"VLUTIL_STANDIN_DELETE_RESULT", result, 16);
    return resultChars > 0 && resultChars < 16 ? _wtoi(result) : 1;
}
#endif
