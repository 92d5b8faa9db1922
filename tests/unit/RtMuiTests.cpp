#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include <knownfolders.h>
#include <shlobj.h>

#include "support/FileValidator.h"
#include "support/RtMui.h"
#include "support/UniqueAny.h"
#include "tests/support/Files.h"
#include "tests/support/Signing.h"

using namespace VrxTest;
using Tessel::RtMuiImpl;

namespace {

// A copy of one of the stand-in libraries (a fixture folder holding "VlRtMui.dll") at the default
// place, the shell's common program files folder + "\Varlen\Platform\VlRtMui.dll", or none;
// removed, with the folders it made, when the object goes. A binding made with the object's
// validator accepts the signed stand-ins.
class CommonFilesFolder {
public:
    explicit CommonFilesFolder(const wchar_t* standInFolder) : m_validator(TestSignatureConfig()) {
        Tessel::UniqueCoTaskMemString common;
        EXPECT_EQ(S_OK,
                  ::SHGetKnownFolderPath(FOLDERID_ProgramFilesCommon, 0, nullptr, common.put()));
        m_varlen = std::wstring(common.get()) + L"\\Varlen";
        m_madeVarlen = !FolderExists(m_varlen);
        m_madePlatform = !FolderExists(m_varlen + L"\\Platform");
        if (standInFolder != nullptr) {
            MakeFolder(m_varlen);
            MakeFolder(m_varlen + L"\\Platform");
            CopyFileTo(FixturePath(std::wstring(standInFolder) + L"\\VlRtMui.dll"), LibraryPath());
        }
    }
    ~CommonFilesFolder() {
        ::DeleteFileW(LibraryPath().c_str());
        if (m_madePlatform) {
            RemoveTree(m_varlen + L"\\Platform");
        }
        if (m_madeVarlen) {
            RemoveTree(m_varlen);
        }
    }
    std::wstring LibraryPath() const { return m_varlen + L"\\Platform\\VlRtMui.dll"; }
    Tessel::CFileValidator* Validator() { return &m_validator; }

private:
    Tessel::CFileValidator m_validator;
    std::wstring m_varlen;
    bool m_madeVarlen = false;
    bool m_madePlatform = false;
};

// One of the stand-in's counters.
LONG StandInCounter(HMODULE library, const char* name) {
    const auto counter =
        reinterpret_cast<LONG(WINAPI*)()>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
    return counter != nullptr ? counter() : -1;
}

}  // namespace

TEST(RtMuiTest, WithoutAnAcceptedLibraryLoadLibraryIsThePlainPlatformCall) {
    const std::wstring sample = SigningFixture(L"unsigned.dll");
    // Missing; unsigned; or signed but only where the environment, not the shell, points.
    ScratchFolder elsewhere;
    MakeFolder(elsewhere / L"Varlen");
    MakeFolder(elsewhere / L"Varlen\\Platform");
    CopyFileTo(SigningFixture(L"rtmui\\VlRtMui.dll"), elsewhere / L"Varlen\\Platform\\VlRtMui.dll");
    const ScopedEnvironmentVariable variable(L"CommonProgramFiles", elsewhere.Path().c_str());
    const struct {
        const wchar_t* standIn;
        DWORD result;
    } cases[] = {{nullptr, ERROR_MOD_NOT_FOUND}, {L"rtmui", ERROR_ACCESS_DENIED}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.standIn != nullptr ? c.standIn : L"none");
        CommonFilesFolder folder(c.standIn);
        RtMuiImpl binding(folder.Validator());
        EXPECT_EQ(c.result, binding.Create());
        EXPECT_FALSE(binding.IsAvailable());
        EXPECT_EQ(nullptr, binding.Module());
        EXPECT_FALSE(IsModuleLoaded(folder.LibraryPath()));
        const HMODULE loaded = binding.LoadLibraryFile(sample.c_str());
        ASSERT_NE(nullptr, loaded);
        EXPECT_EQ(::GetModuleHandleW(sample.c_str()), loaded);
        ::FreeLibrary(loaded);
    }
    EXPECT_FALSE(IsModuleLoaded(elsewhere / L"Varlen\\Platform\\VlRtMui.dll"));
    EXPECT_FALSE(IsModuleLoaded(sample));
}

