#include <gtest/gtest.h>

#include <string>

#include "RunDll32.h"
#include "tests/support/Profiles.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

class CheckOutlookE2E : public ProductRegistryTest {
protected:
    ExchangeExtensionsKey extensions;
    ProfileFolders profiles;
};

TEST_F(CheckOutlookE2E, ARegisteredExtensionClearsTheCacheOfEveryProfile) {
    const std::wstring first = profiles.Add();
    const std::wstring second = profiles.Add();
    for (const std::wstring& profile : {first, second}) {
        ProfileFolders::WriteFile(profile, kCacheSinceVista);
    }
    // The layout of systems before Vista is not this system's.
    ProfileFolders::WriteFile(second, kCacheBeforeVista);

    EXPECT_EQ(0u, RunAction(L"CheckOutlook"));
    EXPECT_TRUE(ProfileFolders::Exists(first, kCacheSinceVista));

    extensions.Register();
    EXPECT_EQ(0u, RunAction(L"CheckOutlook", L"ignored arguments"));
    EXPECT_FALSE(ProfileFolders::Exists(first, kCacheSinceVista));
    EXPECT_FALSE(ProfileFolders::Exists(second, kCacheSinceVista));
    EXPECT_TRUE(ProfileFolders::Exists(second, kCacheBeforeVista));
}
