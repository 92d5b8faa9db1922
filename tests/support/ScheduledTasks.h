// Scheduled tasks for tests: created through Task Scheduler 1.0 and removed again, whatever the
// test leaves.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace VrxTest {

// Tasks the test creates (saved to the tasks folder at once) and removes when it goes.
class ScopedTasks {
public:
    explicit ScopedTasks(std::vector<std::wstring> names);
    ~ScopedTasks();
    ScopedTasks(const ScopedTasks&) = delete;
    ScopedTasks& operator=(const ScopedTasks&) = delete;

private:
    std::vector<std::wstring> m_names;
};

// Whether the task's file "<name>.job" is in the scheduler's tasks folder.
bool TaskExists(const std::wstring& name);

}  // namespace VrxTest
