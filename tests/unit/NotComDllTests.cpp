#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "support/NotComDll.h"
#include "support/ValidationControl.h"
#include "tests/support/DebugOutput.h"
#include "tests/support/Files.h"
#include "tests/support/Registry.h"
#include "tests/support/Signing.h"

using namespace VrxTest;
using Tessel::IVtpValidationControl;
using Tessel::UniqueHModule;

namespace {

constexpr const wchar_t* kNotInInstallLocation =
    L"NotComDllGetInterface: DLL not found in install location, looking in current directory\n";

std::wstring Hex8(DWORD value) {
    wchar_t text[9] = {};
    for (int i = 7; i >= 0; --i, value >>= 4) {
        text[i] = L"0123456789abcdef"[value & 0xF];
    }
    return text;
}

// Asks for "VtpValidationControl2" with the test configuration.
// The library is declared first, so that it is freed after the interface is released.
struct Outcome {
    DWORD result = 0;
    UniqueHModule library;
    Tessel::UniqueComPtr<IVtpValidationControl> control;
};
Outcome Ask(const wchar_t* name, const wchar_t* interfaceName = L"VtpValidationControl2") {
    Outcome outcome;
    void* out = nullptr;
    outcome.result = Tessel::NotComDllGetInterface(name, interfaceName, &out, nullptr,
                                                   outcome.library, TestSignatureConfig());
    outcome.control.reset(static_cast<IVtpValidationControl*>(out));
    return outcome;
}

class NotComDllTest : public ProductRegistryTest {
protected:
    VtpStandInControl m_standIn{0, 0};
};

}  // namespace

TEST_F(NotComDllTest, LoadsFromTheInstallFolderAndKeepsTheLibraryWhileTheInterfaceIsUsed) {
    const std::wstring expected = SigningFixture(L"vtp") + L"\\vlnvtpa.dll";
    SetPlatformKey(L"15.5", SigningFixture(L"vtp").c_str());
    DebugOutputCapture debug;
    {
        Outcome outcome = Ask(L"vlnvtpa.dll");
        ASSERT_EQ(0u, outcome.result);
        ASSERT_TRUE(outcome.control);
        EXPECT_EQ(expected, ModuleFilePath(outcome.library.get()));
        EXPECT_EQ(L"VtpValidationControl2;", m_standIn.Asked());
        EXPECT_EQ(L"1", m_standIn.Live());
    }
    EXPECT_FALSE(IsModuleLoaded(expected));
    EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(NotComDllTest, WithoutTheInstallFolderValueLooksInTheCurrentFolder) {
    SetPlatformKey(L"15.5", nullptr);
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(SigningFixture(L"vtp").c_str()));
    Outcome outcome = Ask(L"vlnvtpa.dll");
    ::SetCurrentDirectoryW(previous);
    EXPECT_EQ(0u, outcome.result);
    EXPECT_EQ(SigningFixture(L"vtp") + L"\\vlnvtpa.dll", ModuleFilePath(outcome.library.get()));
}

TEST_F(NotComDllTest, AFileMissingFromTheInstallFolderIsLookedForBesideTheExecutable) {
    ScratchFolder empty;
    SetPlatformKey(L"15.5", empty.Path().c_str());
    const std::wstring besideExe = ExecutableFolder() + L"\\vlnvtpa.dll";
    CopyFileTo(SigningFixture(L"vtp\\vlnvtpa.dll"), besideExe);
    {
        DebugOutputCapture debug;
        Outcome outcome = Ask(L"vlnvtpa.dll");
        EXPECT_EQ(0u, outcome.result);
        EXPECT_EQ(besideExe, ModuleFilePath(outcome.library.get()));
        EXPECT_EQ(std::vector<std::wstring>{kNotInInstallLocation}, debug.Lines());
    }
    ::DeleteFileW(besideExe.c_str());
}

TEST_F(NotComDllTest, RefusedFilesAreReportedToTheDebuggerAndNotLoaded) {
    for (const wchar_t* variant : {L"vtp-unsigned", L"vtp-wrong-publisher"}) {
        SCOPED_TRACE(variant);
        const std::wstring path = SigningFixture(variant) + L"\\vlnvtpa.dll";
        SetPlatformKey(L"15.5", SigningFixture(variant).c_str());
        DebugOutputCapture debug;
        Outcome outcome = Ask(L"vlnvtpa.dll");
        EXPECT_NE(0u, outcome.result);
        EXPECT_FALSE(outcome.control);
        EXPECT_FALSE(outcome.library);
        EXPECT_FALSE(IsModuleLoaded(path));
        EXPECT_EQ(std::vector<std::wstring>{L"NotComDllGetInterface: " + ModuleFilePath() +
                                            L" loading " + path + L", WinVerifyTrust failed with " +
                                            Hex8(outcome.result) + L"\n"},
                  debug.Lines());
    }
    EXPECT_EQ(L"", m_standIn.Asked());
}

TEST_F(NotComDllTest, FailuresLeaveNothingLoaded) {
    SetPlatformKey(L"15.5", SigningFixture(L"vtp").c_str());
    EXPECT_EQ(87u, Ask(std::wstring(260, L'a').c_str()).result);
    // Not offered by the stand-in.
    Outcome unknown = Ask(L"vlnvtpa.dll", L"VtpSomethingElse");
    EXPECT_EQ(static_cast<DWORD>(E_NOINTERFACE), unknown.result);
    EXPECT_FALSE(unknown.library);
    EXPECT_FALSE(IsModuleLoaded(SigningFixture(L"vtp") + L"\\vlnvtpa.dll"));
    // A name with a drive is the path itself; this signed module has no such export.
    const std::wstring noExport = SigningFixture(L"signed.dll");
    Outcome missing = Ask(noExport.c_str());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), missing.result);
    EXPECT_FALSE(IsModuleLoaded(noExport));
}
