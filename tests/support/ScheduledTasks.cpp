#include "ScheduledTasks.h"

#include <gtest/gtest.h>

#include <mstask.h>
#include <objbase.h>

#include "support/UniqueAny.h"

namespace VrxTest {

namespace {

// Joins an apartment for the helper's own calls and leaves it again.
class ComScope {
public:
    ComScope() : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(m_hr)) {
            ::CoUninitialize();
        }
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT m_hr;
};

Tessel::UniqueComPtr<ITaskScheduler> Scheduler() {
    Tessel::UniqueComPtr<ITaskScheduler> scheduler;
    const HRESULT hr =
        ::CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                           reinterpret_cast<void**>(scheduler.put()));
    EXPECT_EQ(S_OK, hr) << "the task scheduler";
    return scheduler;
}

}  // namespace

ScopedTasks::ScopedTasks(std::vector<std::wstring> names) : m_names(std::move(names)) {
    ComScope com;
    const auto scheduler = Scheduler();
    if (!scheduler) {
        return;
    }
    for (const std::wstring& name : m_names) {
        Tessel::UniqueComPtr<IUnknown> item;
        HRESULT hr = scheduler.get()->NewWorkItem(name.c_str(), CLSID_CTask, IID_ITask, item.put());
        Tessel::UniqueComPtr<IPersistFile> file;
        if (SUCCEEDED(hr)) {
            hr = item.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put()));
        }
        if (SUCCEEDED(hr)) {
            hr = file.get()->Save(nullptr, TRUE);
        }
        EXPECT_TRUE(SUCCEEDED(hr) && TaskExists(name))
            << "creating task " << testing::PrintToString(name) << ": " << std::hex << hr;
    }
}

ScopedTasks::~ScopedTasks() {
    ComScope com;
    const auto scheduler = Scheduler();
    for (const std::wstring& name : m_names) {
        if (TaskExists(name) && scheduler) {
            scheduler.get()->Delete(name.c_str());
        }
        EXPECT_FALSE(TaskExists(name)) << "the test's task is removed";
    }
}

bool TaskExists(const std::wstring& name) {
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring path = std::wstring(windows) + L"\\tasks\\" + name + L".job";
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace VrxTest
