// AdjustFiltLevel: lowers the spam filter's aggressiveness from level 5 to level 4 for every user
// of the settings store who has no friends.
#include "FilterLevel.h"

#include <windows.h>

#include <string>

#include "ActionLog.h"
#include "SettingsReads.h"
#include "VrxRunOnce.h"
#include "../../../support/UniqueAny.h"
#include "../../includes/VrxSettings.h"

namespace {

using ETWLogging::kSeverityError;
using VrxRunOnce::EnumSettingChildren;
using VrxRunOnce::ForEachSettingChild;
using VrxRunOnce::LogAction;
using VrxRunOnce::OpenSettingChild;
using VrxRunOnce::ReadSettingDword;
using VrxRunOnce::ReadSettingString;

constexpr const wchar_t* kAction = L"AdjustFiltLevel";

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
    ForEachSettingChild(*friends.get(), [&names](SettingsNode* buddy) {
        names += ReadSettingString(buddy, kNameValue);
    });
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
    SettingsUsers store;
    if (OpenSettingsUsers(kAction, {289, 300, 307, 314, 325}, validator, store)) {
        ForEachSettingChild(*store.users.get(), &AdjustUser);
    }
}

}  // namespace VrxRunOnce

extern "C" int CALLBACK AdjustFiltLevel(HWND, HINSTANCE, LPSTR, int) {
    VrxRunOnce::LowerFilteringLevelOfFriendlessUsers(Tessel::GetFileValidator());
    return 0;
}
