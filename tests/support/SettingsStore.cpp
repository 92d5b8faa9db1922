#include "SettingsStore.h"

#include <algorithm>
#include <cstring>

#include "support/UniqueAny.h"

namespace VrxTest {

namespace {
std::wstring Variable(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD chars = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return chars < MAX_PATH ? value : L"";
}

// The file the stand-in appends its record of SetValue calls to, one for each test process.
std::wstring RecordPath() {
    wchar_t folder[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + L"VrxSet." + std::to_wstring(::GetCurrentProcessId()) +
           L".writes";
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
    const std::wstring record = RecordPath();
    ::DeleteFileW(record.c_str());
    ::SetEnvironmentVariableW(L"VRXSET_STANDIN_RECORD", record.c_str());
    ::SetEnvironmentVariableW(L"VRXSET_STANDIN_LIVE", nullptr);
}

std::wstring SettingsWrites() {
    const Tessel::UniqueFileHandle file(
        ::CreateFileW(RecordPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text(file ? ::GetFileSize(file.get(), nullptr) : 0, '\0');
    DWORD read = 0;
    if (!text.empty() &&
        !::ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr)) {
        read = 0;
    }
    return std::wstring(text.begin(), text.begin() + read);  // the record is ASCII
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
