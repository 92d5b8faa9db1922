#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "support/RtMui.h"
#include "tests/support/Files.h"
#include "tests/support/Signing.h"

using namespace VrxTest;
using Tessel::RtMuiImpl;

namespace {

// A common program files folder of the test's own, optionally holding a copy of one of the
// stand-in libraries at "\Varlen\Platform\VlRtMui.dll", named by "CommonProgramFiles" while the
// object lives.
class CommonFilesFolder {
public:
    explicit CommonFilesFolder(const wchar_t* standInFolder)
        : m_variable(L"CommonProgramFiles", m_folder.Path().c_str()) {
        if (standInFolder != nullptr) {
            MakeFolder(m_folder / L"Varlen");
            MakeFolder(m_folder / L"Varlen\\Platform");
            CopyFileTo(FixturePath(std::wstring(standInFolder) + L"\\VlRtMui.dll"), LibraryPath());
        }
    }
    std::wstring LibraryPath() const { return m_folder / L"Varlen\\Platform\\VlRtMui.dll"; }

private:
    ScratchFolder m_folder;
    ScopedEnvironmentVariable m_variable;
};

// One of the stand-in's counters.
LONG StandInCounter(HMODULE library, const char* name) {
    const auto counter =
        reinterpret_cast<LONG(WINAPI*)()>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
    return counter != nullptr ? counter() : -1;
}

}  // namespace

TEST(RtMuiTest, WithoutTheLibraryLoadLibraryIsThePlainPlatformCall) {
    const std::wstring sample = SigningFixture(L"unsigned.dll");
    {
        CommonFilesFolder folder(nullptr);
        RtMuiImpl binding;
        EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), binding.Create());
        EXPECT_FALSE(binding.IsAvailable());
        const HMODULE loaded = binding.LoadLibraryFile(sample.c_str());
        ASSERT_NE(nullptr, loaded);
        EXPECT_EQ(::GetModuleHandleW(sample.c_str()), loaded);
        ::FreeLibrary(loaded);
    }
    {
        ScopedEnvironmentVariable noVariable(L"CommonProgramFiles", nullptr);
        RtMuiImpl binding;
        EXPECT_EQ(static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND), binding.Create());
        EXPECT_EQ(nullptr, binding.Module());
    }
    EXPECT_FALSE(IsModuleLoaded(sample));
}

TEST(RtMuiTest, BindsTheLibraryFromCommonProgramFilesAndLoadsThroughIt) {
    CommonFilesFolder folder(L"rtmui");
    // The test's own reference keeps the stand-in (and its counters) after the binding goes.
    const HMODULE standIn = ::LoadLibraryW(folder.LibraryPath().c_str());
    ASSERT_NE(nullptr, standIn);
    const std::wstring sample = SigningFixture(L"unsigned.dll");
    {
        RtMuiImpl binding;
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
    CommonFilesFolder folder(L"rtmui-no-icon-ex");
    RtMuiImpl binding;
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
    CommonFilesFolder folder(L"rtmui-no-icon-ex");
    const std::wstring complete = FixturePath(L"rtmui\\VlRtMui.dll");
    {
        RtMuiImpl binding;
        EXPECT_EQ(0u, binding.Create(complete.c_str()));
        EXPECT_EQ(::GetModuleHandleW(complete.c_str()), binding.Module());
    }
    RtMuiImpl relative;
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
