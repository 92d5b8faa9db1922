// File-system set-up for tests: a scratch folder per test, fixture files beside the executable.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace VrxTest {

// A new, empty folder under the temporary folder; removed with everything in it (read-only files
// included) when the object goes.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& relative) const { return m_path + L"\\" + relative; }

private:
    std::wstring m_path;
};

// The full path of a loaded module (null: the running test executable).
std::wstring ModuleFilePath(HMODULE module = nullptr);
// The folder of the running test executable, where the DLL and the stand-ins are built too.
std::wstring ExecutableFolder();

// A file built with the tests (cabinets and the like): <test exe folder>\fixtures\<name>.
std::wstring FixturePath(const std::wstring& name);

void MakeFolder(const std::wstring& path);

// Removes `path` with everything below it, read-only entries included, also beyond MAX_PATH.
// Nothing is reported: it serves clean-up.
void RemoveTree(const std::wstring& path);
void WriteTextFile(const std::wstring& path, const std::string& text);
std::string ReadTextFile(const std::wstring& path);
bool FileExists(const std::wstring& path);
// Every file and folder below `folder`, by path relative to it, with its content ("<folder>" for
// a folder, "<link>" for a link to a folder, which is not followed).
std::map<std::wstring, std::string> FolderSnapshot(const std::wstring& folder);
bool FolderExists(const std::wstring& path);
void CopyFileTo(const std::wstring& from, const std::wstring& to);

// True when the tests run under Wine rather than Windows, for the few checks whose platform
// behaviour differs.
bool RunningUnderWine();

}  // namespace VrxTest
