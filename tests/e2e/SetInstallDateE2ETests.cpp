#include <gtest/gtest.h>

#include "RunDll32.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

class SetInstallDateE2E : public ProductRegistryTest {};

TEST_F(SetInstallDateE2E, StampsDatesThroughRundll32WhateverTheCommandLine) {
    CreateKey(kSubstituteKey);
    const BYTE earlier[16] = {0xE8, 0x07, 1, 0, 3, 0, 15, 0};
    SetRaw(kVrxKey, L"contentDate", REG_BINARY, earlier, sizeof(earlier));

    EXPECT_EQ(0u, RunAction(L"SetInstallDate", L"--reset contentDate \"C:\\junk\" 12345"));

    const RegValue date = ReadValue(kSubstituteKey, L"date");
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), date.type);
    EXPECT_EQ(16u, date.data.size());
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), ReadValue(kSubstituteKey, L"gmtdate").type);
    EXPECT_EQ(std::vector<BYTE>(earlier, earlier + 16), ReadValue(kVrxKey, L"contentDate").data);
}

TEST_F(SetInstallDateE2E, WithNoProductKeysTheActionCreatesNothing) {
    EXPECT_EQ(0u, RunAction(L"SetInstallDate"));
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Varlen"));
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Varlen", KEY_WOW64_32KEY));
}
