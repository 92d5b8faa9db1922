#include <gtest/gtest.h>

#include <windows.h>
#include <mstask.h>
#include <objbase.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "src/common/vrxrunonce/ScheduledTasks.h"
#include "tests/support/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Registry.h"
#include "tests/support/ScheduledTasks.h"
#include "tests/support/Signing.h"
#include "tests/support/TaskSchedulerStub.h"

using namespace VrxTest;
using VrxRunOnce::RemoveProductTasks;
using VrxRunOnce::TaskRemovalCom;

namespace {

using Records = std::vector<LogRecord>;

LogRecord ActionRecord(DWORD severity, int line, const std::wstring& text) {
    return {severity, L"VrxRunOnce", L"DeleteVRXTask", line, text};
}

const LogRecord kAgentNotDeleted =
    ActionRecord(3, 180, L"Failed to delete VSC Scheduler Task or task does not exist\r\n");

std::wstring Hex(HRESULT hr) {
    wchar_t text[16] = {};
    _snwprintf(text, ARRAYSIZE(text), L"%08lx", static_cast<unsigned long>(hr));
    return text;
}

// A scheduler whose tasks are a list of names: Enum hands out the names as the platform does
// ("<name>.job"), Delete takes the task name and fails for one chosen name.
class FakeScheduler;
FakeScheduler* g_fake = nullptr;

class FakeItems : public CWorkItemsStub {
public:
    explicit FakeItems(std::vector<std::wstring>& tasks) : m_tasks(tasks) {}
    HRESULT STDMETHODCALLTYPE Next(ULONG count, LPWSTR** names, ULONG* fetched) override {
        EXPECT_EQ(1u, count);
        *fetched = 0;
        *names = nullptr;
        if (m_next >= m_tasks.size()) {
            return S_FALSE;
        }
        const std::wstring name = m_tasks[m_next++] + L".job";
        *names = static_cast<LPWSTR*>(::CoTaskMemAlloc(sizeof(LPWSTR)));
        (*names)[0] = static_cast<LPWSTR>(::CoTaskMemAlloc((name.size() + 1) * sizeof(wchar_t)));
        std::copy(name.c_str(), name.c_str() + name.size() + 1, (*names)[0]);
        *fetched = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        ++resets;
        m_next = 0;
        return S_OK;
    }
    // A new enumeration starts at the first task.
    void Rewind() { m_next = 0; }

    int resets = 0;

private:
    std::vector<std::wstring>& m_tasks;
    size_t m_next = 0;
};

class FakeScheduler : public CTaskSchedulerStub {
public:
    explicit FakeScheduler(std::vector<std::wstring> tasks) : tasks(std::move(tasks)) {}
    HRESULT STDMETHODCALLTYPE Enum(IEnumWorkItems** out) override {
        if (FAILED(enumResult)) {
            *out = nullptr;
            return enumResult;
        }
        items.Rewind();
        items.AddRef();
        *out = &items;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR name) override {
        deleted.emplace_back(name);
        if (failingName == name) {
            return E_ACCESSDENIED;
        }
        const auto found = std::find(tasks.begin(), tasks.end(), name);
        if (found == tasks.end()) {
            return E_INVALIDARG;
        }
        tasks.erase(found);
        return S_OK;
    }
    static HRESULT Create(ITaskScheduler** out) {
        g_fake->AddRef();
        *out = g_fake;
        return S_OK;
    }

    std::vector<std::wstring> tasks;
    std::vector<std::wstring> deleted;
    std::wstring failingName;
    HRESULT enumResult = S_OK;
    FakeItems items{tasks};
};

HRESULT WINAPI FailOutOfMemory(LPVOID) {
    return E_OUTOFMEMORY;
}
HRESULT WINAPI ChangedMode(LPVOID) {
    return RPC_E_CHANGED_MODE;
}
HRESULT WINAPI FailEx(LPVOID, DWORD) {
    return E_UNEXPECTED;
}
HRESULT NoSchedulerClass(ITaskScheduler** out) {
    *out = nullptr;
    return REGDB_E_CLASSNOTREG;
}

// "CommonFiles Dir" names a scratch folder, where a test puts the utility-library stand-in.
class DeleteVRXTaskTest : public ProductRegistryTest {
protected:
    void SetUp() override {
        ProductRegistryTest::SetUp();
        ASSERT_FALSE(FileExists(ExecutableFolder() + L"\\VlUtil.dll"));
        SetString(L"SOFTWARE\\Varlen\\VSC", L"CommonFiles Dir", m_common.Path());
    }

