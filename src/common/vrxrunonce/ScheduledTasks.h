// The work of DeleteVRXTask, with the validator that admits the utility library and the COM calls
// that join the apartment and create the task scheduler passed in.
#pragma once

#include <windows.h>
#include <mstask.h>

#include "support/FileValidator.h"

namespace VrxRunOnce {

// The agent task, removed through VlUtil.dll, and the marker of the address-book import tasks,
// removed through the task scheduler.
constexpr const wchar_t* kAgentTaskName = L"VrxAgentTask";
constexpr const wchar_t* kABImportTaskMarker = L"VRX_ABImport";

// The COM calls the removal makes before it touches a task; the platform's by default.
struct TaskRemovalCom {
    HRESULT(WINAPI* coInitialize)(LPVOID reserved) = &::CoInitialize;
    HRESULT(WINAPI* coInitializeEx)(LPVOID reserved, DWORD model) = &::CoInitializeEx;
    // Creates the in-process Task Scheduler 1.0 object.
    HRESULT (*createScheduler)(ITaskScheduler** scheduler) = &CreateTaskScheduler;

    static HRESULT CreateTaskScheduler(ITaskScheduler** scheduler);
};

// Removes the agent task through VlUtil.dll, once `validator` accepts a copy, and every scheduled
// task whose name contains "VRX_ABImport". Failures are logged only.
void RemoveProductTasks(Tessel::CFileValidator& validator, const TaskRemovalCom& com = {});

}  // namespace VrxRunOnce
