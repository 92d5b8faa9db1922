#include "support/IniReader.h"

#include <new>

namespace Tessel {

CBaseIniReader::~CBaseIniReader() = default;

DWORD CBaseIniReader::Load(const wchar_t* path) {
    if (path == nullptr || *path == L'\0') {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        m_path = path;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    return ERROR_SUCCESS;
}

bool CBaseIniReader::ReadStruct(const wchar_t* section, const wchar_t* key, void* data,
                                UINT size) const {
    if (m_path.empty() || section == nullptr || key == nullptr) {
        return false;
    }
    return ::GetPrivateProfileStructW(section, key, data, size, m_path.c_str()) != FALSE;
}

bool CBaseIniReader::WriteStruct(const wchar_t* section, const wchar_t* key, const void* data,
                                 UINT size) {
    if (m_path.empty() || section == nullptr || key == nullptr) {
        return false;
    }
    // The platform's declaration takes a non-const pointer but only reads the data.
    return ::WritePrivateProfileStructW(section, key, const_cast<void*>(data), size,
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
