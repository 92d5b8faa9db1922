#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "src/includes/VrxLoadLibrary.h"
#include "support/FileValidator.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Registry.h"
#include "tests/support/Signing.h"

using namespace VrxTest;
using Tessel::CFileValidator;

namespace {

constexpr DWORD kValidated = 0x2;

std::wstring StandInFolder(const wchar_t* variant = L"vtp") {
    return SigningFixture(variant);
}

class FileValidatorTest : public ProductRegistryTest {};

}  // namespace

TEST(PlatformVersionTest, UsesTheKeelbaseVersionOnlyFromMajor15AndMinor4) {
    using Tessel::internal::PlatformVersionFromText;
    EXPECT_EQ(1504u, PlatformVersionFromText(L"15.4"));
    EXPECT_EQ(1505u, PlatformVersionFromText(L"15.5"));
    EXPECT_EQ(1612u, PlatformVersionFromText(L"16.12"));
    EXPECT_EQ(1504u, PlatformVersionFromText(L"14.9"));
    EXPECT_EQ(1504u, PlatformVersionFromText(L"16.3"));
    EXPECT_EQ(1504u, PlatformVersionFromText(L"15"));
    EXPECT_EQ(1504u, PlatformVersionFromText(L"version"));
    EXPECT_EQ(1504u, PlatformVersionFromText(nullptr));
    EXPECT_EQ(1504u, PlatformVersionFromText(L"4294967295.9"));
}

TEST_F(FileValidatorTest, TheServiceIsAskedInTheModeOfThePlatformVersion) {
    const std::wstring unsigned_ = SigningFixture(L"unsigned.dll");
    const struct {
        const wchar_t* version;
        DWORD platformVersion;
        DWORD mode;
        DWORD acceptingFlag;
        DWORD otherFlag;
    } cases[] = {
        {L"15.4", 1504, 4, 0x1, 0x8},
        {L"15.5", 1505, 512, 0x8, 0x1},
        {L"14.9", 1504, 4, 0x1, 0x8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        SetPlatformKey(c.version, StandInFolder().c_str());
        {
            VtpStandInControl standIn(kValidated, c.acceptingFlag);
            CFileValidator validator(TestSignatureConfig());
            EXPECT_EQ(c.platformVersion, validator.PlatformVersion());
            ASSERT_TRUE(validator.HasValidationService());
            EXPECT_EQ(0u, validator.ValidateFile(unsigned_.c_str()));
            EXPECT_EQ(std::to_wstring(c.mode) + L"|" + unsigned_ + L";", standIn.Calls());
            EXPECT_EQ(L"VtpValidationControl2;", standIn.Asked());
        }
        {
            // The other mode's flag, or a missing status bit, does not accept: the own check
            // then refuses the unsigned file.
            VtpStandInControl standIn(kValidated, c.otherFlag);
            CFileValidator validator(TestSignatureConfig());
            EXPECT_EQ(5u, validator.ValidateFile(unsigned_.c_str()));
        }
        {
            VtpStandInControl standIn(0x1, c.acceptingFlag);
            CFileValidator validator(TestSignatureConfig());
            EXPECT_EQ(5u, validator.ValidateFile(unsigned_.c_str()));
        }
    }
}

TEST_F(FileValidatorTest, FallsBackToTheOlderInterfaceName) {
    SetPlatformKey(L"15.5", StandInFolder().c_str());
    VtpStandInControl standIn(kValidated, 0x8, L"VtpValidationControl");
    CFileValidator validator(TestSignatureConfig());
    EXPECT_TRUE(validator.HasValidationService());
    EXPECT_EQ(L"VtpValidationControl2;VtpValidationControl;", standIn.Asked());
}

TEST_F(FileValidatorTest, ASecondLoadValidatesWithoutTheService) {
    SetPlatformKey(L"15.5", StandInFolder().c_str());
    VtpStandInControl standIn(kValidated, 0x8);
    const std::wstring serviceLibrary = StandInFolder() + L"\\vlnvtpa.dll";
    CFileValidator validator(TestSignatureConfig());
    ASSERT_TRUE(IsModuleLoaded(serviceLibrary));

    const std::wstring first = SigningFixture(L"unsigned.dll");
    const HMODULE loaded = VRXLoadLibrary(first.c_str(), validator);
    EXPECT_NE(nullptr, loaded) << "the service accepts the first file";
    EXPECT_FALSE(validator.HasValidationService());
    EXPECT_EQ(L"0", standIn.Live()) << "the service interface is released";
    EXPECT_FALSE(IsModuleLoaded(serviceLibrary)) << "and its library freed";
    if (loaded != nullptr) {
        ::FreeLibrary(loaded);
    }

    const std::wstring second = SigningFixture(L"wrong-publisher.dll");
    EXPECT_EQ(nullptr, VRXLoadLibrary(second.c_str(), validator));
    EXPECT_FALSE(IsModuleLoaded(second));
    EXPECT_EQ(L"512|" + first + L";", standIn.Calls()) << "one validation through the service";
    ASSERT_EQ(1u, LogRecords().size());
    EXPECT_EQ(L"Unable to validate file: " + second + L" \r\n", LogRecords()[0].text);
}

TEST_F(FileValidatorTest, NoServiceWithoutThePlatformKeyOrAnAcceptableLibrary) {
    VtpStandInControl standIn(kValidated, 0x8);
    {
        CFileValidator validator(TestSignatureConfig());
        EXPECT_FALSE(validator.HasValidationService());
        EXPECT_EQ(0u, validator.PlatformVersion());
    }
    // A key without values: version 1504, the library looked for in the current folder and
    // beside the executable, where there is none.
    SetPlatformKey(nullptr, nullptr);
    {
        CFileValidator validator(TestSignatureConfig());
        EXPECT_FALSE(validator.HasValidationService());
        EXPECT_EQ(1504u, validator.PlatformVersion());
    }
    for (const wchar_t* variant : {L"vtp-unsigned", L"vtp-wrong-publisher"}) {
        SCOPED_TRACE(variant);
        SetPlatformKey(L"15.5", StandInFolder(variant).c_str());
        CFileValidator validator(TestSignatureConfig());
        EXPECT_FALSE(validator.HasValidationService());
        EXPECT_FALSE(IsModuleLoaded(StandInFolder(variant) + L"\\vlnvtpa.dll"));
        EXPECT_EQ(5u, validator.ValidateFile(SigningFixture(L"unsigned.dll").c_str()));
    }
    EXPECT_EQ(L"", standIn.Asked());
}
