#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "src/includes/VrxLoadLibrary.h"
#include "src/includes/hmodule.h"
#include "support/UniqueAny.h"
#include "tests/support/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Registry.h"
#include "tests/support/Signing.h"

using namespace VrxTest;
using Tessel::CFileValidator;

namespace {

LogRecord LoaderRecord(const std::wstring& path) {
    return {4, L"src\\includes\\VrxLoadLibrary", L"VRXLoadLibrary", 46,
            L"Unable to validate file: " + path + L" \r\n"};
}

LogRecord HolderRecord(const std::wstring& path) {
    return {4, L"src\\includes\\hmodule",
            L"CHModuleT<struct TStatBuffer<260>,struct TVRXVars>::Load", 145,
            L"Unable to validate file: " + path + L" \r\n"};
}

// No platform key: every validation is the library's own check.
class LoadersTest : public ProductRegistryTest {};

}  // namespace

TEST_F(LoadersTest, AFileSignedByTheAcceptedPublisherLoads) {
    CFileValidator validator(TestSignatureConfig());
    const std::wstring path = SigningFixture(L"signed.dll");
    const HMODULE loaded = VRXLoadLibrary(path.c_str(), validator);
    ASSERT_NE(nullptr, loaded);
    EXPECT_EQ(::GetModuleHandleW(path.c_str()), loaded);
    ::FreeLibrary(loaded);
    {
        CHModule holder(validator);
        wcscpy(holder.Path(), path.c_str());
        EXPECT_NE(nullptr, holder.Load());
        EXPECT_TRUE(IsModuleLoaded(path));
    }
    EXPECT_FALSE(IsModuleLoaded(path)) << "the holder frees its module";
    EXPECT_TRUE(LogRecords().empty());
}

TEST_F(LoadersTest, FilesWithoutAnAcceptableSignatureAreNeverLoaded) {
    CFileValidator validator(TestSignatureConfig());
    for (const wchar_t* name : {L"unsigned.dll", L"tampered.dll", L"wrong-publisher.dll",
                                L"other-ca.dll", L"untrusted-ca.dll", L"sha1-signed.dll"}) {
        SCOPED_TRACE(name);
        const std::wstring path = SigningFixture(name);
        ClearLogRecords();
        EXPECT_EQ(nullptr, VRXLoadLibrary(path.c_str(), validator));
        EXPECT_FALSE(IsModuleLoaded(path));
        EXPECT_EQ(std::vector<LogRecord>{LoaderRecord(path)}, LogRecords());

        ClearLogRecords();
        CHModule holder(validator);
        wcscpy(holder.Path(), path.c_str());
        EXPECT_EQ(nullptr, holder.Load());
        EXPECT_FALSE(IsModuleLoaded(path));
        EXPECT_EQ(std::vector<LogRecord>{HolderRecord(path)}, LogRecords());
    }
}

TEST_F(LoadersTest, AFileSomeoneHoldsOpenForWritingIsNotLoaded) {
    CFileValidator validator(TestSignatureConfig());
    ScratchFolder folder;
    const std::wstring path = folder / L"held.dll";
    CopyFileTo(SigningFixture(L"signed.dll"), path);
    {
        const Tessel::UniqueFileHandle writer(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                                            FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                            nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writer);
        EXPECT_EQ(nullptr, VRXLoadLibrary(path.c_str(), validator));
        EXPECT_FALSE(IsModuleLoaded(path));
        EXPECT_EQ(std::vector<LogRecord>{LoaderRecord(path)}, LogRecords());
    }
    const HMODULE loaded = VRXLoadLibrary(path.c_str(), validator);
    EXPECT_NE(nullptr, loaded);
    ::FreeLibrary(loaded);
}

TEST_F(LoadersTest, ARelativePathIsNotLoadedEvenWhenItsFileIsAccepted) {
    // The loader's search order could find another file of that name than the one validated.
    CFileValidator validator(TestSignatureConfig());
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(SigningFixture(L"").c_str()));
    EXPECT_EQ(0u, validator.ValidateFile(L"signed.dll"));
    EXPECT_EQ(nullptr, VRXLoadLibrary(L"signed.dll", validator));
    CHModule holder(validator);
    wcscpy(holder.Path(), L"signed.dll");
    EXPECT_EQ(nullptr, holder.Load());
    ::SetCurrentDirectoryW(previous);
    EXPECT_FALSE(IsModuleLoaded(SigningFixture(L"signed.dll")));
    EXPECT_EQ((std::vector<LogRecord>{LoaderRecord(L"signed.dll"), HolderRecord(L"signed.dll")}),
              LogRecords());
}

