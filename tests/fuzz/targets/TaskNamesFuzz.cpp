// The task names the scheduler hands to DeleteVRXTask: any user who can make a task chooses its
// name. The input is the scheduler's task list, one UTF-8 line per work item as Enum hands it out
// (normally "<task>.job"); a line starting with "!" is a task whose deletion fails, one starting
// with "~" a task that is still listed after its deletion (its file held open elsewhere). The
// scheduler is a double; the sweep under test is the action's own.
//
// What must hold: the sweep ends; it deletes only items whose name holds the marker, each by its
// task name (the item name without ".job"), each once, and none whose task file would not fit a
// path buffer; it stops at the first deletion that fails; and, unless it stopped, every item of
// the marker whose file fits is deleted.
#include <windows.h>
#include <mstask.h>
#include <objbase.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "src/common/vrxrunonce/ScheduledTasks.h"
#include "support/FileValidator.h"
#include "tests/support/TaskSchedulerStub.h"

namespace {

struct Task {
    std::wstring item;  // the work item's name, as Enum hands it out
    bool deleteFails = false;
    bool staysListed = false;
    bool deleted = false;
};

std::vector<Task> TasksOf(const uint8_t* data, size_t size) {
    std::vector<Task> tasks;
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        Task task;
        task.deleteFails = !line.empty() && line[0] == '!';
        task.staysListed = !line.empty() && line[0] == '~';
        line.erase(0, task.deleteFails || task.staysListed ? 1 : 0);
        line.resize(std::strlen(line.c_str()));  // a name ends at its first zero
        if (line.empty()) {
            continue;
        }
        const int chars = ::MultiByteToWideChar(CP_UTF8, 0, line.data(),
                                                static_cast<int>(line.size()), nullptr, 0);
        task.item.resize(static_cast<size_t>(chars));
        ::MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &task.item[0],
                              chars);
        tasks.push_back(task);
    }
    return tasks;
}

// The task name of an item, as the scheduler's Delete takes it.
std::wstring TaskName(const std::wstring& item) {
    if (item.size() > 4 && _wcsicmp(item.c_str() + item.size() - 4, L".job") == 0) {
        return item.substr(0, item.size() - 4);
    }
    return item;
}

bool FileFits(const std::wstring& task) {
    wchar_t windows[MAX_PATH + 1] = {};
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH + 1);
    return length + std::wcslen(L"\\Tasks\\") + task.size() + std::wcslen(L".job") < MAX_PATH;
}

class CSchedulerDouble;
CSchedulerDouble* g_scheduler = nullptr;

class CItemsDouble : public VrxTest::CWorkItemsStub {
public:
    explicit CItemsDouble(std::vector<Task>& tasks) : m_tasks(tasks) {}
    HRESULT STDMETHODCALLTYPE Next(ULONG count, LPWSTR** names, ULONG* fetched) override {
        VRX_FUZZ_CHECK(count == 1, "asked for %lu items at once", count);
        // Each deletion restarts the enumeration: (deletions + 1) passes at most.
        VRX_FUZZ_CHECK(++m_calls <= (m_tasks.size() + 1) * (m_tasks.size() + 2),
                       "the sweep does not end (%zu items)", m_tasks.size());
        *names = nullptr;
        *fetched = 0;
        while (m_next < m_tasks.size() && m_tasks[m_next].deleted && !m_tasks[m_next].staysListed) {
            ++m_next;
        }
        if (m_next >= m_tasks.size()) {
            return S_FALSE;
        }
        const std::wstring& item = m_tasks[m_next++].item;
        *names = static_cast<LPWSTR*>(::CoTaskMemAlloc(sizeof(LPWSTR)));
        (*names)[0] = static_cast<LPWSTR>(::CoTaskMemAlloc((item.size() + 1) * sizeof(wchar_t)));
        std::copy(item.c_str(), item.c_str() + item.size() + 1, (*names)[0]);
        *fetched = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        m_next = 0;
        return S_OK;
    }

private:
    std::vector<Task>& m_tasks;
    size_t m_next = 0;
    size_t m_calls = 0;
};

class CSchedulerDouble : public VrxTest::CTaskSchedulerStub {
public:
    explicit CSchedulerDouble(std::vector<Task> tasks) : tasks(std::move(tasks)) {}
    HRESULT STDMETHODCALLTYPE Enum(IEnumWorkItems** out) override {
        *out = &items;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR name) override {
        const std::wstring task(name);
        VRX_FUZZ_CHECK(!stopped, "\"%ls\" deleted after a deletion failed", name);
        VRX_FUZZ_CHECK(deletedNames.insert(task).second, "\"%ls\" deleted twice", name);
        VRX_FUZZ_CHECK(FileFits(task), "\"%ls\" deleted, its file does not fit a path", name);
        const auto found = std::find_if(tasks.begin(), tasks.end(), [&task](const Task& t) {
            return !t.deleted && TaskName(t.item) == task;
        });
        VRX_FUZZ_CHECK(found != tasks.end(), "\"%ls\" deleted, no item has that task name", name);
        VRX_FUZZ_CHECK(std::wcsstr(found->item.c_str(), VrxRunOnce::kABImportTaskMarker) != nullptr,
                       "\"%ls\" deleted without the marker", name);
        if (found->deleteFails) {
            stopped = true;
            return E_ACCESSDENIED;
        }
        found->deleted = true;
        return S_OK;
    }
    static HRESULT Create(ITaskScheduler** out) {
        *out = g_scheduler;
        return S_OK;
    }

    std::vector<Task> tasks;
    CItemsDouble items{tasks};
    std::set<std::wstring> deletedNames;
    bool stopped = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The sweep joins the thread's apartment and leaves it; joined here already, that stays cheap.
    static const HRESULT joined = ::CoInitialize(nullptr);
    (void)joined;
    // A validator that accepts nothing: the agent task's library is never loaded.
    static Tessel::CFileValidator refuseAll{Tessel::SignatureConfig()};

    CSchedulerDouble scheduler(TasksOf(data, size));
    g_scheduler = &scheduler;
    VrxRunOnce::TaskRemovalCom com;
    com.createScheduler = &CSchedulerDouble::Create;
    VrxRunOnce::RemoveProductTasks(refuseAll, com);
    g_scheduler = nullptr;

    if (scheduler.stopped) {
        return 0;
    }
    for (const Task& task : scheduler.tasks) {
        const std::wstring name = TaskName(task.item);
        const bool wanted =
            std::wcsstr(task.item.c_str(), VrxRunOnce::kABImportTaskMarker) != nullptr &&
            FileFits(name);
        VRX_FUZZ_CHECK(!wanted || scheduler.deletedNames.count(name) != 0,
                       "\"%ls\" holds the marker and was not deleted", task.item.c_str());
    }
    return 0;
}
