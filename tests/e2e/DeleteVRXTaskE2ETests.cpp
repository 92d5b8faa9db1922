#include <gtest/gtest.h>

#include "RunDll32.h"
#include "tests/support/Files.h"
#include "tests/support/Registry.h"
#include "tests/support/ScheduledTasks.h"

using namespace VrxTest;

class DeleteVRXTaskE2E : public ProductRegistryTest {};

TEST_F(DeleteVRXTaskE2E, RemovesTheABImportTasksAndLeavesTheRest) {
    const ScopedTasks tasks(
        {L"VRX_ABImport_S-1-5-21-7", L"Nightly VRX_ABImport", L"vrx_abimport", L"VrxUnrelated"});
    EXPECT_EQ(0u, RunAction(L"DeleteVRXTask", L"ignored arguments"));
    EXPECT_FALSE(TaskExists(L"VRX_ABImport_S-1-5-21-7"));
    EXPECT_FALSE(TaskExists(L"Nightly VRX_ABImport"));
    EXPECT_TRUE(TaskExists(L"vrx_abimport"));
    EXPECT_TRUE(TaskExists(L"VrxUnrelated"));

    // A second run finds nothing to do and still succeeds.
    EXPECT_EQ(0u, RunAction(L"DeleteVRXTask"));
    EXPECT_TRUE(TaskExists(L"vrx_abimport"));
    EXPECT_TRUE(TaskExists(L"VrxUnrelated"));
}
