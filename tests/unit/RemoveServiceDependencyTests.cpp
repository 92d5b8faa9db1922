#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "src/common/vrxrunonce/VrxRunOnce.h"
#include "support/UniqueAny.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Registry.h"
#include "tests/support/Services.h"

using namespace VrxTest;

namespace {

constexpr const wchar_t* kHostKey = L"SOFTWARE\\Varlen\\ZEDHOST";
constexpr const wchar_t* kHostKey32 = L"SOFTWARE\\Wow6432Node\\Varlen\\ZEDHOST";
// The legacy service dependency and a group dependency; the literal's own terminator ends the list.
constexpr wchar_t kLegacyDependencies[] = L"vlnfire\0+VlnGroup\0";

const LogRecord kEntering{3, L"VrxRunOnce", L"RemoveServiceDependency", 1224,
                          L"RemoveServiceDependency: Entering.."};
const LogRecord kScamEntry{1, L"..\\..\\includes\\Scam", L"CScam::SetDependency", 254,
                           L"Entered into Function: CScam::SetDependency\r\n"};
const LogRecord kRemoved{3, L"VrxRunOnce", L"RemoveServiceDependency", 1233,
                         L"Removed dependency on vlnfire"};
const LogRecord kExiting{3, L"VrxRunOnce", L"RemoveServiceDependency", 1234,
                         L"RemoveServiceDependency: Exiting.."};
const LogRecord kFailed{4, L"VrxRunOnce", L"RemoveServiceDependency", 1230,
                        L"Failed to remove legacy dependency for VRX80Service"};

const std::vector<std::wstring> kLegacyServices{L"vlnfire"};
const std::vector<std::wstring> kLegacyGroups{L"VlnGroup"};
const std::vector<std::wstring> kNone;

class RemoveServiceDependencyTest : public ProductServiceTest {
protected:
    static int Run() {
        ClearLogRecords();
        return RemoveServiceDependency(nullptr, nullptr, nullptr, 0);
    }

    static void ExpectLegacyDependencies() {
        const ServiceDependencies left = ReadServiceDependencies(kProductService);
        EXPECT_EQ(kLegacyServices, left.services);
        EXPECT_EQ(kLegacyGroups, left.groups);
    }

    static void ExpectNoDependencies() {
        const ServiceDependencies left = ReadServiceDependencies(kProductService);
        EXPECT_EQ(kNone, left.services);
        EXPECT_EQ(kNone, left.groups);
    }
};

}  // namespace

TEST_F(RemoveServiceDependencyTest, OnlyANonzeroFourByteEnableKeepsTheDependencies) {
    const BYTE one[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    struct Row {
        const char* name;
        std::function<void()> arrange;
        bool skipped;
        bool denied = false;
    };
    const std::vector<Row> rows = {
        {"no host key", [] {}, false},
        {"host key without Enable", [] { CreateKey(kHostKey); }, false},
        {"Enable 0", [] { SetDword(kHostKey, L"Enable", 0); }, false},
        {"Enable 1", [] { SetDword(kHostKey, L"Enable", 1); }, true},
        {"Enable with only the top bit", [] { SetDword(kHostKey, L"Enable", 0x80000000); }, true},
        {"Enable as 4 binary bytes", [&] { SetRaw(kHostKey, L"Enable", REG_BINARY, one, 4); },
         false},
        {"Enable as text", [] { SetString(kHostKey, L"Enable", L"1"); }, false},
        {"Enable as a 2-byte REG_DWORD", [&] { SetRaw(kHostKey, L"Enable", REG_DWORD, one, 2); },
         false},
        {"Enable as an 8-byte REG_DWORD", [&] { SetRaw(kHostKey, L"Enable", REG_DWORD, one, 8); },
         false},
        {"Enable 1 in the 32-bit view only", [] { SetDword(kHostKey32, L"Enable", 1); }, false},
        {"Enable 1 behind a key that cannot be queried",
         [] {
             SetDword(kHostKey, L"Enable", 1);
             DenyKeyAccess(kHostKey, KEY_QUERY_VALUE);
         },
         false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        CreateTestService(kProductService, kLegacyDependencies);
        row.arrange();
        EXPECT_EQ(0, Run());
        if (row.denied) {
            AllowKeyAccess(kHostKey);
        }
        if (row.skipped) {
            EXPECT_TRUE(LogRecords().empty());
            ExpectLegacyDependencies();
        } else {
            EXPECT_EQ((std::vector<LogRecord>{kEntering, kScamEntry, kRemoved, kExiting}),
                      LogRecords());
            ExpectNoDependencies();
        }
        TearDown();
    }
}

TEST_F(RemoveServiceDependencyTest, ChangesNothingButTheDependencies) {
    CreateTestService(kProductService, kLegacyDependencies);
    EXPECT_EQ(0, Run());
    ExpectNoDependencies();

    const Tessel::UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const Tessel::UniqueScHandle service(
        ::OpenServiceW(manager.get(), kProductService, SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service);
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    ASSERT_TRUE(
        ::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config->dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config->dwStartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
    EXPECT_NE(nullptr, wcsstr(config->lpBinaryPathName, L"cmd.exe"));
    EXPECT_STREQ(L"Varlen test service", config->lpDisplayName);

    // Running again over an empty list succeeds the same way.
    EXPECT_EQ(0, Run());
    EXPECT_EQ((std::vector<LogRecord>{kEntering, kScamEntry, kRemoved, kExiting}), LogRecords());
    ExpectNoDependencies();
}

TEST_F(RemoveServiceDependencyTest, MissingServiceFailsWithItsErrorCode) {
    EXPECT_EQ(1, Run());
    const LogRecord notOpened{4, L"..\\..\\includes\\Scam", L"CScam::SetDependency", 266,
                              L"Failed to open VRX service(VRX80Service), Error: 1060\r\n"};
    EXPECT_EQ((std::vector<LogRecord>{kEntering, kScamEntry, notOpened, kFailed}), LogRecords());
}

TEST_F(RemoveServiceDependencyTest, RefusedChangeIsAFailureNotASuccess) {
    // A service marked for deletion (a handle still holds it) still opens, but its configuration
    // can no longer change.
    CreateTestService(kProductService, kLegacyDependencies);
    const Tessel::UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    Tessel::UniqueScHandle held(::OpenServiceW(manager.get(), kProductService, DELETE));
    ASSERT_TRUE(held);
    ASSERT_TRUE(::DeleteService(held.get()));

    EXPECT_EQ(1, Run());
    const LogRecord refused{4, L"..\\..\\includes\\Scam", L"CScam::SetDependency", 272,
                            L"Failed to change VRX service(VRX80Service) config, Error: 1072\r\n"};
    EXPECT_EQ((std::vector<LogRecord>{kEntering, kScamEntry, refused, kFailed}), LogRecords());
    held.reset();
}
