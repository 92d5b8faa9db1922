#include <gtest/gtest.h>

#include <ctime>
#include <vector>

#include "src/common/vrxrunonce/VrxRunOnce.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

namespace {

const LogRecord kUpdateDateError{4, L"VrxRunOnce", L"SetInstallDate", 117,
                                 L"Error writing last update date to registry."};

class SetInstallDateTest : public ProductRegistryTest {
protected:
    static int Run() { return SetInstallDate(nullptr, nullptr, nullptr, 0); }

    static SYSTEMTIME AsSystemTime(const RegValue& value) {
        SYSTEMTIME time = {};
        EXPECT_EQ(sizeof(time), value.data.size());
        memcpy(&time, value.data.data(), std::min(sizeof(time), value.data.size()));
        return time;
    }
};

}  // namespace

TEST_F(SetInstallDateTest, StampsTheSameMomentAsDateSecondsAndFirstContentDate) {
    CreateKey(kSubstituteKey);
    const long long before = _time64(nullptr);
    EXPECT_EQ(0, Run());
    const long long after = _time64(nullptr);

    const RegValue date = ReadValue(kSubstituteKey, L"date");
    const RegValue gmtDate = ReadValue(kSubstituteKey, L"gmtdate");
    const RegValue contentDate = ReadValue(kVrxKey, L"contentDate");
    ASSERT_TRUE(date.present && gmtDate.present && contentDate.present);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), date.type);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), gmtDate.type);
    EXPECT_EQ(date.data, contentDate.data);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), contentDate.type);

    // The broken-down UTC time and the seconds count name the same moment.
    FILETIME fileTime;
    const SYSTEMTIME stamped = AsSystemTime(date);
    ASSERT_TRUE(::SystemTimeToFileTime(&stamped, &fileTime));
    const long long stampedSeconds = static_cast<long long>(
        (ULARGE_INTEGER{{fileTime.dwLowDateTime, fileTime.dwHighDateTime}}.QuadPart / 10000000ULL) -
        11644473600ULL);
    EXPECT_GE(stampedSeconds, before);
    EXPECT_LE(stampedSeconds, after);
    EXPECT_GE(gmtDate.AsDword(), static_cast<DWORD>(before));
    EXPECT_LE(gmtDate.AsDword(), static_cast<DWORD>(after));
    EXPECT_TRUE(LogRecords().empty());
}

TEST_F(SetInstallDateTest, KeepsAnExistingBinaryContentDateOfAtMost16Bytes) {
    CreateKey(kSubstituteKey);
    for (size_t size : {16u, 8u, 0u}) {
        const std::vector<BYTE> earlier(size, 0x5A);
        SetRaw(kVrxKey, L"contentDate", REG_BINARY, earlier.data(), earlier.size());
        EXPECT_EQ(0, Run());
        const RegValue kept = ReadValue(kVrxKey, L"contentDate");
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), kept.type) << size;
        EXPECT_EQ(earlier, kept.data) << size;
    }
}

TEST_F(SetInstallDateTest, ReplacesAContentDateThatIsTooLongOrNotBinary) {
    CreateKey(kSubstituteKey);
    const std::vector<BYTE> tooLong(20, 0x11);
    const DWORD number = 7;
    struct Case {
        const char* name;
        DWORD type;
        const void* data;
        size_t bytes;
    } cases[] = {
        {"binary of 20 bytes", REG_BINARY, tooLong.data(), tooLong.size()},
        {"string", REG_SZ, L"2020-01-01", 22},
        {"dword", REG_DWORD, &number, sizeof(number)},
    };
    for (const Case& c : cases) {
        SetRaw(kVrxKey, L"contentDate", c.type, c.data, c.bytes);
        EXPECT_EQ(0, Run());
        const RegValue replaced = ReadValue(kVrxKey, L"contentDate");
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), replaced.type) << c.name;
        EXPECT_EQ(ReadValue(kSubstituteKey, L"date").data, replaced.data) << c.name;
    }
    EXPECT_TRUE(LogRecords().empty());
}

TEST_F(SetInstallDateTest, MissingSubstituteKeyIsLoggedAndTheContentDateStillWritten) {
    CreateKey(kVrxKey);
    EXPECT_EQ(0, Run());
    EXPECT_EQ(std::vector<LogRecord>{kUpdateDateError}, LogRecords());
    EXPECT_FALSE(KeyExists(kSubstituteKey));
    const RegValue contentDate = ReadValue(kVrxKey, L"contentDate");
    EXPECT_TRUE(contentDate.present);
    EXPECT_EQ(sizeof(SYSTEMTIME), contentDate.data.size());
}

TEST_F(SetInstallDateTest, WithNoProductKeysNothingIsCreatedAndOnlyTheUpdateDateIsLogged) {
    EXPECT_EQ(0, Run());
    EXPECT_EQ(std::vector<LogRecord>{kUpdateDateError}, LogRecords());
    EXPECT_FALSE(KeyExists(kVrxKey));
}

TEST_F(SetInstallDateTest, AccessDeniedOnEitherKeyIsSurvived) {
    CreateKey(kSubstituteKey);
    DenyKeyAccess(kSubstituteKey, KEY_SET_VALUE);
    EXPECT_EQ(0, Run());
    EXPECT_EQ(std::vector<LogRecord>{kUpdateDateError}, LogRecords());
    EXPECT_FALSE(ReadValue(kSubstituteKey, L"date").present);
    EXPECT_TRUE(ReadValue(kVrxKey, L"contentDate").present);

    // Without all access to the product key the content date is left alone, silently.
    DeleteValue(kVrxKey, L"contentDate");
    DenyKeyAccess(kVrxKey, WRITE_DAC);
    ClearLogRecords();
    EXPECT_EQ(0, Run());
    EXPECT_EQ(std::vector<LogRecord>{kUpdateDateError}, LogRecords());
    EXPECT_FALSE(ReadValue(kVrxKey, L"contentDate").present);
}
