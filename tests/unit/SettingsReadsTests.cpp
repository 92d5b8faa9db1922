#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <map>
#include <string>

#include "src/common/vrxrunonce/SettingsReads.h"

using namespace VrxRunOnce;

namespace {

// A node whose values are byte strings; OpenChild and EnumChildren answer as configured.
class FakeNode final : public SettingsNode {
public:
    std::map<std::wstring, std::string> values;
    // Makes the second GetValue of a value (the one with a buffer) fail.
    bool failCopy = false;
    DWORD childAnswer = ERROR_SUCCESS;
    bool giveChild = true;
    int released = 0;

    DWORD OpenChild(const wchar_t*, SettingsNode** child) override {
        *child = giveChild ? this : nullptr;
        return childAnswer;
    }
    DWORD ReservedSlot1() override { return ERROR_CALL_NOT_IMPLEMENTED; }
    DWORD EnumChildren(SettingsEnumerator** enumerator) override {
        *enumerator = nullptr;
        return ERROR_ACCESS_DENIED;
    }
    DWORD GetValue(const wchar_t* name, void* buffer, DWORD* bytes) override {
        const auto found = values.find(name);
        if (found == values.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        const DWORD size = static_cast<DWORD>(found->second.size());
        if (buffer == nullptr || *bytes < size) {
            *bytes = size;
            return ERROR_MORE_DATA;
        }
        if (failCopy) {
            return ERROR_ACCESS_DENIED;
        }
        std::memcpy(buffer, found->second.data(), size);
        *bytes = size;
        return ERROR_SUCCESS;
    }
    DWORD SetValue(const wchar_t*, const void*, DWORD, DWORD) override { return 0; }
    DWORD ClearValue(const wchar_t*, DWORD) override { return 0; }
    ULONG Release() override { return static_cast<ULONG>(++released); }
};

std::string Wide(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

}  // namespace

TEST(SettingsReads, ANullNodeGivesTheEmptyResults) {
    EXPECT_EQ(L"", ReadSettingString(nullptr, L"name"));
    EXPECT_EQ(7u, ReadSettingDword(nullptr, L"level", 7));
    EXPECT_FALSE(OpenSettingChild(nullptr, L"child"));
    EXPECT_FALSE(EnumSettingChildren(nullptr));
}

TEST(SettingsReads, TextIsCutAtItsFirstTerminatorOrItsSize) {
    FakeNode node;
    node.values[L"terminated"] = Wide(std::wstring(L"S-1-5\0rest", 10));
    node.values[L"unterminated"] = Wide(L"abc");
    node.values[L"odd"] = Wide(L"abc") + "x";
    node.values[L"empty"] = "";
    EXPECT_EQ(L"S-1-5", ReadSettingString(&node, L"terminated"));
    EXPECT_EQ(L"abc", ReadSettingString(&node, L"unterminated"));
    EXPECT_EQ(L"", ReadSettingString(&node, L"odd"));
    EXPECT_EQ(L"", ReadSettingString(&node, L"empty"));
    EXPECT_EQ(L"", ReadSettingString(&node, L"missing"));
    node.failCopy = true;
    EXPECT_EQ(L"", ReadSettingString(&node, L"terminated"));
}

TEST(SettingsReads, ANumberThatCannotBeReadGivesTheDefault) {
    FakeNode node;
    node.values[L"four"] = Wide(std::wstring(L"\x0004\0", 2));
    node.values[L"long"] = std::string(8, '\x05');
    node.values[L"empty"] = "";
    node.values[L"short"] = "\x05";
    EXPECT_EQ(4u, ReadSettingDword(&node, L"four", 3));
    EXPECT_EQ(3u, ReadSettingDword(&node, L"long", 3));
    EXPECT_EQ(3u, ReadSettingDword(&node, L"empty", 3));
    EXPECT_EQ(3u, ReadSettingDword(&node, L"missing", 3));
    // The bytes a shorter value does not fill read as zero.
    EXPECT_EQ(5u, ReadSettingDword(&node, L"short", 3));
}

TEST(SettingsReads, AChildHandedOutIsOwnedWhateverTheAnswer) {
    FakeNode node;
    node.childAnswer = ERROR_FILE_NOT_FOUND;
    EXPECT_TRUE(OpenSettingChild(&node, L"child"));
    EXPECT_EQ(1, node.released) << "released when its owner goes";
    node.giveChild = false;
    node.childAnswer = ERROR_SUCCESS;
    EXPECT_FALSE(OpenSettingChild(&node, L"child"));
    EXPECT_FALSE(EnumSettingChildren(&node));
    EXPECT_EQ(1, node.released);
}
