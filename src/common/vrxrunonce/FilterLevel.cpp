// AdjustFiltLevel: lowers the spam filter's aggressiveness from level 5 to level 4 for every user
// of the settings store who has no friends.
#include "FilterLevel.h"

#include <windows.h>

#include <string>

#include "ActionLog.h"
#include "ProductLocations.h"
#include "SettingsReads.h"
#include "VrxRunOnce.h"
#include "../../../support/UniqueAny.h"
#include "../../includes/VrxLoadLibrary.h"
#include "../../includes/VrxSettings.h"

namespace {

using ETWLogging::kSeverityError;
using VrxRunOnce::EnumSettingChildren;
using VrxRunOnce::LogAction;
using VrxRunOnce::OpenSettingChild;
using VrxRunOnce::ReadSettingDword;
using VrxRunOnce::ReadSettingString;

constexpr const wchar_t* kAction = L"AdjustFiltLevel";
constexpr const wchar_t* kSettingsLibrary = L"VrxSet.dll";

constexpr const wchar_t* kNameValue = L"_SETTINGS_NAME";
constexpr const wchar_t* kLevelValue = L"UserFilteringLevel";
constexpr const wchar_t* kFriendsChild = L"UserFriendsNew";

// A user without a readable level counts as level 3, which is never changed.
constexpr DWORD kDefaultLevel = 3;
constexpr DWORD kLoweredFrom = 5;
constexpr DWORD kLoweredTo = 4;

// The names of the user's friends, run together: empty when the user has no friends list, its
// children cannot be enumerated, or no friend has a readable name.
std::wstring FriendNames(SettingsNode* user) {
    std::wstring names;
    const UniqueSettingsNode list = OpenSettingChild(user, kFriendsChild);
    const UniqueSettingsEnumerator friends = EnumSettingChildren(list.get());
    if (!friends) {
        return names;
    }
    SettingsEnumerator& walk = *friends.get();
    walk.Reset();
    while (walk.AtEnd() == 0) {
        // A friend node the store does not give does not count.
        UniqueSettingsNode buddy;
        if (walk.Current(buddy.put()) == ERROR_SUCCESS) {
            names += ReadSettingString(buddy.get(), kNameValue);
        }
        buddy.reset();
        walk.Next();
    }
    return names;
}

void AdjustUser(SettingsNode* user) {
    const std::wstring sid = ReadSettingString(user, kNameValue);
    const DWORD level = ReadSettingDword(user, kLevelValue, kDefaultLevel);
    const std::wstring friends = FriendNames(user);
    if (level != kLoweredFrom || !friends.empty()) {
        return;
    }
    const DWORD lowered = kLoweredTo;
    if (user->SetValue(kLevelValue, &lowered, sizeof(lowered), 0) != ERROR_SUCCESS) {
        LogAction(kSeverityError, kAction, 365,
                  L"AdjustFiltLevel: Failed to reset aggressiveness level for user sid: %s",
                  sid.c_str());
    }
}

}  // namespace

namespace VrxRunOnce {

void LowerFilteringLevelOfFriendlessUsers(Tessel::CFileValidator& validator) {
    wchar_t installDir[MAX_PATH] = {};
    if (!GetVRXInstallPath(installDir, MAX_PATH)) {
        LogAction(kSeverityError, kAction, 289,
                  L"AdjustFiltLevel: GetVRXInstallPath returned false.");
        return;
    }
    const std::wstring path = std::wstring(installDir) + L"\\" + kSettingsLibrary;

    // Declared in the order of acquisition, so that they are given back in the reverse order: the
    // enumerator and the root before the library that implements them.
    const Tessel::UniqueHModule library(VRXLoadLibrary(path.c_str(), validator));
    if (!library) {
        LogAction(kSeverityError, kAction, 300, L"AdjustFiltLevel: Failed to load Settings DLL.");
        return;
    }
    const auto getSettings = reinterpret_cast<GetSettingsFn>(
        reinterpret_cast<void*>(::GetProcAddress(library.get(), kGetSettingsExport)));
    if (getSettings == nullptr) {
        LogAction(kSeverityError, kAction, 307, L"AdjustFiltLevel: Failed to get Settings API.");
        return;
    }
    // A root handed out with a failure code is still given back.
    UniqueSettingsNode root;
    if (getSettings(root.put()) != ERROR_SUCCESS || !root) {
        LogAction(kSeverityError, kAction, 314, L"AdjustFiltLevel: Failed to get Settings ROOT.");
        return;
    }
    const UniqueSettingsEnumerator users = EnumSettingChildren(root.get());
    if (!users) {
        LogAction(kSeverityError, kAction, 325, L"AdjustFiltLevel: Failed to get usr enum.");
        return;
    }

    SettingsEnumerator& walk = *users.get();
    walk.Reset();
    while (walk.AtEnd() == 0) {
        // A user node the store does not give is skipped.
        UniqueSettingsNode user;
        if (walk.Current(user.put()) == ERROR_SUCCESS && user) {
            AdjustUser(user.get());
        }
        user.reset();
        walk.Next();
    }
}

}  // namespace VrxRunOnce

extern "C" int CALLBACK AdjustFiltLevel(HWND, HINSTANCE, LPSTR, int) {
    VrxRunOnce::LowerFilteringLevelOfFriendlessUsers(Tessel::GetFileValidator());
    return 0;
}