    void PlaceVlUtil(const wchar_t* kind = L"vlutil") {
        CopyFileTo(SigningFixture(std::wstring(kind) + L"\\VlUtil.dll"), m_common / L"VlUtil.dll");
    }
    static std::wstring AgentCalls() {
        wchar_t text[256] = {};
        ::GetEnvironmentVariableW(L"VLUTIL_STANDIN_DELETED", text, ARRAYSIZE(text));
        return text;
    }

    Tessel::CFileValidator m_validator{TestSignatureConfig()};
    ScratchFolder m_common;
    ScopedEnvironmentVariable m_calls{L"VLUTIL_STANDIN_DELETED", nullptr};
};

}  // namespace

TEST_F(DeleteVRXTaskTest, RemovesTheAgentTaskAndEveryABImportTaskAndKeepsTheOthers) {
    const std::vector<std::wstring> imports = {L"VRX_ABImport", L"VRX_ABImport_S-1-5-21-1",
                                               L"User VRX_ABImport 2"};
    const std::vector<std::wstring> others = {L"vrx_abimport_lower", L"VRX_ABIMPORT upper",
                                              L"VRX_AB Import", L"Other task"};
    std::vector<std::wstring> all = imports;
    all.insert(all.end(), others.begin(), others.end());
    const ScopedTasks tasks(all);
    PlaceVlUtil();

    RemoveProductTasks(m_validator);

    for (const std::wstring& name : imports) {
        EXPECT_FALSE(TaskExists(name)) << testing::PrintToString(name);
    }
    for (const std::wstring& name : others) {
        EXPECT_TRUE(TaskExists(name)) << testing::PrintToString(name);
    }
    EXPECT_EQ(L"VrxAgentTask;", AgentCalls());
    EXPECT_EQ(Records{}, LogRecords());

    // Nothing left to remove: nothing is deleted and nothing is logged.
    RemoveProductTasks(m_validator);
    for (const std::wstring& name : others) {
        EXPECT_TRUE(TaskExists(name)) << testing::PrintToString(name);
    }
    EXPECT_EQ(Records{}, LogRecords());
}

TEST_F(DeleteVRXTaskTest, AnAgentTaskTheLibraryDoesNotDeleteIsLoggedOnlyWhenALibraryIsLoaded) {
    const ScopedTasks tasks({L"VRX_ABImport_1"});
    {
        SCOPED_TRACE("no library anywhere");
        RemoveProductTasks(m_validator);
        EXPECT_EQ(L"", AgentCalls());
        EXPECT_EQ(Records{}, LogRecords());
        EXPECT_FALSE(TaskExists(L"VRX_ABImport_1")) << "the sweep does not depend on the library";
    }
    {
        SCOPED_TRACE("a library the validator refuses");
        PlaceVlUtil(L"vlutil-unsigned");
        RemoveProductTasks(m_validator);
        EXPECT_EQ(L"", AgentCalls());
        EXPECT_EQ(Records{}, LogRecords());
    }
    {
        SCOPED_TRACE("a library without VlDeleteTask");
        PlaceVlUtil(L"vlutil-partial");
        RemoveProductTasks(m_validator);
        EXPECT_EQ(Records{kAgentNotDeleted}, LogRecords());
        ClearLogRecords();
    }
    {
        SCOPED_TRACE("a library that does not delete the task");
        PlaceVlUtil();
        const ScopedEnvironmentVariable result(L"VLUTIL_STANDIN_DELETE_RESULT", L"0");
        RemoveProductTasks(m_validator);
        EXPECT_EQ(L"VrxAgentTask;", AgentCalls());
        EXPECT_EQ(Records{kAgentNotDeleted}, LogRecords());
    }
}

