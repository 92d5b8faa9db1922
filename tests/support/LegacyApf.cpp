#include "LegacyApf.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "Files.h"

namespace VrxTest {
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