TEST_F(LoadersTest, TheSignerRulesEachRefuseOnTheirOwn) {
    // The same file that passes with the test configuration fails when any one rule changes.
    const std::wstring path = SigningFixture(L"signed.dll");
    EXPECT_TRUE(Tessel::IsSignedByAcceptedPublisher(path.c_str(), TestSignatureConfig()));
    Tessel::SignatureConfig config = TestSignatureConfig();
    config.publisherNames = {L"VrxRO Test Signing Ltd"};
    EXPECT_FALSE(Tessel::IsSignedByAcceptedPublisher(path.c_str(), config));
    config = TestSignatureConfig();
    config.digestAlgorithms = {"2.16.840.1.101.3.4.2.3"};
    EXPECT_FALSE(Tessel::IsSignedByAcceptedPublisher(path.c_str(), config));
    config = TestSignatureConfig();
    config.acceptedCertificates.erase(config.acceptedCertificates.begin());
    EXPECT_FALSE(Tessel::IsSignedByAcceptedPublisher(path.c_str(), config));
    // The shipped configuration pins no certificate yet, so it accepts nothing.
    EXPECT_FALSE(
        Tessel::IsSignedByAcceptedPublisher(path.c_str(), Tessel::ProductionSignatureConfig()));
}

TEST_F(LoadersTest, TheTrustedListAcceptsTheFilesItNames) {
    const std::wstring listed = SigningFixture(L"listed.dll");
    {
        CFileValidator validator(TestSignatureConfig());
        EXPECT_EQ(0u, validator.ValidateFile(listed.c_str()));
        // Loaded now: the next check answers from the list without looking at signatures.
        EXPECT_EQ(0u, validator.ValidateFile(listed.c_str()));
        EXPECT_EQ(5u, validator.ValidateFile(SigningFixture(L"unsigned.dll").c_str()));
        EXPECT_EQ(0u, validator.ValidateFile(SigningFixture(L"signed.dll").c_str()));
    }
    for (const wchar_t* list : {L"trusted-wrong-publisher.js", L"missing.js", L"listed.dll"}) {
        SCOPED_TRACE(list);
        Tessel::SignatureConfig config = TestSignatureConfig();
        config.trustedListPath = SigningFixture(list);
        CFileValidator validator(config);
        EXPECT_EQ(5u, validator.ValidateFile(listed.c_str()));
    }
}

TEST_F(LoadersTest, ACabinetIsAcceptedWhenTheListNamesEveryFileInIt) {
    CFileValidator validator(TestSignatureConfig());
    EXPECT_EQ(0u, validator.ValidateFile(SigningFixture(L"listed.cab").c_str()));
    EXPECT_EQ(5u, validator.ValidateFile(SigningFixture(L"mixed.cab").c_str()));
    // The extension is compared without regard to case; a module merely named like a cabinet
    // is not one.
    ScratchFolder folder;
    CopyFileTo(SigningFixture(L"listed.cab"), folder / L"Listed.CAB");
    EXPECT_EQ(0u, validator.ValidateFile((folder / L"Listed.CAB").c_str()));
    CopyFileTo(SigningFixture(L"unsigned.dll"), folder / L"unsigned.cab");
    EXPECT_EQ(5u, validator.ValidateFile((folder / L"unsigned.cab").c_str()));
}

TEST_F(LoadersTest, NullOrEmptyPathsAreInvalid) {
    CFileValidator validator(TestSignatureConfig());
    EXPECT_EQ(87u, validator.ValidateFile(nullptr));
    EXPECT_EQ(87u, validator.ValidateFile(L""));
    EXPECT_EQ(nullptr, VRXLoadLibrary(L"", validator));
    EXPECT_EQ(std::vector<LogRecord>{LoaderRecord(L"")}, LogRecords());
}

TEST_F(LoadersTest, TheProcessValidatorRefusesUnsignedFiles) {
    const std::wstring path = SigningFixture(L"unsigned.dll");
    EXPECT_EQ(5u, ValidateFile(path.c_str()));
    ReleaseValidationService();
    EXPECT_EQ(nullptr, VRXLoadLibrary(path.c_str()));
    CHModule holder;
    wcscpy(holder.Path(), path.c_str());
    EXPECT_EQ(nullptr, holder.Load());
    EXPECT_FALSE(IsModuleLoaded(path));
    EXPECT_EQ((std::vector<LogRecord>{LoaderRecord(path), HolderRecord(path)}), LogRecords());
}
