// Reading a file's version resource: string values such as "ProductVersion" and "FileVersion",
// for any file or for one in the Windows system folder.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <memory>
#include <string>
#include <vector>

namespace Tessel {

// Holds the version resource of one file, read once by Load, and answers string queries on it.
class FileVersionInfo {
public:
    FileVersionInfo() = default;
    virtual ~FileVersionInfo();
    FileVersionInfo(const FileVersionInfo&) = delete;
    FileVersionInfo& operator=(const FileVersionInfo&) = delete;

    // Reads the version resource of `path`. False when a resource was already read by this object
    // (which keeps it), when the file has none, or when it cannot be read.
    virtual bool Load(const std::wstring& path);

    // The string `name` from the first translation listed in the resource that has it; empty when
    // nothing was loaded or no translation has the value.
    virtual std::wstring GetString(const std::wstring& name) const;

private:
    std::vector<BYTE> m_block;
    bool m_loaded = false;
};

// The shell's known-folder lookup, behind an interface so that another implementation can stand
// in for it.
struct ShlObjAPI {
    virtual ~ShlObjAPI();
    // SHGetKnownFolderPath; the caller frees `*path` with CoTaskMemFree.
    virtual HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                                       PWSTR* path);
};

// FileVersionInfo for a file in the Windows system folder, named by its file name alone.
class SystemFileVersionInfo : public FileVersionInfo {
public:
    // Uses `shell` for the system folder lookup, or the shell itself when none is given.
    explicit SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell = nullptr);
    ~SystemFileVersionInfo() override;

    // Reads the version resource of <system folder>\<fileName>.
    bool Load(const std::wstring& fileName) override;

private:
    // The system folder with a trailing backslash, looked up once and kept; "\" alone when the
    // lookup fails, in which case the next call looks again.
    std::wstring SystemFolder();

    std::shared_ptr<ShlObjAPI> m_shell;
    std::wstring m_systemFolder;
};

}  // namespace Tessel
