#include <gtest/gtest.h>

#include "RunDll32.h"
#include "tests/support/Files.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

class ExtractContentE2E : public ProductRegistryTest {
protected:
    void Install(const wchar_t* version) {
        SetString(kVrxKey, L"Install Dir", folder.Path());
        CopyFileTo(FixturePath(L"content.cab"), folder / L"vrxcmcnt.cab");
        MakeFolder(folder / L"Config");
        WriteTextFile(folder / L"Config\\old-rules.txt", "old\n");
        SetString(kSubstituteKey, L"version2", version);
        SetDword(kVrxKey, L"upd_content", 5);
        SetDword(kVrxKey, L"content", 3);
    }

    ScratchFolder folder;
};

TEST_F(ExtractContentE2E, OlderProductContentIsReplacedAndTheNumberRecorded) {
    Install(L"12.0");
    EXPECT_EQ(0u, RunAction(L"ExtractContent", L"ignored arguments"));
    EXPECT_FALSE(FileExists(folder / L"Config\\old-rules.txt"));
    EXPECT_TRUE(FileExists(folder / L"Config\\phrases.txt"));
    EXPECT_TRUE(FileExists(folder / L"content.ini"));
    EXPECT_EQ(5u, ReadValue(kVrxKey, L"content").AsDword());
    EXPECT_FALSE(ReadValue(kVrxKey, L"upd_content").present);
}

TEST_F(ExtractContentE2E, NewerProductContentIsLeftAlone) {
    Install(L"14.1");
    EXPECT_EQ(0u, RunAction(L"ExtractContent"));
    EXPECT_TRUE(FileExists(folder / L"Config\\old-rules.txt"));
    EXPECT_FALSE(FileExists(folder / L"content.ini"));
    EXPECT_EQ(3u, ReadValue(kVrxKey, L"content").AsDword());
    EXPECT_EQ(5u, ReadValue(kVrxKey, L"upd_content").AsDword());
}
