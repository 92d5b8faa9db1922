#include <gtest/gtest.h>

#include "RunDll32.h"
#include "tests/support/UpdMgrStandIn.h"

using namespace VrxTest;

namespace {

// Known answer for kGuid, computed on Linux as
//   printf '%s' "$id" | iconv -t UTF-16LE | head -c ${#id} | openssl dgst -sha256
constexpr const wchar_t* kGuid = L"0d9e8f7a-6b5c-4d3e-9f10-a1b2c3d4e5f6";
constexpr const wchar_t* kGuidHash =
    L"e2e3e4d11b165f1605d158b5a8b737d92dd5072175d1593a442ebf2a9e37672f";

class SignalContentUpdateE2E : public MachineGuidTest {
protected:
    void SetUp() override {
        MachineGuidTest::SetUp();
        // The date goes to the key in the process's own view.
        CreateKey(kVrxKey, kNativeView);
        SetMachineGuid(kGuid);
    }

    void StartManager(const wchar_t* mode, DWORD holdMs = 0) {
        StandInOptions options;
        options.mode = mode;
        options.hash = kGuidHash;
        options.holdMs = holdMs;
        ASSERT_TRUE(manager.Start(options));
    }

    CUpdMgrStandIn manager;
};

}  // namespace

TEST_F(SignalContentUpdateE2E, TheManagerReceivesAndProcessesTheRequest) {
    StartManager(L"take", 300);
    EXPECT_EQ(0u, RunAction(L"SignalContentUpdate", L"ignored arguments"));
    EXPECT_EQ(kStandInProcessed, manager.WaitForExit());
    const RegValue stamp = ReadValue(kVrxKey, L"contentUMDate", kNativeView);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), stamp.type);
    EXPECT_EQ(sizeof(SYSTEMTIME), stamp.data.size());
}

TEST_F(SignalContentUpdateE2E, AManagerThatNeverTakesTheRequestIsLeftWithItSignalled) {
    StartManager(L"ignore");
    EXPECT_EQ(0u, RunAction(L"SignalContentUpdate"));
    const Tessel::UniqueHandle event(
        ::OpenEventW(SYNCHRONIZE, FALSE, (L"{" + std::wstring(kGuidHash) + L"}-VRX-INST").c_str()));
    ASSERT_TRUE(event);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(event.get(), 0));
    manager.Stop();
    EXPECT_EQ(kStandInLeftSignalled, manager.WaitForExit());
}

TEST_F(SignalContentUpdateE2E, WithoutAManagerOnlyTheDateIsWritten) {
    EXPECT_EQ(0u, RunAction(L"SignalContentUpdate"));
    EXPECT_TRUE(ReadValue(kVrxKey, L"contentUMDate", kNativeView).present);

    RemoveProductKeys();
    EXPECT_EQ(0u, RunAction(L"SignalContentUpdate"));
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Varlen", KEY_WOW64_64KEY));
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Varlen", KEY_WOW64_32KEY));
}
