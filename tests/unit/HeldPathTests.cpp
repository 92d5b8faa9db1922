#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "support/HeldPath.h"
#include "support/UniqueAny.h"
#include "tests/support/Files.h"
#include "tests/support/Signing.h"

using namespace VrxTest;
using Tessel::CHeldPath;

namespace {

// <scratch>\real\sample.dll, a copy of the unsigned sample.
class HeldPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        MakeFolder(m_scratch / L"real");
        CopyFileTo(SigningFixture(L"unsigned.dll"), Sample());
    }
    std::wstring Sample() const { return m_scratch / L"real\\sample.dll"; }

    ScratchFolder m_scratch;
};

}  // namespace

TEST_F(HeldPathTest, HoldsOnlyFullyQualifiedPathsOfFiles) {
    const struct {
        std::wstring path;
        DWORD result;
    } cases[] = {
        {Sample(), ERROR_SUCCESS},
        {L"real\\sample.dll", ERROR_BAD_PATHNAME},
        {m_scratch / L"real\\..\\real\\sample.dll", ERROR_BAD_PATHNAME},
        {m_scratch / L"real\\.\\sample.dll", ERROR_BAD_PATHNAME},
        {m_scratch / L"real\\\\sample.dll", ERROR_BAD_PATHNAME},
        {m_scratch / L"real", ERROR_DIRECTORY},
        {m_scratch / L"real\\missing.dll", ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        CHeldPath hold;
        EXPECT_EQ(c.result, hold.Hold(c.path.c_str()));
        EXPECT_EQ(c.result == ERROR_SUCCESS, hold.IsHeld());
    }
}

TEST_F(HeldPathTest, NeitherTheFileNorAFolderAboveItCanBeRenamedOrWritten) {
    const std::wstring moved = m_scratch / L"moved";
    {
        CHeldPath hold;
        ASSERT_EQ(0u, hold.Hold(Sample().c_str()));
        EXPECT_FALSE(::MoveFileExW((m_scratch / L"real").c_str(), moved.c_str(), 0));
        EXPECT_FALSE(
            ::MoveFileExW(m_scratch.Path().c_str(), (m_scratch.Path() + L"-moved").c_str(), 0));
        EXPECT_FALSE(::MoveFileExW(Sample().c_str(), (m_scratch / L"real\\other.dll").c_str(), 0));
        const Tessel::UniqueFileHandle writer(::CreateFileW(Sample().c_str(), GENERIC_WRITE,
                                                            FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                            nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(writer);
    }
    EXPECT_TRUE(::MoveFileExW((m_scratch / L"real").c_str(), moved.c_str(), 0));
}

TEST_F(HeldPathTest, OnlyAModuleMappedFromTheHeldFileIsKept) {
    const std::wstring copy = m_scratch / L"copy.dll";
    CopyFileTo(Sample(), copy);
    CHeldPath hold;
    ASSERT_EQ(0u, hold.Hold(Sample().c_str()));

    EXPECT_EQ(nullptr, hold.KeepIfLoadedFromHeldFile(::LoadLibraryW(copy.c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_INVALID), ::GetLastError());
    EXPECT_FALSE(IsModuleLoaded(copy)) << "the other module is freed";

    const HMODULE loaded = ::LoadLibraryW(Sample().c_str());
    ASSERT_NE(nullptr, loaded);
    EXPECT_EQ(loaded, hold.KeepIfLoadedFromHeldFile(loaded));
    ::FreeLibrary(loaded);

    CHeldPath nothing;
    EXPECT_EQ(nullptr, nothing.KeepIfLoadedFromHeldFile(::LoadLibraryW(Sample().c_str())));
    EXPECT_FALSE(IsModuleLoaded(Sample()));
}
