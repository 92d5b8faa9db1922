#include <gtest/gtest.h>

#include "RunDll32.h"
#include "tests/support/Registry.h"
#include "tests/support/Services.h"

using namespace VrxTest;

namespace {

constexpr const wchar_t* kHostKey = L"SOFTWARE\\Varlen\\ZEDHOST";
constexpr wchar_t kLegacyDependencies[] = L"vlnfire\0+VlnGroup\0";

class RemoveServiceDependencyE2E : public ProductServiceTest {};

}  // namespace

TEST_F(RemoveServiceDependencyE2E, HostProductDisabledLeavesTheServiceWithoutDependencies) {
    CreateTestService(kProductService, kLegacyDependencies);
    SetDword(kHostKey, L"Enable", 0);
    EXPECT_EQ(0u, RunAction(L"RemoveServiceDependency", L"ignored arguments"));
    const ServiceDependencies left = ReadServiceDependencies(kProductService);
    EXPECT_TRUE(left.services.empty());
    EXPECT_TRUE(left.groups.empty());
}

TEST_F(RemoveServiceDependencyE2E, MissingServiceEndsTheHostNormally) {
    // rundll32 discards the action's result: the host ends normally and no service appears.
    EXPECT_EQ(0u, RunAction(L"RemoveServiceDependency"));
    EXPECT_FALSE(KeyExists(L"System\\CurrentControlSet\\Services\\VRX80Service"));
}
