#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "src/includes/VrxLoadLibrary.h"
#include "src/includes/hmodule.h"
#include "support/UniqueAny.h"
#include "tests/support/Files.h"
#include "tests/support/Links.h"
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

// Whether a loaded module's headers name a certificate table: those of the signed sample do, those
// of its unsigned copy do not.
bool IsSignedImage(HMODULE module) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    return nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size != 0;
}

}  // namespace

TEST_F(LoadersTest, AFileSignedByTheAcceptedPublisherLoads) {
    // A configuration libcrypto would read keeps only the null provider, so that no digest
    // works: the signed file still loads because the library never reads one.
    ScratchFolder scratch;
    WriteTextFile(scratch / L"hostile.cnf",
                  "openssl_conf = init\n[init]\nproviders = providers\n"
                  "[providers]\nnull = null\n[null]\nactivate = 1\n");
    const ScopedEnvironmentVariable conf(L"OPENSSL_CONF", (scratch / L"hostile.cnf").c_str());
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
    // transplanted.dll carries the accepted publisher's signature with its own digest put into
    // the signed content; second-signer.dll, signed by another publisher, has the accepted
    // publisher's signer (of the same content) copied in.
    for (const wchar_t* name :
         {L"unsigned.dll", L"tampered.dll", L"wrong-publisher.dll", L"other-ca.dll",
          L"untrusted-ca.dll", L"sha1-signed.dll", L"transplanted.dll", L"second-signer.dll"}) {
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

TEST_F(LoadersTest, APathThroughALinkIsNotLoaded) {
    CFileValidator validator(TestSignatureConfig());
    ScratchFolder scratch;
    std::wstring signing = SigningFixture(L"");
    signing.pop_back();
    const ScopedLink folderLink(scratch / L"link", signing);
    ASSERT_TRUE(folderLink.Made());
    std::vector<std::wstring> paths = {scratch / L"link" + L"\\signed.dll"};
    // A link to a file, where the platform makes one (Wine 8.0 does not).
    const std::wstring fileLink = scratch / L"signed.dll";
    ::CreateSymbolicLinkW(fileLink.c_str(), SigningFixture(L"signed.dll").c_str(), 0);
    if (FileExists(fileLink)) {
        paths.push_back(fileLink);
    }
    for (const std::wstring& path : paths) {
        SCOPED_TRACE(path);
        ClearLogRecords();
        EXPECT_EQ(nullptr, VRXLoadLibrary(path.c_str(), validator));
        CHModule holder(validator);
        wcscpy(holder.Path(), path.c_str());
        EXPECT_EQ(nullptr, holder.Load());
        EXPECT_EQ((std::vector<LogRecord>{LoaderRecord(path), HolderRecord(path)}), LogRecords());
    }
    EXPECT_FALSE(IsModuleLoaded(SigningFixture(L"signed.dll")));
}

TEST_F(LoadersTest, AFolderSwappedDuringLoadsNeverLetsTheOtherFileIn) {
    // Another thread keeps exchanging the folder of the signed sample with one that holds an
    // unsigned copy under the same name.
    CFileValidator validator(TestSignatureConfig());
    ScratchFolder scratch;
    const std::wstring lib = scratch / L"lib";
    const std::wstring other = scratch / L"other";
    const std::wstring spare = scratch / L"spare";
    MakeFolder(lib);
    MakeFolder(other);
    CopyFileTo(SigningFixture(L"signed.dll"), lib + L"\\sample.dll");
    CopyFileTo(SigningFixture(L"unsigned.dll"), other + L"\\sample.dll");
    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        while (!stop) {
            if (::MoveFileExW(lib.c_str(), spare.c_str(), 0)) {
                ::MoveFileExW(other.c_str(), lib.c_str(), 0);
                ::MoveFileExW(spare.c_str(), other.c_str(), 0);
                ++swaps;
            }
            ::Sleep(1);
        }
    });
    const std::wstring path = lib + L"\\sample.dll";
    for (int i = 0; i < 40; ++i) {
        if (const HMODULE loaded = VRXLoadLibrary(path.c_str(), validator)) {
            EXPECT_TRUE(IsSignedImage(loaded)) << "load " << i;
            ::FreeLibrary(loaded);
        }
    }
    stop = true;
    swapper.join();
    EXPECT_GT(swaps.load(), 0);
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
    // The tests' build is configured without accepted signers, as a build is by default: its
    // shipped configuration names no publisher, pins no certificate and accepts nothing.
    EXPECT_TRUE(Tessel::ProductionSignatureConfig().publisherNames.empty());
    EXPECT_TRUE(Tessel::ProductionSignatureConfig().acceptedCertificates.empty());
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
    for (const wchar_t* list : {L"trusted-wrong-publisher.js", L"missing.js", L"listed.dll",
                                L"trusted-transplanted.js"}) {
        SCOPED_TRACE(list);
        Tessel::SignatureConfig config = TestSignatureConfig();
        config.trustedListPath = SigningFixture(list);
        CFileValidator validator(config);
        EXPECT_EQ(5u, validator.ValidateFile(listed.c_str()));
    }
}

