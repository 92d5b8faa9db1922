#include "SettingsStore.h"

namespace VrxTest {

namespace {
std::wstring Variable(const wchar_t* name) {
    wchar_t value[8192] = {};
    const DWORD chars = ::GetEnvironmentVariableW(name, value, ARRAYSIZE(value));
    return chars > 0 && chars < ARRAYSIZE(value) ? std::wstring(value, chars) : std::wstring();
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

void ClearSettingsStandInRecords() {
    ::SetEnvironmentVariableW(L"VRXSET_STANDIN_WRITES", nullptr);
    ::SetEnvironmentVariableW(L"VRXSET_STANDIN_LIVE", nullptr);
}

std::wstring SettingsWrites() {
    return Variable(L"VRXSET_STANDIN_WRITES");
}

std::wstring SettingsObjectsLive() {
    return Variable(L"VRXSET_STANDIN_LIVE");
}

}  // namespace VrxTest