TEST(RtMuiTest, BindsTheLibraryFromCommonProgramFilesAndLoadsThroughIt) {
    CommonFilesFolder folder(L"signing\\rtmui");
    // The test's own reference keeps the stand-in (and its counters) after the binding goes.
    const HMODULE standIn = ::LoadLibraryW(folder.LibraryPath().c_str());
    ASSERT_NE(nullptr, standIn);
    const std::wstring sample = SigningFixture(L"unsigned.dll");
    {
        RtMuiImpl binding(folder.Validator());
        ::SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(0u, binding.Create());
        // The stand-in's "DllAddRef" sets a last error of its own, which must not leak out.
        EXPECT_NE(static_cast<DWORD>(ERROR_INVALID_FUNCTION), ::GetLastError());
        EXPECT_TRUE(binding.IsAvailable());
        EXPECT_EQ(standIn, binding.Module());
        EXPECT_EQ(1, StandInCounter(standIn, "StandInAddRefCalls"));
        EXPECT_NE(nullptr, binding.Entries().loadIconEx);

        const HMODULE loaded = binding.LoadLibraryFile(sample.c_str());
        ASSERT_NE(nullptr, loaded);
        EXPECT_EQ(1, StandInCounter(standIn, "StandInLoadLibraryCalls"));
        ::FreeLibrary(loaded);
        EXPECT_EQ(0, StandInCounter(standIn, "StandInReleaseCalls"));
    }
    EXPECT_EQ(1, StandInCounter(standIn, "StandInReleaseCalls"));
    ::FreeLibrary(standIn);
    EXPECT_FALSE(IsModuleLoaded(folder.LibraryPath()));
}

TEST(RtMuiTest, ALibraryLackingLoadIconExIsNotAvailable) {
    CommonFilesFolder folder(L"signing\\rtmui-no-icon-ex");
    RtMuiImpl binding(folder.Validator());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), binding.Create());
    EXPECT_FALSE(binding.IsAvailable());
    EXPECT_NE(nullptr, binding.Entries().loadIcon);
    EXPECT_EQ(nullptr, binding.Entries().loadIconEx);

    const std::wstring sample = SigningFixture(L"unsigned.dll");
    const HMODULE loaded = binding.LoadLibraryFile(sample.c_str());
    ASSERT_NE(nullptr, loaded);
    EXPECT_EQ(0, StandInCounter(binding.Module(), "StandInLoadLibraryCalls"));
    ::FreeLibrary(loaded);

    // Loading again keeps the module and does not make the incomplete binding available.
    EXPECT_EQ(0u, binding.LoadFrom(folder.LibraryPath().c_str()));
    EXPECT_FALSE(binding.IsAvailable());
}

TEST(RtMuiTest, AnExplicitPathWinsAndMustBeFullyQualified) {
    CommonFilesFolder folder(L"signing\\rtmui-no-icon-ex");
    const std::wstring complete = SigningFixture(L"rtmui\\VlRtMui.dll");
    {
        RtMuiImpl binding(folder.Validator());
        EXPECT_EQ(0u, binding.Create(complete.c_str()));
        EXPECT_EQ(::GetModuleHandleW(complete.c_str()), binding.Module());
    }
    RtMuiImpl relative(folder.Validator());
    EXPECT_NE(0u, relative.Create(L"VlRtMui.dll"));
    EXPECT_EQ(nullptr, relative.Module());
    EXPECT_FALSE(IsModuleLoaded(complete));
}

TEST(RtMuiTest, FullyQualifiedPathsHaveARootAndAFileName) {
    EXPECT_TRUE(Tessel::IsFullyQualifiedFilePath(L"C:\\Folder\\VlRtMui.dll"));
    EXPECT_TRUE(Tessel::IsFullyQualifiedFilePath(L"C:\\VlRtMui.dll"));
    EXPECT_TRUE(Tessel::IsFullyQualifiedFilePath(L"\\\\server\\share\\VlRtMui.dll"));
    EXPECT_FALSE(Tessel::IsFullyQualifiedFilePath(nullptr));
    EXPECT_FALSE(Tessel::IsFullyQualifiedFilePath(L"VlRtMui.dll"));
    EXPECT_FALSE(Tessel::IsFullyQualifiedFilePath(L"C:VlRtMui.dll"));
    EXPECT_FALSE(Tessel::IsFullyQualifiedFilePath(L"\\Folder\\VlRtMui.dll"));
    EXPECT_FALSE(Tessel::IsFullyQualifiedFilePath(L"C:\\Folder\\"));
    EXPECT_FALSE(Tessel::IsFullyQualifiedFilePath(L"\\\\server\\share"));
    EXPECT_FALSE(Tessel::IsFullyQualifiedFilePath((L"C:\\" + std::wstring(260, L'a')).c_str()));
}
