#include <gtest/gtest.h>

#include <string>

#include "src/includes/RegKeyHolder.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

namespace {

constexpr const wchar_t* kKey = L"SOFTWARE\\Varlen\\VRX\\HolderTest";

class RegKeyHolderTest : public ProductRegistryTest {
protected:
    void SetUp() override {
        ProductRegistryTest::SetUp();
        CreateKey(kKey);
        ASSERT_EQ(ERROR_SUCCESS, holder.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ | KEY_WOW64_64KEY));
    }

    LSTATUS Query(const wchar_t* name, DWORD& chars) {
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        return holder.QueryRegString(name, buffer, chars);
    }

    CRegKeyHolder holder;
    wchar_t buffer[16];
};

}  // namespace

TEST_F(RegKeyHolderTest, QueryRegStringAcceptsOnlyTerminatedStrings) {
    SetString(kKey, L"sz", L"abc");
    SetString(kKey, L"expand", L"%TEMP%", REG_EXPAND_SZ);
    SetDword(kKey, L"dword", 7);
    SetRaw(kKey, L"unterminated", REG_SZ, L"abcd", 8);
    SetRaw(kKey, L"odd", REG_SZ, "abc", 3);
    SetRaw(kKey, L"empty", REG_SZ, nullptr, 0);
    SetString(kKey, L"long", std::wstring(40, L'x'));

    DWORD chars = 16;
    EXPECT_EQ(ERROR_SUCCESS, Query(L"sz", chars));
    EXPECT_EQ(4u, chars);
    EXPECT_STREQ(L"abc", buffer);

    chars = 16;
    EXPECT_EQ(ERROR_SUCCESS, Query(L"expand", chars));
    EXPECT_STREQ(L"%TEMP%", buffer);

    chars = 16;
    EXPECT_EQ(ERROR_INVALID_DATA, Query(L"dword", chars));
    EXPECT_EQ(0u, chars);
    chars = 16;
    EXPECT_EQ(ERROR_INVALID_DATA, Query(L"unterminated", chars));
    chars = 16;
    EXPECT_EQ(ERROR_INVALID_DATA, Query(L"odd", chars));

    chars = 16;
    EXPECT_EQ(ERROR_SUCCESS, Query(L"empty", chars));
    EXPECT_EQ(0u, chars);
    EXPECT_EQ(L'\0', buffer[0]);

    chars = 16;
    EXPECT_EQ(ERROR_MORE_DATA, Query(L"long", chars));
    EXPECT_EQ(0u, chars);
    chars = 16;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(L"missing", chars));

    chars = 0;
    EXPECT_EQ(ERROR_SUCCESS, holder.QueryRegString(L"long", nullptr, chars));
    EXPECT_EQ(41u, chars);
}

TEST_F(RegKeyHolderTest, FailedOpenKeepsTheHeldKeyAndSuccessfulOpenReplacesIt) {
    SetString(kKey, L"marker", L"first");
    EXPECT_EQ(KEY_WOW64_64KEY, holder.ViewBits());

    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              holder.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varlen\\Missing", KEY_READ));
    DWORD chars = 16;
    EXPECT_EQ(ERROR_SUCCESS, holder.QueryRegString(L"marker", buffer, chars));
    EXPECT_STREQ(L"first", buffer);

    EXPECT_EQ(ERROR_SUCCESS,
              holder.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft", KEY_READ | KEY_WOW64_32KEY));
    EXPECT_EQ(KEY_WOW64_32KEY, holder.ViewBits());
    EXPECT_EQ(ERROR_SUCCESS, holder.Close());
    EXPECT_FALSE(holder.IsOpen());
    EXPECT_EQ(0u, holder.ViewBits());
}
