#include "SettingsStore.h"

#include <algorithm>
#include <cstring>

namespace VrxTest {

namespace {
// The whole value, however long: the records grow with every value written.
std::wstring Variable(const wchar_t* name) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return std::wstring();
    }
    std::wstring value(size, L'\0');
    const DWORD chars = ::GetEnvironmentVariableW(name, &value[0], size);
    value.resize(chars < size ? chars : 0);
    return value;
}

std::string HexOf(const void* data, size_t bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < bytes; ++i) {
        const unsigned char byte = static_cast<const unsigned char*>(data)[i];
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}
}  // namespace

std::string StoreNode(const std::string& path) {
    return "node|" + path + "\n";
}

std::string StoreValue(const std::string& path, const std::string& name, const std::string& hex) {
    return "value|" + path + "|" + name + "|" + hex + "\n";
}

std::string StoreFailure(const std::string& path, const std::string& operation) {
    return "fail|" + path + "|" + operation + "\n";
}

std::string DwordHex(DWORD value) {
    return HexOf(&value, sizeof(value));
}

std::string TextHex(const std::wstring& text) {
    return HexOf(text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

std::string StoreUser(const std::string& path, const std::wstring& sid, const char* levelHex) {
    std::string lines = StoreNode(path) + StoreValue(path, "_SETTINGS_NAME", TextHex(sid));
    if (levelHex != nullptr) {
        lines += StoreValue(path, "UserFilteringLevel", levelHex);
    }
    return lines;
}

bool FindStoredValue(const std::string& store, const std::string& path, const std::string& name,
                     std::string& bytes) {
    const std::string prefix = "value|" + path + "|" + name + "|";
    for (size_t line = 0; line < store.size();) {
        const size_t end = std::min(store.find('\n', line), store.size());
        if (store.compare(line, prefix.size(), prefix) == 0) {
            const std::string hex = store.substr(line + prefix.size(), end - line - prefix.size());
            bytes.clear();
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            }
            return true;
        }
        line = end + 1;
    }
    return false;
}

std::wstring WideTextOf(const std::string& bytes) {
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
    return text.substr(0, text.find(L'\0'));
}

void ClearSettingsStandInRecords() {
    ::SetEnvironmentVariableW(L"VRXSET_STANDIN_WRITES", nullptr);
    ::SetEnvironmentVariableW(L"VRXSET_STANDIN_LIVE", nullptr);
}

std::wstring SettingsWrites() {
    return Variable(L"VRXSET_STANDIN_WRITES");
}

std::wstring SettingsWriteNames() {
    const std::wstring writes = SettingsWrites();
    std::wstring names;
    for (size_t entry = 0; entry < writes.size();) {
        const size_t end = std::min(writes.find(L';', entry), writes.size());
        const size_t hex = writes.rfind(L'|', end);
        names +=
            writes.substr(entry, (hex != std::wstring::npos && hex > entry ? hex : end) - entry);
        names += L';';
        entry = end + 1;
    }
    return names;
}

std::wstring SettingsObjectsLive() {
    return Variable(L"VRXSET_STANDIN_LIVE");
}

}  // namespace VrxTest
