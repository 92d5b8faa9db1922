#include "RegKeyHolder.h"

#include "../../support/RegKey.h"

LSTATUS CRegKeyHolder::Open(HKEY root, const wchar_t* subKey, REGSAM access) {
    HKEY opened = nullptr;
    const LSTATUS status = ::RegOpenKeyExW(root, subKey, 0, access, &opened);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const LSTATUS closeStatus = Close();
    m_key.reset(opened);
    m_viewBits = access & kViewBits;
    return closeStatus;
}

LSTATUS CRegKeyHolder::Close() {
    m_viewBits = 0;
    if (!m_key) {
        return ERROR_SUCCESS;
    }
    return ::RegCloseKey(m_key.release());
}

LSTATUS CRegKeyHolder::QueryRegString(const wchar_t* valueName, wchar_t* buffer,
                                      DWORD& chars) const {
    const DWORD capacity = chars;
    DWORD bytes = capacity * sizeof(wchar_t);
    chars = 0;
    DWORD type = REG_NONE;
    const LSTATUS status = ::RegQueryValueExW(m_key.get(), valueName, nullptr, &type,
                                              reinterpret_cast<BYTE*>(buffer), &bytes);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (const DWORD invalid = Tessel::CheckStringValue(type, buffer, capacity, bytes)) {
        return invalid;
    }
    chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LSTATUS CRegKeyHolder::QueryValue(const wchar_t* valueName, DWORD& type, void* data,
                                  DWORD& bytes) const {
    type = REG_NONE;
    return ::RegQueryValueExW(m_key.get(), valueName, nullptr, &type, static_cast<BYTE*>(data),
                              &bytes);
}

LSTATUS CRegKeyHolder::SetValue(const wchar_t* valueName, DWORD type, const void* data,
                                DWORD bytes) const {
    return ::RegSetValueExW(m_key.get(), valueName, 0, type, static_cast<const BYTE*>(data), bytes);
}

LSTATUS CRegKeyHolder::DeleteValue(const wchar_t* valueName) const {
    return ::RegDeleteValueW(m_key.get(), valueName);
}
