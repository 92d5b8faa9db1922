#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "src/common/vrxrunonce/FilterLevel.h"
#include "src/common/vrxrunonce/VrxRunOnce.h"
#include "tests/support/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Registry.h"
#include "tests/support/SettingsStore.h"
#include "tests/support/SettingsLibraryTest.h"
#include "tests/support/Signing.h"

using namespace VrxTest;

namespace {

LogRecord ActionRecord(int line, const std::wstring& text) {
    return {4, L"VrxRunOnce", L"AdjustFiltLevel", line, text};
}

const LogRecord kNotLoaded = ActionRecord(300, L"AdjustFiltLevel: Failed to load Settings DLL.");
const LogRecord kNoApi = ActionRecord(307, L"AdjustFiltLevel: Failed to get Settings API.");
const LogRecord kNoRoot = ActionRecord(314, L"AdjustFiltLevel: Failed to get Settings ROOT.");
const LogRecord kNoUsers = ActionRecord(325, L"AdjustFiltLevel: Failed to get usr enum.");

LogRecord WriteFailed(const std::wstring& sid) {
    return ActionRecord(
        365, L"AdjustFiltLevel: Failed to reset aggressiveness level for user sid: " + sid);
}

// What the store records for a level lowered to 4.
std::wstring Lowered(const std::wstring& user) {
    return user + L"|UserFilteringLevel|04000000;";
}

class AdjustFiltLevelTest : public SettingsLibraryTest {
protected:
    std::vector<LogRecord> Run() {
        return RunWithTestValidator(&VrxRunOnce::LowerFilteringLevelOfFriendlessUsers);
    }
};

}  // namespace

TEST_F(AdjustFiltLevelTest, OnlyFriendlessUsersAtLevelFiveAreLoweredToFour) {
    const std::string five = DwordHex(5);
    Install(StoreUser("alone", L"S-1-5-21-1", five.c_str()) +
            // An empty friends list, and friends whose names read as empty (empty text, an odd
            // byte count, no name at all): none of them counts as a friend.
            StoreUser("emptyList", L"S-1-5-21-2", five.c_str()) +
            StoreNode("emptyList\\UserFriendsNew") +
            StoreUser("nameless", L"S-1-5-21-3", five.c_str()) +
            StoreNode("nameless\\UserFriendsNew") + StoreNode("nameless\\UserFriendsNew\\a") +
            StoreValue("nameless\\UserFriendsNew\\a", "_SETTINGS_NAME", TextHex(L"")) +
            StoreNode("nameless\\UserFriendsNew\\b") +
            StoreValue("nameless\\UserFriendsNew\\b", "_SETTINGS_NAME", "410042") +
            StoreNode("nameless\\UserFriendsNew\\c") +
            // One named friend, after a nameless one, keeps the level.
            StoreUser("friendly", L"S-1-5-21-4", five.c_str()) +
            StoreNode("friendly\\UserFriendsNew") + StoreNode("friendly\\UserFriendsNew\\a") +
            StoreNode("friendly\\UserFriendsNew\\b") +
            StoreValue("friendly\\UserFriendsNew\\b", "_SETTINGS_NAME", TextHex(L"S-1-5-21-9")) +
            // Other levels, and levels that cannot be read (counted as 3), are left alone.
            StoreUser("four", L"S-1-5-21-5", DwordHex(4).c_str()) +
            StoreUser("three", L"S-1-5-21-6", DwordHex(3).c_str()) +
            StoreUser("noLevel", L"S-1-5-21-7", nullptr) +
            StoreUser("longLevel", L"S-1-5-21-8", "0500000000000000") +
            StoreUser("emptyLevel", L"S-1-5-21-10", ""));

    EXPECT_EQ(std::vector<LogRecord>{}, Run());
    EXPECT_EQ(Lowered(L"alone") + Lowered(L"emptyList") + Lowered(L"nameless"), SettingsWrites());
    EXPECT_EQ(L"0", SettingsObjectsLive()) << "every node and enumerator is given back";
    const std::string stored = ReadTextFile(StorePath());
    EXPECT_NE(std::string::npos,
              stored.find(StoreValue("alone", "UserFilteringLevel", DwordHex(4))));
    EXPECT_NE(std::string::npos,
              stored.find(StoreValue("friendly", "UserFilteringLevel", DwordHex(5))));

    // A second run finds nobody left to lower.
    ClearSettingsStandInRecords();
    EXPECT_EQ(std::vector<LogRecord>{}, Run());
    EXPECT_EQ(L"", SettingsWrites());
    EXPECT_EQ(stored, ReadTextFile(StorePath()));
}

