#include "Files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/UniqueAny.h"

namespace VrxTest {
std::wstring ModuleFilePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

std::wstring ExecutableFolder() {
    const std::wstring path = ModuleFilePath();
    return path.substr(0, path.find_last_of(L'\\'));
}

ScratchFolder::ScratchFolder() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    static unsigned counter = 0;
    m_path = std::wstring(temp) + L"vrx-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter);
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
    EXPECT_TRUE(::CreateDirectoryW(m_path.c_str(), nullptr)) << ::GetLastError();
}

ScratchFolder::~ScratchFolder() {
    RemoveTree(m_path);
}

std::wstring FixturePath(const std::wstring& name) {
    return ExecutableFolder() + L"\\fixtures\\" + name;
}

void RemoveTree(const std::wstring& path) {
    // The long form reaches entries whose paths pass MAX_PATH.
    const std::filesystem::path root(path.size() < MAX_PATH - 12 ? path : L"\\\\?\\" + path);
    std::error_code ignored;
    ::SetFileAttributesW(root.c_str(), FILE_ATTRIBUTE_NORMAL);
    for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::filesystem::remove_all(root, ignored);
}

void MakeFolder(const std::wstring& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    EXPECT_FALSE(error) << error.message();
}

void WriteTextFile(const std::wstring& path, const std::string& text) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out << text;
    EXPECT_TRUE(out.good());
}

std::string ReadTextFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

void AddToSnapshot(const std::wstring& folder, const std::wstring& relative,
                   std::map<std::wstring, std::string>& entries) {
    WIN32_FIND_DATAW entry = {};
    const Tessel::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring key = relative + name;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            entries[key] = "<link>";
        } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            entries[key] = "<folder>";
            AddToSnapshot(folder + L"\\" + name, key + L"\\", entries);
        } else {
            entries[key] = ReadTextFile(folder + L"\\" + name);
        }
    } while (::FindNextFileW(find.get(), &entry));
}

}  // namespace

std::map<std::wstring, std::string> FolderSnapshot(const std::wstring& folder) {
    std::map<std::wstring, std::string> entries;
    AddToSnapshot(folder, L"", entries);
    return entries;
}

bool FolderExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void CopyFileTo(const std::wstring& from, const std::wstring& to) {
    EXPECT_TRUE(::CopyFileW(from.c_str(), to.c_str(), FALSE)) << ::GetLastError();
}

bool RunningUnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace VrxTest
