#include "LegacyApf.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "Files.h"

namespace VrxTest {
namespace {

void RemoveTree(const std::wstring& path) {
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(path, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::filesystem::remove_all(path, ignored);
}

}  // namespace

LegacyApfFolder::LegacyApfFolder() {
    wchar_t programFilesX86[MAX_PATH] = {};
    EXPECT_EQ(S_OK,
              ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, programFilesX86));
    m_varlen = std::wstring(programFilesX86) + L"\\Varlen";
    m_product = m_varlen + L"\\VRX";
    m_apf = m_product + L"\\apf";
    m_varlenExisted = FolderExists(m_varlen);
    m_productExisted = FolderExists(m_product);
    RemoveTree(m_apf);
}

LegacyApfFolder::~LegacyApfFolder() {
    RemoveTree(!m_varlenExisted ? m_varlen : !m_productExisted ? m_product : m_apf);
}

void LegacyApfFolder::Create() {
    MakeFolder(m_apf);
}

}  // namespace VrxTest
