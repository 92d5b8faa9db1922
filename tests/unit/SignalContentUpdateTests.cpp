#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "src/common/vrxrunonce/ContentSignal.h"
#include "src/common/vrxrunonce/VrxRunOnce.h"
#include "src/includes/CmdBuf.h"
#include "tests/support/LogCapture.h"
#include "tests/support/UpdMgrStandIn.h"

using namespace VrxTest;

namespace {

// Known answers, computed on Linux for an identifier $id as
//   printf '%s' "$id" | iconv -t UTF-16LE | head -c ${#id} | openssl dgst -sha256
// that is, over as many bytes of the UTF-16LE text as it has characters.
constexpr const wchar_t* kGuid = L"6f1c2d3e-4b5a-4978-8c6d-5e4f3a2b1c0d";
constexpr const wchar_t* kGuidHash =
    L"ab89a713aa35e34dc53f7ef2bb1b8aa135a3882750c06a7e58486e6a0d876f23";
// Differs from kGuid only in its last 18 characters.
constexpr const wchar_t* kSameFirstHalfGuid = L"6f1c2d3e-4b5a-4978-0000-000000000000";

constexpr const wchar_t* kIpcSource = L"..\\..\\includes\\CmdBuf";
constexpr const wchar_t* kGuidFn = L"CIPCPool::GetMachineGUID";
constexpr const wchar_t* kHashFn = L"CIPCPool::GetHashVal";

const LogRecord kGuidEntered{1, kIpcSource, kGuidFn, 94,
                             L"Entered into Function: CIPCPool::GetMachineGUID\r\n"};
const LogRecord kGuidRead{1, kIpcSource, kGuidFn, 103,
                          L"Successfully read the Machine GUID for the machine from registry"};
const LogRecord kGuidNotRead{4, kIpcSource, kGuidFn, 106,
                             L"Failed to Obtain the Machine GUID for Machine"};
const LogRecord kGuidKeyNotOpened{4, kIpcSource, kGuidFn, 112, L"Failed to open registry key"};

LogRecord Action(DWORD severity, int line, const wchar_t* text) {
    return {severity, L"VrxRunOnce", L"SignalContentUpdate", line, text};
}
const LogRecord kWriteFailed = Action(4, 1009, L"Error writing update date to registry.");
const LogRecord kNoGuid = Action(4, 1017, L"Failed to get Machine GUID");
const LogRecord kNoMutex = Action(1, 1023, L"Can not open CmlUpdator mutex.");
const LogRecord kNotInitiated = Action(1, 1056, L"Can not initiate an update.");
const LogRecord kStarted = Action(1, 1061, L"Update started.");
const LogRecord kProcessed = Action(1, 1069, L"Request processed correctly.");
const LogRecord kExiting = Action(1, 1072, L"Exiting.");

std::vector<LogRecord> Concat(std::initializer_list<std::vector<LogRecord>> parts) {
    std::vector<LogRecord> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const std::vector<LogRecord> kHashed = {
    {1, kIpcSource, kHashFn, 120, L"Entered into Function: CIPCPool::GetHashVal\r\n"},
    {1, kIpcSource, kHashFn, 124, L"Initialize SHA256_CTX with\tSHA256_Init()\r\n"},
    {1, kIpcSource, kHashFn, 127, L"Running over the data with SHA256_Update()\r\n"},
    {1, kIpcSource, kHashFn, 130, L"Extracting the hash result\tusing SHA256_Final()\r\n"}};
// Reading the identifier and naming the mutex; naming the event hashes again.
const std::vector<LogRecord> kMutexNamed = Concat({{kGuidEntered, kGuidRead}, kHashed});
const std::vector<LogRecord> kBothNamed = Concat({kMutexNamed, kHashed});

ULONGLONG NowFileTime() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart;
}

// True when a thread other than the caller's can take the mutex now: nobody owns it.
bool MutexIsFree(HANDLE mutex) {
    DWORD result = WAIT_FAILED;
    std::thread other([&] {
        result = ::WaitForSingleObject(mutex, 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
            ::ReleaseMutex(mutex);
        }
    });
    other.join();
    return result == WAIT_OBJECT_0;
}

class SignalContentUpdateTest : public MachineGuidTest {
protected:
    void SetUp() override {
        MachineGuidTest::SetUp();
        // The date goes to the key in the process's own view.
        CreateKey(kVrxKey, kNativeView);
        SetMachineGuid(kGuid);
    }

