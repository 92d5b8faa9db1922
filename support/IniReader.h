// Reading and writing 32-bit settings in one INI file (the platform's private-profile files).
//
// CObfuscatedIniReader never stores a value as plain text. A value is stored as the key's
// private-profile structure (WritePrivateProfileStructW) of four bytes: the value in
// little-endian byte order, each byte XOR-ed with the matching byte of kObfuscationKey
// (0xA5 0xC3 0x3C 0x5A, i.e. the value XOR 0x5A3CC3A5). The platform writes those four bytes as
// eight upper-case hexadecimal digits followed by two digits of checksum (the sum of the bytes,
// modulo 256), e.g. "MaxEntries=A6C33C5AFF" for 3. GetPrivateProfileStructW checks length and
// checksum: an entry it refuses, or a file it cannot read, reads as a missing key.
#pragma once

#include <windows.h>

#include <string>

#include "support/ReparsePoints.h"

namespace Tessel {

// One INI file, named by its path, with 32-bit reads and writes by section and key.
class CBaseIniReader {
public:
    CBaseIniReader() = default;
    virtual ~CBaseIniReader();
    CBaseIniReader(const CBaseIniReader&) = delete;
    CBaseIniReader& operator=(const CBaseIniReader&) = delete;

    // Names the file to work on; the file need not exist yet (a write creates it). With a
    // `trustedFolder` that `path` lies below, every read and write first opens the file as a
    // CLinkFreeFile below that folder and keeps it and its folders held through the platform's
    // call, so that the call reaches that very file: a link in its place or on a folder between
    // is neither read nor written (the read finds no key, the write fails, FileError() says
    // kErrorLinkOnPath). 87 for a null or empty path, or one that does not lie below
    // `trustedFolder`; 14 when the path cannot be copied; else 0.
    DWORD Load(const wchar_t* path, const wchar_t* trustedFolder = nullptr);
    // As Load with a trusted folder, for a caller that holds the folders between it and the file
    // already: `heldFolders` holds them below its base, and must stay as it is while this reader
    // is used. Only the file is opened and held around each call.
    DWORD Load(const wchar_t* path, const CLinkFreePath& heldFolders);
    const std::wstring& Path() const { return m_path; }

    // True, with `value` set, when the key is present and readable.
    virtual bool ReadDword(const wchar_t* section, const wchar_t* key, DWORD& value) const = 0;
    // True when the value was stored.
    virtual bool WriteDword(const wchar_t* section, const wchar_t* key, DWORD value) = 0;

    // Why the last read or write did not reach the file of a reader loaded with a trusted
    // folder: 0 when it did (a read may still have found no key), kErrorLinkOnPath for a link,
    // otherwise the error of opening the file (ERROR_FILE_NOT_FOUND for a read of a missing one).
    DWORD FileError() const { return m_fileError; }

protected:
    // The key's private-profile structure of exactly `size` bytes, checksum checked.
    bool ReadStruct(const wchar_t* section, const wchar_t* key, void* data, UINT size) const;
    bool WriteStruct(const wchar_t* section, const wchar_t* key, const void* data, UINT size);

private:
    // Opens and holds the file as FileError() describes; true when the platform's call may go on.
    bool HoldFile(CLinkFreeFile& file, FileDisposition disposition) const;

    DWORD LoadBelow(const wchar_t* path, const std::wstring& trustedFolder);

    std::wstring m_path;
    std::wstring m_trustedFolder;  // empty: the path is used as it is
    std::wstring m_relativePath;   // the path below the trusted folder
    const CLinkFreePath* m_heldFolders = nullptr;
    mutable DWORD m_fileError = ERROR_SUCCESS;
};

// Stores each value in the obfuscated structure form described above.
class CObfuscatedIniReader : public CBaseIniReader {
public:
    static constexpr DWORD kObfuscationKey = 0x5A3CC3A5;

    bool ReadDword(const wchar_t* section, const wchar_t* key, DWORD& value) const override;
    bool WriteDword(const wchar_t* section, const wchar_t* key, DWORD value) override;
};

}  // namespace Tessel
