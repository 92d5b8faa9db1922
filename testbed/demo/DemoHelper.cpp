// Provisions and inspects what the demo shows, through the platform's own interfaces.
//
//   vrx_demo_helper tasks                  the scheduled tasks (Task Scheduler 1.0), one a line
//   vrx_demo_helper tasks-add NAME...      creates and saves a task of each name
//   vrx_demo_helper tasks-remove NAME...   deletes each task that exists
//   vrx_demo_helper dacl PATH              the access list of a file or folder, as SDDL
// Exits 0, 1 when a step fails (named on stderr), 2 on bad arguments.
#include <windows.h>
#include <initguid.h>
#include <mstask.h>
#include <objbase.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "support/UniqueAny.h"

namespace {

int Fail(const wchar_t* what, const wchar_t* name, long code) {
    std::fwprintf(stderr, L"vrx_demo_helper: %ls %ls failed: 0x%08lx\n", what, name, code);
    return 1;
}

int ListTasks(ITaskScheduler& scheduler) {
    Tessel::UniqueComPtr<IEnumWorkItems> items;
    if (FAILED(scheduler.Enum(items.put()))) {
        return Fail(L"enumerating", L"tasks", E_FAIL);
    }
    LPWSTR* names = nullptr;
    while (items.get()->Next(1, &names, nullptr) == S_OK) {
        const Tessel::UniqueCoTaskMemString name(names[0]);
        ::CoTaskMemFree(names);
        // The scheduler names its work items by their file, "<task>.job".
        std::wstring task(name.get());
        if (task.size() > 4 && _wcsicmp(task.c_str() + task.size() - 4, L".job") == 0) {
            task.resize(task.size() - 4);
        }
        std::wprintf(L"%ls\n", task.c_str());
    }
    return 0;
}

int AddTask(ITaskScheduler& scheduler, const wchar_t* name) {
    Tessel::UniqueComPtr<IUnknown> item;
    HRESULT hr = scheduler.NewWorkItem(name, CLSID_CTask, IID_ITask, item.put());
    Tessel::UniqueComPtr<IPersistFile> file;
    if (SUCCEEDED(hr)) {
        hr = item.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put()));
    }
    if (SUCCEEDED(hr)) {
        hr = file.get()->Save(nullptr, TRUE);
    }
    return SUCCEEDED(hr) ? 0 : Fail(L"creating task", name, hr);
}

int RemoveTask(ITaskScheduler& scheduler, const wchar_t* name) {
    const HRESULT hr = scheduler.Delete(name);
    const bool absent = hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return SUCCEEDED(hr) || absent ? 0 : Fail(L"deleting task", name, hr);
}

int PrintDacl(const wchar_t* path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = ::GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                                nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        return Fail(L"reading the access list of", path, static_cast<long>(error));
    }
    const Tessel::UniqueLocalMem owned(descriptor);
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return Fail(L"formatting the access list of", path, static_cast<long>(::GetLastError()));
    }
    const Tessel::UniqueLocalMem ownedText(text);
    std::wprintf(L"%ls\n", text);
    return 0;
}

int RunTaskCommand(int argc, wchar_t** argv) {
    Tessel::UniqueComPtr<ITaskScheduler> scheduler;
    const HRESULT hr =
        ::CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                           reinterpret_cast<void**>(scheduler.put()));
    if (FAILED(hr)) {
        return Fail(L"starting", L"the task scheduler", hr);
    }
    if (wcscmp(argv[1], L"tasks") == 0) {
        return ListTasks(*scheduler.get());
    }
    const bool add = wcscmp(argv[1], L"tasks-add") == 0;
    int result = 0;
    for (int i = 2; i < argc; ++i) {
        result |= add ? AddTask(*scheduler.get(), argv[i]) : RemoveTask(*scheduler.get(), argv[i]);
    }
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && wcscmp(argv[1], L"dacl") == 0) {
        return PrintDacl(argv[2]);
    }
    const bool tasks = argc == 2 && wcscmp(argv[1], L"tasks") == 0;
    const bool change =
        argc >= 3 && (wcscmp(argv[1], L"tasks-add") == 0 || wcscmp(argv[1], L"tasks-remove") == 0);
    if (!tasks && !change) {
        std::fwprintf(stderr,
                      L"usage: vrx_demo_helper tasks | tasks-add NAME... | "
                      L"tasks-remove NAME... | dacl PATH\n");
        return 2;
    }
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        return Fail(L"joining", L"a COM apartment", E_FAIL);
    }
    const int result = RunTaskCommand(argc, argv);
    ::CoUninitialize();
    return result;
}
