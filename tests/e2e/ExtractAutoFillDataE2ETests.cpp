#include <gtest/gtest.h>

#include "RunDll32.h"
#include "tests/support/Files.h"
#include "tests/support/ProductDataFolder.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

class ExtractAutoFillDataE2E : public ProductRegistryTest {
protected:
    ScratchFolder install;
    ProductDataFolder data;
};

TEST_F(ExtractAutoFillDataE2E, ARefusedResourceLibraryLeavesTheDatabaseAsItWas) {
    // Signed for the tests only: the shipped validation refuses it.
    CopyFileTo(FixturePath(L"signing\\autofill\\VRXAutoFillRes.dll"),
               install / L"VRXAutoFillRes.dll");
    SetString(kVrxKey, L"Install Dir", install.Path());
    MakeFolder(data.Path());
    WriteTextFile(data.Database(), "earlier database");

    EXPECT_EQ(0u, RunAction(L"ExtractAutoFillData", L"ignored arguments"));
    EXPECT_EQ("earlier database", ReadTextFile(data.Database()));
    EXPECT_FALSE(FileExists(data.Database() + L".new"));
}
