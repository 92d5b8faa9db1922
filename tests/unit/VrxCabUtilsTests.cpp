#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/common/vrxrunonce/VrxCabUtils.h"
#include "support/CabinetDigests.h"
#include "tests/support/Files.h"
#include "tests/support/Links.h"
#include "tests/support/LogCapture.h"

using namespace VrxTest;

namespace {

class VrxCabUtilsTest : public ::testing::Test {
protected:
    void SetUp() override { ClearLogRecords(); }

    static LogRecord CabRecord(int line, const std::wstring& text) {
        return {4, L"src\\common\\vrxrunonce\\VrxCabUtils", L"VRXUtils::ExtractCabFile", line,
                text};
    }

    ScratchFolder scratch;
};

}  // namespace

TEST_F(VrxCabUtilsTest, ExtractsEveryFileWithItsFolders) {
    EXPECT_TRUE(
        VRXUtils::ExtractCabFile(FixturePath(L"content.cab").c_str(), scratch.Path().c_str()));
    EXPECT_EQ("version=5\nrules=42\n", ReadTextFile(scratch / L"content.ini"));
    EXPECT_TRUE(FileExists(scratch / L"Config\\reputation.txt"));
    EXPECT_TRUE(FileExists(scratch / L"Config\\phrases.txt"));
    EXPECT_TRUE(LogRecords().empty());
}

TEST_F(VrxCabUtilsTest, MissingDestinationOrAFolderInTheWayFailsTheExtraction) {
    const std::wstring cab = FixturePath(L"content.cab");
    const std::wstring nowhere = scratch / L"missing\\folder";
    EXPECT_FALSE(VRXUtils::ExtractCabFile(cab.c_str(), nowhere.c_str()));

    MakeFolder(scratch / L"content.ini");
    EXPECT_FALSE(VRXUtils::ExtractCabFile(cab.c_str(), scratch.Path().c_str()));

    const std::wstring missingCab = scratch / L"missing.cab";
    EXPECT_FALSE(VRXUtils::ExtractCabFile(missingCab.c_str(), scratch.Path().c_str()));

    EXPECT_EQ((std::vector<LogRecord>{CabRecord(60, L"ExtractCabFile: fail cab extraction from " +
                                                        cab + L" to " + nowhere),
                                      CabRecord(60, L"ExtractCabFile: fail cab extraction from " +
                                                        cab + L" to " + scratch.Path()),
                                      CabRecord(60, L"ExtractCabFile: fail cab extraction from " +
                                                        missingCab + L" to " + scratch.Path())}),
              LogRecords());
}

TEST_F(VrxCabUtilsTest, DamagedCabinetFailsTheExtraction) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine's advpack reports success for a damaged cabinet";
    }
    const std::wstring damaged = FixturePath(L"damaged.cab");
    EXPECT_FALSE(VRXUtils::ExtractCabFile(damaged.c_str(), scratch.Path().c_str()));
    EXPECT_EQ(std::vector<LogRecord>{CabRecord(60, L"ExtractCabFile: fail cab extraction from " +
                                                       damaged + L" to " + scratch.Path())},
              LogRecords());
}

TEST_F(VrxCabUtilsTest, ACabinetWhoseMembersLieInNoFolderIsRefusedBeforeItsData) {
    // The header's folder count (offset 26) set to 0: the member's folder is gone. The platform's
    // cabinet interface has been seen to crash on such a cabinet when asked for the member.
    std::string bytes = ReadTextFile(FixturePath(L"content-stored.cab"));
    ASSERT_GT(bytes.size(), 28u);
    bytes[26] = bytes[27] = '\0';
    const std::wstring cab = scratch / L"no-folder.cab";
    WriteTextFile(cab, bytes);
    std::vector<std::wstring> names;
    EXPECT_FALSE(Tessel::ListCabinetMembers(cab.c_str(), names));
    std::vector<Tessel::Sha256Digest> digests;
    EXPECT_FALSE(Tessel::DigestCabinetMembers(cab.c_str(), digests));
    const std::wstring destination = scratch / L"unpacked";
    MakeFolder(destination);
    EXPECT_FALSE(VRXUtils::ExtractCabFile(cab.c_str(), destination.c_str()));
    EXPECT_EQ(std::vector<LogRecord>{CabRecord(
                  60, L"ExtractCabFile: fail cab extraction from " + cab + L" to " + destination)},
              LogRecords());
}

