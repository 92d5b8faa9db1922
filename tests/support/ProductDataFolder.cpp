#include "ProductDataFolder.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <filesystem>

#include "Files.h"

namespace VrxTest {
ProductDataFolder::ProductDataFolder() {
    wchar_t appData[MAX_PATH] = {};
    EXPECT_EQ(S_OK, ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, appData));
    m_maker = std::wstring(appData) + L"\\Varlen";
    m_path = m_maker + L"\\VRX";
    RemoveTree(m_path);
    m_makerExisted = FolderExists(m_maker);
}

ProductDataFolder::~ProductDataFolder() {
    RemoveTree(m_path);
    if (!m_makerExisted) {
        // A file of that name left by a test goes too; a folder only when it is empty.
        ::SetFileAttributesW(m_maker.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(m_maker.c_str());
        ::RemoveDirectoryW(m_maker.c_str());
    }
    EXPECT_FALSE(FolderExists(m_path)) << "the product's data folder is left behind";
}

}  // namespace VrxTest
