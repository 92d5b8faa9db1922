#include <gtest/gtest.h>

#include "RunDll32.h"
#include "tests/support/Files.h"
#include "tests/support/LegacyApf.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

class MoveApfFileE2E : public ProductRegistryTest {
protected:
    LegacyApfFolder legacy;
    ScratchFolder install;
};

TEST_F(MoveApfFileE2E, TheEarlierInstallsApfReplacesTheOneInTheInstallFolder) {
    legacy.Create();
    WriteTextFile(legacy / L"apf", "carried over\n");
    WriteTextFile(legacy / L"notes.txt", "stays\n");
    MakeFolder(install / L"apf");
    WriteTextFile(install / L"apf\\apf", "older\n");
    SetString(kVrxKey, L"Install Dir", install.Path());

    EXPECT_EQ(0u, RunAction(L"MoveApfFile", L"ignored arguments"));
    EXPECT_EQ("carried over\n", ReadTextFile(install / L"apf\\apf"));
    EXPECT_FALSE(FileExists(legacy / L"apf"));
    EXPECT_TRUE(FileExists(legacy / L"notes.txt"));
}
