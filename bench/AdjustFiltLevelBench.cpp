// AdjustFiltLevel over a store of users, against the stand-in store's own walk of the same users.
//   vrx_bench_adjustfiltlevel <users> [runs]
// A third of the users are at level 5 without friends (lowered to 4), a third at level 5 with two
// friends, a third at level 3. The floor loads the stand-in without validation and does the same
// reads and writes through its interface; the action validates it with the test signature
// configuration. Milliseconds per run, side by side, and the ratio of the medians.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "SettingsBench.h"
#include "Stats.h"
#include "src/common/vrxrunonce/FilterLevel.h"
#include "src/includes/VrxSettings.h"
#include "support/FileValidator.h"
#include "support/UniqueAny.h"

namespace {

constexpr const wchar_t* kName = L"_SETTINGS_NAME";
constexpr const wchar_t* kLevel = L"UserFilteringLevel";
constexpr const wchar_t* kFriends = L"UserFriendsNew";

std::string UserLines(int user) {
    const std::string path = "user" + std::to_string(user);
    std::string lines =
        VrxBench::StoreNode(path) +
        VrxBench::StoreText(path, "_SETTINGS_NAME", L"S-1-5-21-" + std::to_wstring(user)) +
        VrxBench::StoreDword(path, "UserFilteringLevel", user % 3 == 2 ? 3 : 5);
    if (user % 3 == 1) {
        const std::string friends = path + "\\UserFriendsNew";
        lines += VrxBench::StoreNode(friends);
        for (const char* buddy : {"a", "b"}) {
            const std::string node = friends + "\\" + buddy;
            lines +=
                VrxBench::StoreNode(node) +
                VrxBench::StoreText(node, "_SETTINGS_NAME", L"S-1-5-21-9" + std::to_wstring(user));
        }
    }
    return lines;
}

// Whether any friend of the user has a name, read as the action reads it.
bool HasNamedFriend(SettingsNode* user) {
    UniqueSettingsNode list;
    UniqueSettingsEnumerator friends;
    if (user->OpenChild(kFriends, list.put()) != ERROR_SUCCESS || !list ||
        list.get()->EnumChildren(friends.put()) != ERROR_SUCCESS) {
        return false;
    }
    bool named = false;
    for (friends.get()->Reset(); friends.get()->AtEnd() == 0; friends.get()->Next()) {
        UniqueSettingsNode buddy;
        wchar_t name[128] = {};
        DWORD bytes = sizeof(name);
        friends.get()->Current(buddy.put());
        named =
            (buddy.get()->GetValue(kName, name, &bytes) == ERROR_SUCCESS && name[0] != 0) || named;
    }
    return named;
}

// The same reads and writes as the action, straight through the store's interface.
void WalkStore(const VrxBench::SettingsInstall& install) {
    const Tessel::UniqueHModule library(::LoadLibraryW(install.LibraryPath().c_str()));
    const auto getSettings = reinterpret_cast<GetSettingsFn>(
        reinterpret_cast<void*>(::GetProcAddress(library.get(), kGetSettingsExport)));
    UniqueSettingsNode root;
    UniqueSettingsEnumerator users;
    if (getSettings == nullptr || getSettings(root.put()) != ERROR_SUCCESS ||
        root.get()->EnumChildren(users.put()) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot walk the store\n");
        std::exit(1);
    }
    for (users.get()->Reset(); users.get()->AtEnd() == 0; users.get()->Next()) {
        UniqueSettingsNode user;
        users.get()->Current(user.put());
        wchar_t sid[128] = {};
        DWORD bytes = sizeof(sid);
        user.get()->GetValue(kName, sid, &bytes);
        DWORD level = 3;
        bytes = sizeof(level);
        user.get()->GetValue(kLevel, &level, &bytes);
        if (!HasNamedFriend(user.get()) && level == 5) {
            const DWORD lowered = 4;
            user.get()->SetValue(kLevel, &lowered, sizeof(lowered), 0);
        }
    }
    users.reset();
    root.reset();  // the stand-in writes its file here
}

void AdjustWithTestValidator(const VrxBench::SettingsInstall& install) {
    Tessel::CFileValidator validator(install.TestSignatureConfig());
    VrxRunOnce::LowerFilteringLevelOfFriendlessUsers(validator);
}

// The users the store now holds at level 4: a third of them, or the run did not do its work.
int LoweredUsers(const VrxBench::SettingsInstall& install) {
    return install.CountInStore("|UserFilteringLevel|04000000");
}

template <typename Run>
double TimedMs(const VrxBench::SettingsInstall& install, int users, Run run) {
    install.WriteStore(users, &UserLines);
    const LARGE_INTEGER start = VrxBench::Now();
    run();
    const double ms = VrxBench::Seconds(start, VrxBench::Now()) * 1000.0;
    if (LoweredUsers(install) != (users + 2) / 3) {
        std::fprintf(stderr, "the run did not lower every friendless user at level 5\n");
        std::exit(1);
    }
    return ms;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int users = argc > 1 ? _wtoi(argv[1]) : 10000;
    const int runs = argc > 2 ? _wtoi(argv[2]) : 5;
    const VrxBench::SettingsInstall install;
    if (!install.ok()) {
        return 1;
    }
    std::printf("AdjustFiltLevel: %d users\n", users);
    std::vector<double> walk;
    std::vector<double> action;
    for (int run = 0; run < runs; ++run) {
        walk.push_back(TimedMs(install, users, [&] { WalkStore(install); }));
        action.push_back(TimedMs(install, users, [&] { AdjustWithTestValidator(install); }));
    }
    const double floor = VrxBench::Summarise("store's own walk", walk, "ms");
    const double subject = VrxBench::Summarise("AdjustFiltLevel", action, "ms");
    VrxBench::PrintRatio("AdjustFiltLevel", subject / floor, "<= 1.1x");
    return 0;
}
