#include "SettingsReads.h"

#include <cwchar>
#include <vector>

namespace VrxRunOnce {

std::wstring ReadSettingString(SettingsNode* node, const wchar_t* name) {
    if (node == nullptr) {
        return std::wstring();
    }
    // The first call asks only for the size.
    DWORD bytes = 0;
    if (node->GetValue(name, nullptr, &bytes) != ERROR_MORE_DATA || bytes == 0 ||
        bytes % sizeof(wchar_t) != 0) {
        return std::wstring();
    }
    // One character more than the value holds, so that the text is terminated whatever the store
    // copies in.
    const size_t room = bytes / sizeof(wchar_t);
    std::vector<wchar_t> text(room + 1, L'\0');
    DWORD copied = bytes;
    if (node->GetValue(name, text.data(), &copied) != ERROR_SUCCESS || copied == 0) {
        text[0] = L'\0';
    }
    text[room] = L'\0';
    return std::wstring(text.data(), std::wcslen(text.data()));
}

DWORD ReadSettingDword(SettingsNode* node, const wchar_t* name, DWORD fallback) {
    if (node == nullptr) {
        return fallback;
    }
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (node->GetValue(name, &value, &bytes) == ERROR_SUCCESS && bytes != 0) {
        return value;
    }
    return fallback;
}

UniqueSettingsNode OpenSettingChild(SettingsNode* node, const wchar_t* name) {
    UniqueSettingsNode child;
    if (node != nullptr) {
        // The store's answer is not examined: a child it hands out is the caller's either way.
        node->OpenChild(name, child.put());
    }
    return child;
}

UniqueSettingsEnumerator EnumSettingChildren(SettingsNode* node) {
    UniqueSettingsEnumerator children;
    if (node != nullptr && node->EnumChildren(children.put()) != ERROR_SUCCESS) {
        // A failed call hands nothing out.
        children.release();
    }
    return children;
}

}  // namespace VrxRunOnce
