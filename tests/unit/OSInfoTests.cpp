#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/OSInfo.h"
#include "tests/support/Files.h"

using namespace Tessel;
using Tessel::internal::OSInfoProxy;

namespace {

// What the platform says of this process: 1 for the shipped 32-bit build on 64-bit Windows.
DWORD ProcessWow64() {
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64 ? 1u : 0u;
}

// The system a FakeVersionAPI describes.
struct FakeSystem {
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD minor = 0;
    WORD servicePack = 0;
};

// Answers VerifyVersionInfoW probes as `system` would, decoding each condition from the mask.
class FakeVersionAPI : public WinOSVersionAPI {
public:
    explicit FakeVersionAPI(FakeSystem* system = nullptr) : m_system(system) {}

    BOOL VerifyVersion(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask) override {
        EXPECT_EQ(284u, info->dwOSVersionInfoSize);
        switch (typeMask) {
            case VER_PLATFORMID:
                return Holds(m_system->platformId, info->dwPlatformId, conditionMask, 3);
            case VER_MINORVERSION:
                return Holds(m_system->minor, info->dwMinorVersion, conditionMask, 0);
            case VER_SERVICEPACKMAJOR:
                return Holds(m_system->servicePack, info->wServicePackMajor, conditionMask, 5);
        }
        ADD_FAILURE() << "unexpected type mask " << typeMask;
        return FALSE;
    }

private:
    // The condition of the type at bit `index` occupies three bits at 3 * index.
    static BOOL Holds(DWORD actual, DWORD given, DWORDLONG conditionMask, int index) {
        switch ((conditionMask >> (3 * index)) & 7) {
            case VER_EQUAL:
                return actual == given;
            case VER_LESS:
                return actual < given;
        }
        ADD_FAILURE() << "unexpected condition mask " << conditionMask;
        return FALSE;
    }

    FakeSystem* m_system;
};

using FakeProxy = OSInfoProxy<FakeVersionAPI>;

// State whose kernel32 product version is `text` (none when null); counts the reads.
class ScriptedState : public FakeProxy::_Impl {
public:
    explicit ScriptedState(const wchar_t* text) : text(text) {}
    const wchar_t* text;
    std::atomic<int> reads{0};
    DWORD readDelayMs = 0;

protected:
    bool ReadSystemVersion(OSVersionNumbers& numbers) override {
        ++reads;
        ::Sleep(readDelayMs);
        return text != nullptr && internal::ParseProductVersion(text, numbers);
    }
};

FakeProxy MakeProxy(FakeSystem& system, const wchar_t* kernel32Version) {
    return FakeProxy(std::make_shared<ScriptedState>(kernel32Version), FakeVersionAPI(&system));
}

// Every classifying getter reports undetermined, and so does the free functions' view.
void ExpectUndetermined(FakeProxy& proxy) {
    OSReleaseRecord record{1, 1, 1};
    OSVersionNumbers numbers{1, 1, 1, 1};
    DWORD id = 1, wow64 = 1;
    EXPECT_EQ(0u, proxy.ReleaseId());
    EXPECT_EQ(2u, proxy.Wow64State());
    EXPECT_FALSE(proxy.ReleaseRecord(record));
    EXPECT_FALSE(proxy.VersionNumbers(numbers));
    EXPECT_EQ(0, record.major + record.minor + record.servicePack + numbers.major);
    EXPECT_FALSE(internal::ReleaseAndWow64Of(proxy, id, wow64));
    EXPECT_EQ(0u, id + wow64);
}

}  // namespace

TEST(OSInfoTest, ClassifiesNtReleasesFromKernel32AndProbesTheirServicePack) {
    const struct {
        const wchar_t* kernel32;
        WORD systemServicePack;
        DWORD id;
        WORD probedServicePack;
    } cases[] = {
        {L"3.51.1057", 5, 3, 0},   {L"4.0.1381", 6, 3, 0},       {L"5.0.2195.6717", 4, 4, 4},
        {L"5.1.2600", 3, 6, 3},    {L"5.1.2600", 4, 6, 0},       {L"5.2.3790", 2, 6, 2},
        {L"6.0.6002", 2, 7, 2},    {L"6.1.7601.17514", 1, 8, 1}, {L"6.2.9200", 1, 9, 0},
        {L"6.3.9600", 1, 10, 0},   {L"6.4", 0, 10, 0},           {L"10", 0, 11, 0},
        {L"10.0.22631", 0, 11, 0}, {L"7.0", 0, 12, 0},           {L"11.0.1", 0, 12, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "kernel32 " << c.kernel32);
        FakeSystem system;
        system.servicePack = c.systemServicePack;
        FakeProxy proxy = MakeProxy(system, c.kernel32);
        const bool recognised = c.id != 12;

        EXPECT_EQ(c.id, proxy.ReleaseId());
        const DWORD expectedWow64 = c.id == 3 || c.id == 4 ? 0u : ProcessWow64();
        EXPECT_EQ(expectedWow64, proxy.Wow64State());
        OSReleaseRecord record;
        EXPECT_EQ(recognised, proxy.ReleaseRecord(record));
        EXPECT_EQ(c.probedServicePack, record.servicePack);

        // The free functions report 12 as undetermined.
        DWORD id = 0, wow64 = 2;
        EXPECT_EQ(recognised, internal::ReleaseAndWow64Of(proxy, id, wow64));
        EXPECT_EQ(recognised ? c.id : 0u, id);
        EXPECT_EQ(expectedWow64, wow64);
        EXPECT_EQ(recognised ? c.id : 0u, internal::ReleaseIdOf(proxy));
    }
}