TEST_F(VrxCabUtilsTest, PathsThatDoNotConvertToAnsiAreRefused) {
    const std::wstring cab = FixturePath(L"content.cab");
    // 260 bytes with the terminator do not fit the conversion buffer.
    const std::wstring tooLong = L"C:\\" + std::wstring(257, L'd');
    EXPECT_FALSE(VRXUtils::ExtractCabFile(cab.c_str(), tooLong.c_str()));
    EXPECT_FALSE(VRXUtils::ExtractCabFile(tooLong.c_str(), scratch.Path().c_str()));

    // A character the ANSI code page lacks would otherwise turn into '?' or a look-alike.
    const std::wstring foreign = scratch / L"\x0416\x4E2D\x05D0";
    MakeFolder(foreign);
    EXPECT_FALSE(VRXUtils::ExtractCabFile(cab.c_str(), foreign.c_str()));
    EXPECT_FALSE(FileExists(foreign + L"\\content.ini"));

    EXPECT_EQ(std::vector<LogRecord>(3, CabRecord(54, L"ExtractCabFile: fail to convert strings")),
              LogRecords());
}

TEST_F(VrxCabUtilsTest, RemoveFolderTreeDeletesNestedFoldersAndKeepsWhatCannotBeDeleted) {
    const std::wstring root = scratch / L"Config";
    MakeFolder(root + L"\\a\\b\\c");
    WriteTextFile(root + L"\\top.txt", "1");
    WriteTextFile(root + L"\\a\\b\\mid.txt", "2");
    WriteTextFile(root + L"\\a\\b\\c\\deep.txt", "3");
    EXPECT_TRUE(VRXUtils::RemoveFolderTree(root.c_str()));
    EXPECT_FALSE(FolderExists(root));

    MakeFolder(root + L"\\a");
    WriteTextFile(root + L"\\a\\locked.txt", "4");
    WriteTextFile(root + L"\\free.txt", "5");
    ASSERT_TRUE(::SetFileAttributesW((root + L"\\a\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(VRXUtils::RemoveFolderTree(root.c_str()));
    EXPECT_TRUE(FileExists(root + L"\\a\\locked.txt"));

    EXPECT_FALSE(VRXUtils::RemoveFolderTree(nullptr));
    EXPECT_FALSE(VRXUtils::RemoveFolderTree((scratch / L"never-made").c_str()));
}

TEST_F(VrxCabUtilsTest, RemoveFolderTreeRemovesLinksWithoutEnteringThem) {
    const std::wstring outside = scratch / L"outside";
    MakeFolder(outside);
    WriteTextFile(outside + L"\\precious.txt", "keep me");
    const std::wstring root = scratch / L"Config";
    MakeFolder(root);
    const ScopedLink inner(root + L"\\link", outside);
    ASSERT_TRUE(inner.Made());
    // Windows removes the links as links; Wine's RemoveDirectoryW cannot remove a Unix link, so
    // there the link, and with it the folder, stays. What the link points to stays either way.
    const bool removed = VRXUtils::RemoveFolderTree(root.c_str());
    EXPECT_EQ(removed, !RunningUnderWine());
    // The folder to remove is itself a link.
    const std::wstring top = scratch / L"TopLink";
    const ScopedLink topLink(top, outside);
    ASSERT_TRUE(topLink.Made());
    VRXUtils::RemoveFolderTree(top.c_str());
    EXPECT_EQ("keep me", ReadTextFile(outside + L"\\precious.txt"));
}

TEST(CabinetMemberNames, OnlyRelativeNamesInsideTheFolderPass) {
    const struct {
        const wchar_t* name;
        bool contained;
    } cases[] = {
        {L"content.ini", true},
        {L"Config\\phrases.txt", true},
        {L"a/b.txt", true},
        {L"comics.txt", true},
        {L"", false},
        {L"..\\x.txt", false},
        {L"Config\\..\\..\\x", false},
        {L"x..", false},
        {L"\\x.txt", false},
        {L"/x.txt", false},
        {L"\\\\server\\x", false},
        {L"C:\\x.txt", false},
        {L"C:x.txt", false},
        {L"x.txt:stream", false},
        {L"COM1.txt", false},
        {L"Config\\nul", false},
        {L"con .txt", false},
        {L"LPT9", false},
        {L"COM\u00B9.txt", false},
        {L"Config\\lpt\u00B3", false},
        {L"COM\u00BD.txt", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.contained, VRXUtils::IsContainedMemberName(c.name))
            << testing::PrintToString(std::wstring(c.name));
    }
    // Windows-1252 lacks full-width characters: the full stops and the backslash would reach the
    // unpacker as "..\".
    if (::GetACP() == 1252) {
        EXPECT_FALSE(VRXUtils::IsContainedMemberName(L"\uFF0E\uFF0E\uFF3Cx.txt"));
        EXPECT_TRUE(VRXUtils::IsContainedMemberName(L"Konfiguration\\\u00DCbersicht.txt"));
    }
}
