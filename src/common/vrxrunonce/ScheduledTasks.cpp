// DeleteVRXTask: removes the product's scheduled tasks on upgrade: the agent task through the
// utility library VlUtil.dll, and every address-book import task through Task Scheduler 1.0.
#include <windows.h>
#include <initguid.h>
#include <mstask.h>
#include <objbase.h>

#include <cwchar>
#include <set>
#include <string>

#include "ActionLog.h"
#include "ComApartment.h"
#include "ScheduledTasks.h"
#include "VrxRunOnce.h"
#include "../../../support/UniqueAny.h"
#include "../../../support/VlUtilLoader.h"

namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityInformation;
using VrxRunOnce::LogAction;

constexpr const wchar_t* kAction = L"DeleteVRXTask";

// The scheduler hands work items out as file names ("<task>.job"), but Delete takes the task
// name and refuses the file name with E_INVALIDARG.
constexpr const wchar_t kJobExtension[] = L".job";

std::wstring TaskNameOf(const wchar_t* itemName) {
    std::wstring name(itemName);
    const size_t extension = ARRAYSIZE(kJobExtension) - 1;
    if (name.size() > extension &&
        _wcsicmp(name.c_str() + name.size() - extension, kJobExtension) == 0) {
        name.resize(name.size() - extension);
    }
    return name;
}

// An array of names handed out by IEnumWorkItems::Next: each name and the array are freed.
class CWorkItemNames {
public:
    CWorkItemNames() = default;
    CWorkItemNames(const CWorkItemNames&) = delete;
    CWorkItemNames& operator=(const CWorkItemNames&) = delete;
    ~CWorkItemNames() {
        if (m_names != nullptr) {
            for (ULONG i = 0; i < m_count; ++i) {
                ::CoTaskMemFree(m_names[i]);
            }
            ::CoTaskMemFree(m_names);
        }
    }
    LPWSTR** put() { return &m_names; }
    ULONG* count() { return &m_count; }
    // The first name, or null when none was handed out.
    const wchar_t* first() const {
        return m_names != nullptr && m_count > 0 ? m_names[0] : nullptr;
    }

private:
    LPWSTR* m_names = nullptr;
    ULONG m_count = 0;
};

void RemoveAgentTask(Tessel::CVlUtilLoader& vlUtil) {
    if (vlUtil.Load() != ERROR_SUCCESS) {
        return;
    }
    const Tessel::VlDeleteTaskFn deleteTask = vlUtil.VlDeleteTask();
    if (deleteTask == nullptr || deleteTask(VrxRunOnce::kAgentTaskName) == 0) {
        LogAction(kSeverityInformation, kAction, 180,
                  L"Failed to delete VSC Scheduler Task or task does not exist\r\n");
    }
}

// The scheduler keeps a task in "<Windows folder>\Tasks\<name>.job". Names whose file path would
// not fit a path buffer are left alone: the platform's scheduler has been seen to overflow a
// fixed buffer on them.
bool TaskFileFits(const std::wstring& task) {
    wchar_t windows[MAX_PATH + 1] = {};
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH + 1);
    constexpr size_t kFolderChars = ARRAYSIZE(L"\\Tasks\\") - 1;
    return length != 0 && length <= MAX_PATH &&
           length + kFolderChars + task.size() + ARRAYSIZE(kJobExtension) <= MAX_PATH;
}

// Deletes every task whose name contains the marker, starting the enumeration again after each
// deletion; stops at the first deletion that fails. A name is deleted once at most: a task still
// listed after its deletion (its file held open elsewhere, say) is reported once and passed over,
// so the restarts end with the names.
void SweepABImportTasks(ITaskScheduler* scheduler, IEnumWorkItems* items) {
    std::set<std::wstring> deleted;
    std::set<std::wstring> reported;
    for (;;) {
        CWorkItemNames names;
        if (FAILED(items->Next(1, names.put(), names.count())) || names.first() == nullptr) {
            return;
        }
        const wchar_t* name = names.first();
        if (std::wcsstr(name, VrxRunOnce::kABImportTaskMarker) == nullptr) {
            continue;
        }
        const std::wstring task = TaskNameOf(name);
        if (deleted.count(task) != 0) {
            if (reported.insert(task).second) {
                LogAction(kSeverityError, kAction, 216,
                          L"Task %s is still listed after its deletion", task.c_str());
            }
            continue;
        }
        if (!TaskFileFits(task)) {
            if (reported.insert(task).second) {
                LogAction(kSeverityError, kAction, 207,
                          L"Task %s skipped: the path of its task file is too long", task.c_str());
            }
            continue;
        }
        const HRESULT result = scheduler->Delete(task.c_str());
        if (FAILED(result)) {
            LogAction(kSeverityError, kAction, 213,
                      L"Failed to delete the woindows VRX ABImport tasks. err=%08lx/r/n",
                      static_cast<unsigned long>(result));
            return;
        }
        deleted.insert(task);
        items->Reset();
    }
}

}  // namespace

namespace VrxRunOnce {

HRESULT TaskRemovalCom::CreateTaskScheduler(ITaskScheduler** scheduler) {
    return ::CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                              IID_ITaskScheduler, reinterpret_cast<void**>(scheduler));
}

void RemoveProductTasks(Tessel::CFileValidator& validator, const TaskRemovalCom& com) {
    // Declared in the order of acquisition, so that they are given back in the reverse order:
    // the enumerator, the scheduler and the utility library before the apartment is left.
    CComApartment apartment;
    HRESULT joined = com.coInitialize(nullptr);
    if (joined == RPC_E_CHANGED_MODE) {
        joined = com.coInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(joined)) {
            LogAction(kSeverityError, kAction, 156, L"CoInitializeEx() failed, %08lx\r\n",
                      static_cast<unsigned long>(joined));
            return;
        }
    } else if (FAILED(joined)) {
        LogAction(kSeverityError, kAction, 162, L"CoInitialize() failed, %08lx\r\n",
                  static_cast<unsigned long>(joined));
        return;
    }
    apartment.Joined();

    Tessel::CVlUtilLoader vlUtil(validator);
    RemoveAgentTask(vlUtil);

    Tessel::UniqueComPtr<ITaskScheduler> scheduler;
    const HRESULT created = com.createScheduler(scheduler.put());
    if (FAILED(created) || !scheduler) {
        LogAction(kSeverityError, kAction, 190,
                  L"Failed to create the ITaskScheduler instance in DeleteVRXTask(...). "
                  L"err=%08lx/r/n",
                  static_cast<unsigned long>(created));
        return;
    }
    Tessel::UniqueComPtr<IEnumWorkItems> items;
    const HRESULT enumerated = scheduler.get()->Enum(items.put());
    if (FAILED(enumerated) || !items) {
        LogAction(kSeverityError, kAction, 199,
                  L"Failed to get IEnumWorkItems pointer in DeleteVRXTask(...). err=%08lx/r/n",
                  static_cast<unsigned long>(enumerated));
        return;
    }
    SweepABImportTasks(scheduler.get(), items.get());
}

}  // namespace VrxRunOnce

extern "C" int CALLBACK DeleteVRXTask(HWND, HINSTANCE, LPSTR, int) {
    VrxRunOnce::RemoveProductTasks(Tessel::GetFileValidator());
    return 0;
}
