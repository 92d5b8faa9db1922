// Creates scheduled tasks through Task Scheduler 1.0, as the product's earlier version did for its
// address-book imports. The earlier version's package runs it as a deferred custom action.
//
//   vrx_task_setup NAME...   creates (or replaces) one task per name; exits 0, or 1 when a task
//                            cannot be saved.
#include <windows.h>

#include <initguid.h>
#include <mstask.h>

#include <cstdio>

#include "support/UniqueAny.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vrx_task_setup NAME...\n");
        return 1;
    }
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        std::fprintf(stderr, "vrx_task_setup: COM is not available\n");
        return 1;
    }
    int status = 0;
    {
        Tessel::UniqueComPtr<ITaskScheduler> scheduler;
        HRESULT hr = ::CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_ITaskScheduler,
                                        reinterpret_cast<void**>(scheduler.put()));
        for (int i = 1; SUCCEEDED(hr) && i < argc; ++i) {
            scheduler.get()->Delete(argv[i]);
            Tessel::UniqueComPtr<IUnknown> task;
            Tessel::UniqueComPtr<IPersistFile> file;
            hr = scheduler.get()->NewWorkItem(argv[i], CLSID_CTask, IID_ITask, task.put());
            if (SUCCEEDED(hr)) {
                hr = task.get()->QueryInterface(IID_IPersistFile,
                                                reinterpret_cast<void**>(file.put()));
            }
            if (SUCCEEDED(hr)) {
                hr = file.get()->Save(nullptr, TRUE);
            }
            if (FAILED(hr)) {
                std::fprintf(stderr, "vrx_task_setup: task %ls: error %08lx\n", argv[i],
                             static_cast<unsigned long>(hr));
            }
        }
        status = SUCCEEDED(hr) ? 0 : 1;
    }
    ::CoUninitialize();
    return status;
}
