#include "support/IniReader.h"

#include <new>

namespace Tessel {

CBaseIniReader::~CBaseIniReader() = default;

DWORD CBaseIniReader::Load(const wchar_t* path, const wchar_t* trustedFolder) {
    m_heldFolders = nullptr;
    try {
        return LoadBelow(path, trustedFolder != nullptr ? trustedFolder : L"");
    } catch (const std::bad_alloc&) {
        m_path.clear();
        return ERROR_OUTOFMEMORY;
    }
}

DWORD CBaseIniReader::Load(const wchar_t* path, const CLinkFreePath& heldFolders) {
    m_heldFolders = nullptr;
    if (heldFolders.Base().empty()) {
        return ERROR_INVALID_PARAMETER;  // nothing is held
    }
    try {
        const DWORD result = LoadBelow(path, heldFolders.Base());
        if (result == ERROR_SUCCESS) {
            m_heldFolders = &heldFolders;
        }
        return result;
    } catch (const std::bad_alloc&) {
        m_path.clear();
        return ERROR_OUTOFMEMORY;
    }
}

DWORD CBaseIniReader::LoadBelow(const wchar_t* path, const std::wstring& trustedFolder) {
    m_path.clear();
    m_trustedFolder.clear();
    m_relativePath.clear();
    if (path == nullptr || *path == L'\0') {
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring full = path;
    if (!trustedFolder.empty()) {
        // The folder may end in a separator ("C:\\"); otherwise one must follow it in the path.
        const size_t length = trustedFolder.size();
        const bool endsInSeparator = IsPathSeparator(trustedFolder.back());
        const size_t relative = endsInSeparator ? length : length + 1;
        if (full.compare(0, length, trustedFolder) != 0 || full.size() <= relative ||
            (!endsInSeparator && !IsPathSeparator(full[length]))) {
            return ERROR_INVALID_PARAMETER;
        }
        m_trustedFolder = trustedFolder;
        m_relativePath = full.substr(relative);
    }
    m_path = full;
    return ERROR_SUCCESS;
}

bool CBaseIniReader::HoldFile(CLinkFreeFile& file, FileDisposition disposition) const {
    m_fileError = ERROR_SUCCESS;
    if (m_trustedFolder.empty()) {
        return true;
    }
    // Read access is what makes the hold bind others; the platform's call opens the file again
    // for itself, for reading and writing, which the hold's sharing allows.
    constexpr DWORD kHoldAccess = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    m_fileError = m_heldFolders != nullptr
                      ? file.OpenIn(*m_heldFolders, m_relativePath, kHoldAccess, disposition)
                      : file.Open(m_trustedFolder, m_relativePath, kHoldAccess, disposition);
    return m_fileError == ERROR_SUCCESS;
}

bool CBaseIniReader::ReadStruct(const wchar_t* section, const wchar_t* key, void* data,
                                UINT size) const {
    if (m_path.empty() || section == nullptr || key == nullptr) {
        return false;
    }
    CLinkFreeFile held;
    return HoldFile(held, FileDisposition::kOpenExisting) &&
           ::GetPrivateProfileStructW(section, key, data, size, m_path.c_str()) != FALSE;
}

bool CBaseIniReader::WriteStruct(const wchar_t* section, const wchar_t* key, const void* data,
                                 UINT size) {
    if (m_path.empty() || section == nullptr || key == nullptr) {
        return false;
    }
    CLinkFreeFile held;
    // The platform's declaration takes a non-const pointer but only reads the data.
    return HoldFile(held, FileDisposition::kOpenOrCreate) &&
           ::WritePrivateProfileStructW(section, key, const_cast<void*>(data), size,
                                        m_path.c_str()) != FALSE;
}

bool CObfuscatedIniReader::ReadDword(const wchar_t* section, const wchar_t* key,
                                     DWORD& value) const {
    DWORD stored = 0;
    if (!ReadStruct(section, key, &stored, sizeof(stored))) {
        return false;
    }
    value = stored ^ kObfuscationKey;
    return true;
}

bool CObfuscatedIniReader::WriteDword(const wchar_t* section, const wchar_t* key, DWORD value) {
    const DWORD stored = value ^ kObfuscationKey;
    return WriteStruct(section, key, &stored, sizeof(stored));
}

}  // namespace Tessel
