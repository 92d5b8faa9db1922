#include "support/FileVersionInfo.h"

#include <knownfolders.h>

#include "support/UniqueAny.h"

namespace Tessel {

namespace {

// One entry of "\VarFileInfo\Translation".
struct Translation {
    WORD language;
    WORD codePage;
};

void AppendHex4(std::wstring& text, WORD value) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    for (int shift = 12; shift >= 0; shift -= 4) {
        text += kDigits[(value >> shift) & 0xF];
    }
}

// "\StringFileInfo\<language><code page>\<name>", both numbers as four upper-case hex digits.
std::wstring StringValuePath(const Translation& translation, const std::wstring& name) {
    std::wstring path = L"\\StringFileInfo\\";
    AppendHex4(path, translation.language);
    AppendHex4(path, translation.codePage);
    path += L'\\';
    path += name;
    return path;
}

}  // namespace

FileVersionInfo::~FileVersionInfo() = default;

bool FileVersionInfo::Load(const std::wstring& path) {
    if (m_loaded) {
        return false;
    }
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        return false;
    }
    std::vector<BYTE> block(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        return false;
    }
    m_block = std::move(block);
    m_loaded = true;
    return true;
}

std::wstring FileVersionInfo::GetString(const std::wstring& name) const {
    if (!m_loaded) {
        return std::wstring();
    }
    void* data = nullptr;
    UINT bytes = 0;
    if (!::VerQueryValueW(m_block.data(), L"\\VarFileInfo\\Translation", &data, &bytes) ||
        data == nullptr) {
        return std::wstring();
    }
    const auto* translations = static_cast<const Translation*>(data);
    const UINT count = bytes / sizeof(Translation);
    for (UINT i = 0; i < count; ++i) {
        void* value = nullptr;
        UINT chars = 0;
        if (::VerQueryValueW(m_block.data(), StringValuePath(translations[i], name).c_str(), &value,
                             &chars) &&
            value != nullptr) {
            // The length counts characters, the terminator included; never read past it.
            const auto* text = static_cast<const wchar_t*>(value);
            return std::wstring(text, wcsnlen(text, chars));
        }
    }
    return std::wstring();
}

ShlObjAPI::~ShlObjAPI() = default;

HRESULT ShlObjAPI::GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                                      PWSTR* path) {
    return ::SHGetKnownFolderPath(folderId, flags, token, path);
}

SystemFileVersionInfo::SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell)
    : m_shell(shell ? std::move(shell) : std::make_shared<ShlObjAPI>()) {}

SystemFileVersionInfo::~SystemFileVersionInfo() = default;

bool SystemFileVersionInfo::Load(const std::wstring& fileName) {
    return FileVersionInfo::Load(SystemFolder() + fileName);
}

std::wstring SystemFileVersionInfo::SystemFolder() {
    if (!m_systemFolder.empty()) {
        return m_systemFolder;
    }
    UniqueCoTaskMemString folder;
    if (FAILED(m_shell->GetKnownFolderPath(FOLDERID_System, 0, nullptr, folder.put())) || !folder) {
        return L"\\";
    }
    m_systemFolder = std::wstring(folder.get()) + L"\\";
    return m_systemFolder;
}

}  // namespace Tessel
