// A settings node held in memory: it serves the values it holds and records what is stored and
// cleared, in order.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "src/includes/VrxSettings.h"

namespace VrxTest {

class RecordingNode final : public SettingsNode {
public:
    std::vector<std::wstring> calls;
    std::map<std::wstring, std::string> values;  // the stored bytes, terminator included
    DWORD setAnswer = ERROR_SUCCESS;

    // Holds `text` as a wide-character value with its terminator, without recording a call.
    void Hold(const wchar_t* name, const std::wstring& text) {
        values[name].assign(reinterpret_cast<const char*>(text.c_str()),
                            (text.size() + 1) * sizeof(wchar_t));
    }

    DWORD OpenChild(const wchar_t*, SettingsNode** child) override {
        *child = nullptr;
        return ERROR_FILE_NOT_FOUND;
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
        const bool fits = buffer != nullptr && *bytes >= size;
        if (fits) {
            std::memcpy(buffer, found->second.data(), size);
        }
        *bytes = size;
        return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
    }
    DWORD SetValue(const wchar_t* name, const void* data, DWORD bytes, DWORD flags) override {
        calls.push_back(L"set " + std::wstring(name) + L" " + std::to_wstring(flags));
        if (setAnswer == ERROR_SUCCESS) {
            values[name].assign(static_cast<const char*>(data), bytes);
        }
        return setAnswer;
    }
    DWORD ClearValue(const wchar_t* name, DWORD flags) override {
        calls.push_back(L"clear " + std::wstring(name) + L" " + std::to_wstring(flags));
        values.erase(name);
        return ERROR_SUCCESS;
    }
    ULONG Release() override { return 1; }

    // The bytes stored under `name`; null when nothing is.
    const std::string* Stored(const wchar_t* name) const {
        const auto found = values.find(name);
        return found != values.end() ? &found->second : nullptr;
    }

    // The stored script as text, checking its single terminating zero byte.
    std::string Script(const wchar_t* name) const {
        const auto found = values.find(name);
        if (found == values.end()) {
            return "<none>";
        }
        const std::string& bytes = found->second;
        EXPECT_FALSE(bytes.empty());
        EXPECT_EQ('\0', bytes.back());
        EXPECT_EQ(bytes.size() - 1, bytes.find('\0'));
        return bytes.substr(0, bytes.size() - 1);
    }
};

}  // namespace VrxTest