TEST_F(AdjustFiltLevelTest, AFailedWriteIsLoggedWithTheSidAndTheWalkGoesOn) {
    const std::string five = DwordHex(5);
    Install(StoreUser("first", L"S-1-5-21-1", five.c_str()) + StoreFailure("first", "SetValue") +
            StoreUser("second", L"S-1-5-21-2", five.c_str()));
    EXPECT_EQ(std::vector<LogRecord>{WriteFailed(L"S-1-5-21-1")}, Run());
    EXPECT_EQ(Lowered(L"first") + Lowered(L"second"), SettingsWrites());
    EXPECT_EQ(L"0", SettingsObjectsLive());
}

TEST_F(AdjustFiltLevelTest, NodesTheStoreDoesNotGiveAreSkippedSilently) {
    const std::string five = DwordHex(5);
    // A user the enumerator does not give is not touched. A friend it does not give, or a
    // friends list whose children cannot be enumerated, leaves the user without friends.
    Install(
        StoreUser("hidden", L"S-1-5-21-1", five.c_str()) + StoreFailure("hidden", "Current") +
        StoreUser("hiddenFriend", L"S-1-5-21-2", five.c_str()) +
        StoreNode("hiddenFriend\\UserFriendsNew") + StoreNode("hiddenFriend\\UserFriendsNew\\a") +
        StoreValue("hiddenFriend\\UserFriendsNew\\a", "_SETTINGS_NAME", TextHex(L"S-1-5-21-9")) +
        StoreFailure("hiddenFriend\\UserFriendsNew\\a", "Current") +
        StoreUser("closedList", L"S-1-5-21-3", five.c_str()) +
        StoreNode("closedList\\UserFriendsNew") +
        StoreFailure("closedList\\UserFriendsNew", "EnumChildren") +
        StoreUser("last", L"S-1-5-21-4", five.c_str()));
    EXPECT_EQ(std::vector<LogRecord>{}, Run());
    EXPECT_EQ(Lowered(L"hiddenFriend") + Lowered(L"closedList") + Lowered(L"last"),
              SettingsWrites());
    EXPECT_EQ(L"0", SettingsObjectsLive());
}

TEST_F(AdjustFiltLevelTest, WithoutARootOrItsUsersNothingIsWritten) {
    const std::string user = StoreUser("alone", L"S-1-5-21-1", DwordHex(5).c_str());
    struct Case {
        const char* failure;
        LogRecord record;
    };
    // "RootWithFailure" hands out a root together with a failure code: it is given back too.
    for (const Case& failure : {Case{"GETSETTINGS", kNoRoot}, Case{"NullRoot", kNoRoot},
                                Case{"RootWithFailure", kNoRoot}, Case{"EnumChildren", kNoUsers}}) {
        SCOPED_TRACE(failure.failure);
        ClearSettingsStandInRecords();
        Install(StoreFailure("", failure.failure) + user);
        EXPECT_EQ(std::vector<LogRecord>{failure.record}, Run());
        EXPECT_EQ(L"", SettingsWrites());
        const std::wstring live = SettingsObjectsLive();
        EXPECT_TRUE(live.empty() || live == L"0") << "objects left: " << live;
    }
}

TEST_F(AdjustFiltLevelTest, ALibraryWithoutTheSettingsExportIsFreed) {
    // A module signed by the accepted publisher that is not a settings library.
    Install("", L"signed.dll");
    EXPECT_EQ(std::vector<LogRecord>{kNoApi}, Run());
}

TEST_F(AdjustFiltLevelTest, AnUnsignedOrMissingSettingsLibraryIsNeverLoaded) {
    const std::string store = StoreUser("alone", L"S-1-5-21-1", DwordHex(5).c_str());
    Install(store, L"settings-unsigned\\VrxSet.dll");
    EXPECT_EQ((std::vector<LogRecord>{RefusedRecord(LibraryPath()), kNotLoaded}), Run());
    EXPECT_EQ(L"", SettingsObjectsLive()) << "the store was never asked for anything";
    EXPECT_EQ(store, ReadTextFile(StorePath()));

    ASSERT_TRUE(::DeleteFileW(LibraryPath().c_str()));
    EXPECT_EQ((std::vector<LogRecord>{RefusedRecord(LibraryPath()), kNotLoaded}), Run());
}

TEST_F(AdjustFiltLevelTest, TheExportAdmitsOnlyWhatTheShippedValidationAccepts) {
    // The shipped configuration pins no certificate, and without the platform key there is no
    // validation service: even the test-signed library is refused.
    const std::string store = StoreUser("alone", L"S-1-5-21-1", DwordHex(5).c_str());
    Install(store);
    EXPECT_EQ(0, AdjustFiltLevel(nullptr, nullptr, nullptr, 0));
    EXPECT_EQ((std::vector<LogRecord>{RefusedRecord(LibraryPath()), kNotLoaded}), LogRecords());
    EXPECT_FALSE(IsModuleLoaded(LibraryPath()));
    EXPECT_EQ(store, ReadTextFile(StorePath()));
}