    // Runs the action; returns its duration in milliseconds.
    static ULONGLONG Run() {
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(0, SignalContentUpdate(nullptr, nullptr, nullptr, 0));
        return ::GetTickCount64() - start;
    }

    // Starts the stand-in named from kGuid's known hash, and opens its objects here too.
    void StartManager(const wchar_t* mode, DWORD holdMs = 0, DWORD delayMs = 0) {
        StandInOptions options;
        options.mode = mode;
        options.hash = kGuidHash;
        options.holdMs = holdMs;
        options.delayMs = delayMs;
        ASSERT_TRUE(manager.Start(options));
        const std::wstring braced = L"{" + std::wstring(kGuidHash) + L"}";
        mutex.reset(
            ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, (braced + L"-VRX-UPD").c_str()));
        event.reset(::OpenEventW(SYNCHRONIZE, FALSE, (braced + L"-VRX-INST").c_str()));
        ASSERT_TRUE(mutex && event);
    }

    CUpdMgrStandIn manager;
    Tessel::UniqueHandle mutex;
    Tessel::UniqueHandle event;
};

}  // namespace

TEST(CIPCPoolHash, HashesTheFirstHalfOfTheUtf16TextAsKnown) {
    ClearLogRecords();
    EXPECT_EQ(kGuidHash, CIPCPool::GetHashVal(kGuid));
    EXPECT_EQ(kHashed, LogRecords());
    EXPECT_EQ(kGuidHash, CIPCPool::GetHashVal(kSameFirstHalfGuid));
    // Odd lengths end inside a character: "abc" hashes the bytes 61 00 62.
    EXPECT_EQ(L"59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138",
              CIPCPool::GetHashVal(L"abc"));
    // Little-endian storage: U+20AC '1' hashes the bytes AC 20.
    EXPECT_EQ(L"d5bedfc82c6715481a4eefdfa5cf5e92e24b396425c06d4cff40ee966ebc9411",
              CIPCPool::GetHashVal(L"\u20ac1"));

    EXPECT_EQ(L"{" + std::wstring(kGuidHash) + L"}-VRX-UPD", UpdMgrObjects::MutexName(kGuidHash));
    EXPECT_EQ(L"{" + std::wstring(kGuidHash) + L"}-VRX-INST", UpdMgrObjects::EventName(kGuidHash));
}

TEST_F(SignalContentUpdateTest, GetMachineGuidReadsOnlyATerminatedStringThatFits) {
    wchar_t buffer[MAX_PATH];
    const auto read = [&buffer]() {
        ClearLogRecords();
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        return CIPCPool::GetMachineGUID(buffer, MAX_PATH);
    };
    EXPECT_EQ(kGuid, read());
    EXPECT_STREQ(kGuid, buffer);
    EXPECT_EQ((std::vector<LogRecord>{kGuidEntered, kGuidRead}), LogRecords());

    SetString(kCryptographyKey, L"MachineGuid", kGuid, REG_EXPAND_SZ);
    EXPECT_EQ(kGuid, read());
    const std::wstring longest(MAX_PATH - 1, L'7');
    SetMachineGuid(longest);
    EXPECT_EQ(longest, read());
    SetRaw(kCryptographyKey, L"MachineGuid", REG_SZ, nullptr, 0);
    EXPECT_EQ(L"", read());
    EXPECT_EQ((std::vector<LogRecord>{kGuidEntered, kGuidRead}), LogRecords());

    const DWORD number = 42;
    const std::wstring tooLong(MAX_PATH, L'7');
    struct Bad {
        const char* name;
        DWORD type;
        const void* data;
        size_t bytes;
    } const bad[] = {
        {"dword", REG_DWORD, &number, sizeof(number)},
        {"binary", REG_BINARY, kGuid, 72},
        {"unterminated", REG_SZ, kGuid, 72},
        {"odd size", REG_SZ, kGuid, 73},
        {"longer than the buffer", REG_SZ, tooLong.c_str(), 2 * tooLong.size() + 2},
    };
    for (const Bad& value : bad) {
        SetRaw(kCryptographyKey, L"MachineGuid", value.type, value.data, value.bytes);
        EXPECT_EQ(L"", read()) << value.name;
        EXPECT_EQ(L'\0', buffer[0]) << value.name;
        EXPECT_EQ((std::vector<LogRecord>{kGuidEntered, kGuidNotRead}), LogRecords()) << value.name;
    }
    DeleteValue(kCryptographyKey, L"MachineGuid");
    EXPECT_EQ(L"", read());
    EXPECT_EQ((std::vector<LogRecord>{kGuidEntered, kGuidNotRead}), LogRecords());
    ClearLogRecords();
    EXPECT_EQ(L"", CIPCPool::GetMachineGUID(nullptr, MAX_PATH));
    EXPECT_EQ((std::vector<LogRecord>{kGuidEntered, kGuidNotRead}), LogRecords());
}

