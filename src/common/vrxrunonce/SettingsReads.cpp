#include "SettingsReads.h"

#include <cwchar>
#include <vector>

#include "ActionLog.h"
#include "ProductLocations.h"
#include "../../includes/VrxLoadLibrary.h"

namespace VrxRunOnce {

namespace {
constexpr const wchar_t* kSettingsLibrary = L"VrxSet.dll";
}  // namespace

bool OpenSettingsUsers(const wchar_t* action, const SettingsOpenLines& lines,
                       Tessel::CFileValidator& validator, SettingsUsers& opened) {
    using ETWLogging::kSeverityError;
    wchar_t installDir[MAX_PATH] = {};
    if (!GetVRXInstallPath(installDir, MAX_PATH)) {
        LogAction(kSeverityError, action, lines.installPath,
                  L"%s: GetVRXInstallPath returned false.", action);
        return false;
    }
    const std::wstring path = std::wstring(installDir) + L"\\" + kSettingsLibrary;
    opened.library.reset(VRXLoadLibrary(path.c_str(), validator));
    if (!opened.library) {
        LogAction(kSeverityError, action, lines.library, L"%s: Failed to load Settings DLL.",
                  action);
        return false;
    }
    const auto getSettings = reinterpret_cast<GetSettingsFn>(
        reinterpret_cast<void*>(::GetProcAddress(opened.library.get(), kGetSettingsExport)));
    if (getSettings == nullptr) {
        LogAction(kSeverityError, action, lines.api, L"%s: Failed to get Settings API.", action);
        return false;
    }
    // A root handed out with a failure code is still given back.
    if (getSettings(opened.root.put()) != ERROR_SUCCESS || !opened.root) {
        LogAction(kSeverityError, action, lines.root, L"%s: Failed to get Settings ROOT.", action);
        return false;
    }
    opened.users = EnumSettingChildren(opened.root.get());
    if (!opened.users) {
        LogAction(kSeverityError, action, lines.users, L"%s: Failed to get usr enum.", action);
        return false;
    }
    return true;
}

void ForEachSettingChild(SettingsEnumerator& children,
                         const std::function<void(SettingsNode* child)>& visit) {
    children.Reset();
    while (children.AtEnd() == 0) {
        UniqueSettingsNode child;
        if (children.Current(child.put()) == ERROR_SUCCESS && child) {
            visit(child.get());
        }
        child.reset();
        children.Next();
    }
}

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