TEST_F(DeleteVRXTaskTest, EachDeletionStartsTheSweepAgainAndAFailedOneEndsIt) {
    FakeScheduler fake({L"A", L"VRX_ABImport_1", L"B", L"VRX_ABImport_2", L"VRX_ABImport_3"});
    g_fake = &fake;
    TaskRemovalCom com;
    com.createScheduler = &FakeScheduler::Create;

    fake.failingName = L"VRX_ABImport_2";
    RemoveProductTasks(m_validator, com);
    // The names lose their ".job" file extension on the way to Delete.
    EXPECT_EQ((std::vector<std::wstring>{L"VRX_ABImport_1", L"VRX_ABImport_2"}), fake.deleted);
    EXPECT_EQ(1, fake.items.resets);
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B", L"VRX_ABImport_2", L"VRX_ABImport_3"}),
              fake.tasks);
    EXPECT_EQ(Records{ActionRecord(
                  4, 213, L"Failed to delete the woindows VRX ABImport tasks. err=80070005/r/n")},
              LogRecords());
    ClearLogRecords();

    fake.failingName.clear();
    fake.deleted.clear();
    RemoveProductTasks(m_validator, com);
    EXPECT_EQ((std::vector<std::wstring>{L"VRX_ABImport_2", L"VRX_ABImport_3"}), fake.deleted);
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B"}), fake.tasks);
    EXPECT_EQ(Records{}, LogRecords());
    EXPECT_EQ(0u, fake.m_refs) << "the scheduler is released";
    EXPECT_EQ(0u, fake.items.m_refs) << "the enumerator is released";
}

TEST_F(DeleteVRXTaskTest, SchedulerFailuresAreLoggedAfterTheAgentTask) {
    PlaceVlUtil();
    {
        SCOPED_TRACE("no scheduler");
        TaskRemovalCom com;
        com.createScheduler = &NoSchedulerClass;
        RemoveProductTasks(m_validator, com);
        EXPECT_EQ(L"VrxAgentTask;", AgentCalls());
        EXPECT_EQ(Records{ActionRecord(4, 190,
                                       L"Failed to create the ITaskScheduler instance in "
                                       L"DeleteVRXTask(...). err=" +
                                           Hex(REGDB_E_CLASSNOTREG) + L"/r/n")},
                  LogRecords());
        ClearLogRecords();
    }
    {
        SCOPED_TRACE("no enumerator");
        FakeScheduler fake({L"VRX_ABImport_1"});
        fake.enumResult = E_OUTOFMEMORY;
        g_fake = &fake;
        TaskRemovalCom com;
        com.createScheduler = &FakeScheduler::Create;
        RemoveProductTasks(m_validator, com);
        EXPECT_EQ(L"VrxAgentTask;VrxAgentTask;", AgentCalls());
        EXPECT_TRUE(fake.deleted.empty());
        EXPECT_EQ(0u, fake.m_refs) << "the scheduler is released";
        EXPECT_EQ(Records{ActionRecord(4, 199,
                                       L"Failed to get IEnumWorkItems pointer in "
                                       L"DeleteVRXTask(...). err=8007000e/r/n")},
                  LogRecords());
    }
}

TEST_F(DeleteVRXTaskTest, AnApartmentThatCannotBeJoinedEndsTheActionBeforeAnyTask) {
    PlaceVlUtil();
    const ScopedTasks tasks({L"VRX_ABImport_1"});
    {
        SCOPED_TRACE("CoInitialize fails");
        TaskRemovalCom com;
        com.coInitialize = &FailOutOfMemory;
        RemoveProductTasks(m_validator, com);
        EXPECT_EQ(Records{ActionRecord(4, 162, L"CoInitialize() failed, 8007000e\r\n")},
                  LogRecords());
        ClearLogRecords();
    }
    {
        SCOPED_TRACE("another apartment, and CoInitializeEx fails");
        TaskRemovalCom com;
        com.coInitialize = &ChangedMode;
        com.coInitializeEx = &FailEx;
        RemoveProductTasks(m_validator, com);
        EXPECT_EQ(Records{ActionRecord(4, 156, L"CoInitializeEx() failed, 8000ffff\r\n")},
                  LogRecords());
    }
    EXPECT_EQ(L"", AgentCalls());
    EXPECT_TRUE(TaskExists(L"VRX_ABImport_1"));
}

TEST_F(DeleteVRXTaskTest, AThreadInTheMultithreadedApartmentStaysInIt) {
    const ScopedTasks tasks({L"VRX_ABImport_1"});
    HRESULT after = E_FAIL;
    std::thread worker([&] {
        if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
            return;
        }
        RemoveProductTasks(m_validator);
        // Joined once by the thread itself: one CoUninitialize leaves it outside any apartment.
        ::CoUninitialize();
        after = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(after)) {
            ::CoUninitialize();
        }
    });
    worker.join();
    EXPECT_EQ(S_OK, after) << "the action leaves the apartment as often as it joined it";
    EXPECT_FALSE(TaskExists(L"VRX_ABImport_1"));
    EXPECT_EQ(Records{}, LogRecords());
}