TEST(UpdateRequestPoll, AcceptsOnlyATimeOutBeforeTheLastRound) {
    using VrxRunOnce::kMaxPollRepeats;
    struct Case {
        unsigned signalledWaits;  // waits that report the event still set, before `finalWait`
        DWORD finalWait;
        unsigned repeats;
        bool accepted;
    } const cases[] = {
        {0, WAIT_TIMEOUT, 0, true},
        {1, WAIT_TIMEOUT, 1, true},
        {kMaxPollRepeats - 1, WAIT_TIMEOUT, kMaxPollRepeats - 1, true},
        {kMaxPollRepeats, WAIT_TIMEOUT, kMaxPollRepeats, false},
        {kMaxPollRepeats + 1, WAIT_TIMEOUT, kMaxPollRepeats, false},
        {0, WAIT_FAILED, 0, false},
        {5, WAIT_FAILED, 5, false},
    };
    for (const Case& c : cases) {
        unsigned waits = 0;
        unsigned sleeps = 0;
        const auto poll = VrxRunOnce::PollUpdateRequest(
            [&](DWORD timeoutMs) {
                EXPECT_EQ(1u, timeoutMs);
                return waits++ < c.signalledWaits ? WAIT_OBJECT_0 : c.finalWait;
            },
            [&](DWORD ms) {
                EXPECT_EQ(1u, ms);
                ++sleeps;
            });
        EXPECT_EQ(c.accepted, poll.accepted) << c.signalledWaits;
        EXPECT_EQ(c.repeats, poll.repeats) << c.signalledWaits;
        EXPECT_EQ(c.repeats, sleeps) << c.signalledWaits;
        EXPECT_EQ(c.repeats + 1, waits) << c.signalledWaits;
    }
}

TEST_F(SignalContentUpdateTest, WithoutAManagerTheDateIsWrittenAndTheActionEndsAtOnce) {
    const ULONGLONG before = NowFileTime() / 10000;
    Run();
    const ULONGLONG after = NowFileTime() / 10000;
    EXPECT_EQ(Concat({kMutexNamed, {kNoMutex}}), LogRecords());

    const RegValue stamp = ReadValue(kVrxKey, L"contentUMDate", kNativeView);
    ASSERT_EQ(static_cast<DWORD>(REG_BINARY), stamp.type);
    ASSERT_EQ(sizeof(SYSTEMTIME), stamp.data.size());
    SYSTEMTIME written;
    memcpy(&written, stamp.data.data(), sizeof(written));
    FILETIME asFileTime;
    ASSERT_TRUE(::SystemTimeToFileTime(&written, &asFileTime));
    const ULONGLONG writtenMs =
        ULARGE_INTEGER{{asFileTime.dwLowDateTime, asFileTime.dwHighDateTime}}.QuadPart / 10000;
    EXPECT_GE(writtenMs, before);
    EXPECT_LE(writtenMs, after);
    EXPECT_FALSE(ReadValue(kVrxKey, L"contentUMDate", kOtherView).present);
}