TEST_F(LoadersTest, OnlyAVerifiedTimestampVouchesForAnExpiredCertificate) {
    // The "expired" fixtures are signed by the accepted publisher with a certificate that expired
    // just before they were made; their timestamps claim a time inside its validity. The list
    // rows validate listed.dll against a trusted list signed that way.
    const struct {
        const wchar_t* file;
        const wchar_t* list;
        bool accepted;
    } cases[] = {
        {L"expired.dll", L"trusted.js", false},
        {L"expired-countersigned.dll", L"trusted.js", true},
        {L"expired-rfc3161.dll", L"trusted.js", true},
        // Legacy counter-signatures: the attacker's own authority, random bytes for a signature,
        // an authority under the test root without the time-stamping usage, a time before the
        // authority's certificate began, the digest of another signature.
        {L"countersigned-self-made-tsa.dll", L"trusted.js", false},
        {L"countersigned-random-signature.dll", L"trusted.js", false},
        {L"countersigned-no-usage-tsa.dll", L"trusted.js", false},
        {L"countersigned-late-tsa.dll", L"trusted.js", false},
        {L"countersigned-other-signature.dll", L"trusted.js", false},
        // Tokens: another signature's, signed by the publisher's own certificate, naming the
        // test authority but signed with another key, from the attacker's own authority, its
        // time changed afterwards.
        {L"rfc3161-other-signature.dll", L"trusted.js", false},
        {L"rfc3161-publisher-signed.dll", L"trusted.js", false},
        {L"rfc3161-wrong-key.dll", L"trusted.js", false},
        {L"rfc3161-self-made-tsa.dll", L"trusted.js", false},
        {L"rfc3161-altered-time.dll", L"trusted.js", false},
        {L"two-timestamps.dll", L"trusted.js", false},
        // A forged time is refused even where the certificate would do without one.
        {L"signed-random-countersignature.dll", L"trusted.js", false},
        // A genuine SHA-1 counter-signature gives no time: the certificate is judged now.
        {L"signed-sha1-countersigned.dll", L"trusted.js", true},
        {L"expired-sha1-countersigned.dll", L"trusted.js", false},
        {L"listed.dll", L"trusted-expired.js", false},
        {L"listed.dll", L"trusted-expired-countersigned.js", true},
        {L"listed.dll", L"trusted-expired-rfc3161.js", true},
        {L"listed.dll", L"trusted-expired-random-countersignature.js", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::wstring(c.file) + L" with " + c.list);
        Tessel::SignatureConfig config = TestSignatureConfig();
        config.trustedListPath = SigningFixture(c.list);
        CFileValidator validator(config);
        EXPECT_EQ(c.accepted ? 0u : 5u, validator.ValidateFile(SigningFixture(c.file).c_str()));
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