TEST(OSInfoTest, Windows9xMinorVersionIsSearchedBelow96) {
    for (DWORD minor = 0; minor < 120; ++minor) {
        SCOPED_TRACE(testing::Message() << "minor " << minor);
        FakeSystem system;
        system.platformId = VER_PLATFORM_WIN32_WINDOWS;
        system.minor = minor;
        system.servicePack = 1;  // never probed on 9x
        FakeProxy proxy = MakeProxy(system, L"4.10.2222");
        if (minor >= 96) {
            ExpectUndetermined(proxy);
            continue;
        }
        EXPECT_EQ(minor == 0 ? 1u : minor < 90 ? 2u : 5u, proxy.ReleaseId());
        OSReleaseRecord record;
        EXPECT_TRUE(proxy.ReleaseRecord(record));
        EXPECT_EQ(4, record.major);
        EXPECT_EQ(minor, record.minor);
        EXPECT_EQ(0, record.servicePack);
    }
}

TEST(OSInfoTest, ProductVersionPartsMustBeNumbersInRange) {
    const struct {
        const wchar_t* text;
        bool parses;
        DWORD major, revision;
    } cases[] = {{L"1.2.3.4.5", true, 1, 4},
                 {L"6.1.7601.17514 (win7sp1_rtm.101119-1850)", true, 6, 17514},
                 {L"4294967295", true, 0xFFFFFFFF, 0},
                 {L"", false, 7, 7},
                 {L"10.", false, 7, 7},
                 {L"10..1", false, 7, 7},
                 {L"-1.0", false, 7, 7},
                 {L"4294967296.0", false, 7, 7},
                 {L"10.0.99999999999999999999", false, 7, 7},
                 {L"\x0661\x0660.0", false, 7, 7}};  // digits of another script
    for (const auto& c : cases) {
        OSVersionNumbers numbers{7, 7, 7, 7};
        EXPECT_EQ(c.parses, internal::ParseProductVersion(c.text, numbers)) << c.text;
        EXPECT_EQ(c.major, numbers.major) << c.text;
        EXPECT_EQ(c.revision, numbers.revision) << c.text;
    }
}

TEST(OSInfoTest, FailedClassificationIsUndeterminedAndRetriedOnTheNextCall) {
    FakeSystem system;
    auto state = std::make_shared<ScriptedState>(nullptr);
    FakeProxy proxy(state, FakeVersionAPI(&system));
    ExpectUndetermined(proxy);
    EXPECT_EQ(5, state->reads.load()) << "every getter tried again";

    // The platform questions neither classify nor depend on it.
    EXPECT_TRUE(proxy.IsNtPlatform());
    EXPECT_EQ(ProcessWow64() == 1, proxy.IsWow64());
    EXPECT_EQ(5, state->reads.load());

    state->text = L"10.0.notanumber";
    EXPECT_EQ(0u, proxy.ReleaseId());
    state->text = L"6.1.7601";
    system.platformId = 3;  // neither 9x nor NT
    EXPECT_EQ(0u, proxy.ReleaseId());
    EXPECT_FALSE(proxy.IsNtPlatform());

    system.platformId = VER_PLATFORM_WIN32_NT;
    EXPECT_EQ(8u, proxy.ReleaseId());
    EXPECT_EQ(ProcessWow64(), proxy.Wow64State());
    EXPECT_EQ(8, state->reads.load()) << "a classified release is kept";
}

TEST(OSInfoTest, CopiesShareOneClassificationAcrossThreads) {
    FakeSystem system;
    auto state = std::make_shared<ScriptedState>(L"6.0.6001");
    state->readDelayMs = 50;
    std::vector<FakeProxy> copies;
    {
        FakeProxy original(state, FakeVersionAPI(&system));
        copies.assign(8, original);
    }  // the copies outlive the proxy they came from

    std::atomic<bool> go{false};
    std::vector<DWORD> ids(copies.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < copies.size(); ++i) {
        threads.emplace_back([&, i] {
            while (!go) {
                std::this_thread::yield();
            }
            ids[i] = copies[i].ReleaseId();
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(1, state->reads.load());
    for (DWORD id : ids) {
        EXPECT_EQ(7u, id);
    }
}

TEST(OSInfoTest, ClassifiesTheRunningSystem) {
    OSInfoProxy<WinOSVersionAPI> proxy;
    EXPECT_TRUE(proxy.IsNtPlatform());
    EXPECT_EQ(ProcessWow64() == 1, proxy.IsWow64());
    DWORD id = 0, wow64 = 2;
    EXPECT_TRUE(GetOSReleaseAndWow64(id, wow64));
    EXPECT_EQ(ProcessWow64(), wow64);
    EXPECT_EQ(id, GetOSReleaseId());
    EXPECT_EQ(id, proxy.ReleaseId());
    if (VrxTest::RunningUnderWine()) {
        EXPECT_EQ(11u, id);
        OSVersionNumbers numbers;
        ASSERT_TRUE(proxy.VersionNumbers(numbers));
        EXPECT_EQ(10u, numbers.major);
        EXPECT_EQ(1350u, numbers.revision);
    }
}