TEST_F(SignalContentUpdateTest, AFailedDateWriteIsLoggedAndTheRequestStillMade) {
    StartManager(L"take");
    RemoveProductKeys();
    Run();
    EXPECT_EQ(Concat({{kWriteFailed}, kBothNamed, {kStarted, kProcessed, kExiting}}), LogRecords());
    EXPECT_FALSE(KeyExists(kVrxKey, kNativeView));
    EXPECT_EQ(kStandInProcessed, manager.WaitForExit());

    // With the manager gone and the last handles here closed, its objects are gone too.
    mutex.reset();
    event.reset();
    CreateKey(kVrxKey, kNativeView);
    DenyKeyAccess(kVrxKey, KEY_SET_VALUE, kNativeView);
    ClearLogRecords();
    Run();
    EXPECT_EQ(Concat({{kWriteFailed}, kMutexNamed, {kNoMutex}}), LogRecords());
}

TEST_F(SignalContentUpdateTest, ATakenRequestIsWaitedForAndTheMutexGivenBack) {
    StartManager(L"take", 500, 100);
    const ULONGLONG elapsed = Run();
    EXPECT_EQ(Concat({kBothNamed, {kStarted, kProcessed, kExiting}}), LogRecords());
    EXPECT_GE(elapsed, 500u) << "the action must wait while the manager holds the mutex";
    EXPECT_EQ(kStandInProcessed, manager.WaitForExit());
    EXPECT_TRUE(MutexIsFree(mutex.get()));
    EXPECT_TRUE(ReadValue(kVrxKey, L"contentUMDate", kNativeView).present);
}

TEST_F(SignalContentUpdateTest, AnAbandonedMutexIsGivenBackWithoutClaimingSuccess) {
    StartManager(L"abandon", 200);
    Run();
    EXPECT_EQ(Concat({kBothNamed, {kStarted, kExiting}}), LogRecords());
    EXPECT_EQ(kStandInAbandoned, manager.WaitForExit());
    EXPECT_TRUE(MutexIsFree(mutex.get()));
}

TEST_F(SignalContentUpdateTest, AnUntakenRequestIsPolledForItsFullCourseThenGivenUp) {
    StartManager(L"ignore");
    const ULONGLONG elapsed = Run();
    EXPECT_EQ(Concat({kBothNamed, {kNotInitiated}}), LogRecords());
    // 1500 rounds of a 1 ms sleep at least.
    EXPECT_GE(elapsed, 1400u);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(event.get(), 0));
    EXPECT_TRUE(MutexIsFree(mutex.get()));
    manager.Stop();
    EXPECT_EQ(kStandInLeftSignalled, manager.WaitForExit());
}

TEST_F(SignalContentUpdateTest, IdentifiersThatShareTheirFirstHalfReachTheSameManager) {
    SetMachineGuid(kSameFirstHalfGuid);
    StartManager(L"take");
    Run();
    EXPECT_EQ(Concat({kBothNamed, {kStarted, kProcessed, kExiting}}), LogRecords());
    EXPECT_EQ(kStandInProcessed, manager.WaitForExit());
}

TEST_F(SignalContentUpdateTest, WithoutAnIdentifierNoObjectIsOpened) {
    // A manager is running: without an identifier the action must reach neither it nor anything.
    StartManager(L"ignore");
    DeleteValue(kCryptographyKey, L"MachineGuid");
    Run();
    EXPECT_EQ((std::vector<LogRecord>{kGuidEntered, kGuidNotRead, kNoGuid, kNoMutex}),
              LogRecords());

    SetMachineGuid(L"");
    ClearLogRecords();
    Run();
    EXPECT_EQ((std::vector<LogRecord>{kGuidEntered, kGuidRead, kNoGuid, kNoMutex}), LogRecords());

    DenyCryptographyRead();
    ClearLogRecords();
    Run();
    EXPECT_EQ((std::vector<LogRecord>{kGuidEntered, kGuidKeyNotOpened, kNoGuid, kNoMutex}),
              LogRecords());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event.get(), 0));
}
