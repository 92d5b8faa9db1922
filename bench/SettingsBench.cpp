#include "SettingsBench.h"

#include <psapi.h>

#include <cstdio>

namespace VrxBench {

namespace {

constexpr const wchar_t* kVrxKey = L"SOFTWARE\\Varlen\\VRX";
constexpr const wchar_t* kInstallDirValue = L"Install Dir";
constexpr REGSAM kView = KEY_WOW64_64KEY;

std::string Hex(const void* data, size_t bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes * 2);
    for (size_t i = 0; i < bytes; ++i) {
        const unsigned char byte = static_cast<const unsigned char*>(data)[i];
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full(path);
    return full.substr(0, full.rfind(L'\\'));
}

}  // namespace

std::string StoreNode(const std::string& path) {
    return "node|" + path + "\n";
}

std::string StoreValue(const std::string& path, const std::string& name, const void* data,
                       size_t bytes) {
    return "value|" + path + "|" + name + "|" + Hex(data, bytes) + "\n";
}

std::string StoreText(const std::string& path, const std::string& name, const std::wstring& text) {
    return StoreValue(path, name, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

std::string StoreDword(const std::string& path, const std::string& name, DWORD value) {
    return StoreValue(path, name, &value, sizeof(value));
}

double PeakWorkingSetMegabytes() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

SettingsInstall::SettingsInstall() : m_fixtures(ExecutableFolder() + L"\\fixtures\\signing") {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"vrx_bench_settings";
    ::CreateDirectoryW(m_folder.c_str(), nullptr);
    if (!::CopyFileW((m_fixtures + L"\\settings\\VrxSet.dll").c_str(), LibraryPath().c_str(),
                     FALSE)) {
        std::fprintf(stderr, "cannot copy the signed settings stand-in: %lu\n", ::GetLastError());
        return;
    }
    Tessel::UniqueHKey key;
    DWORD disposition = 0;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kVrxKey, 0, nullptr, 0, KEY_ALL_ACCESS | kView,
                          nullptr, key.put(), &disposition) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot open the product key\n");
        return;
    }
    m_createdKey = disposition == REG_CREATED_NEW_KEY;
    wchar_t old[MAX_PATH] = {};
    DWORD bytes = sizeof(old) - sizeof(wchar_t);
    m_hadInstallDir = ::RegQueryValueExW(key.get(), kInstallDirValue, nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(old), &bytes) == ERROR_SUCCESS;
    m_oldInstallDir = old;
    m_ok = ::RegSetValueExW(key.get(), kInstallDirValue, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(m_folder.c_str()),
                            static_cast<DWORD>((m_folder.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

SettingsInstall::~SettingsInstall() {
    if (m_createdKey) {
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kVrxKey, kView, 0);
    } else {
        Tessel::UniqueHKey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVrxKey, 0, KEY_SET_VALUE | kView, key.put()) ==
            ERROR_SUCCESS) {
            if (m_hadInstallDir) {
                ::RegSetValueExW(
                    key.get(), kInstallDirValue, 0, REG_SZ,
                    reinterpret_cast<const BYTE*>(m_oldInstallDir.c_str()),
                    static_cast<DWORD>((m_oldInstallDir.size() + 1) * sizeof(wchar_t)));
            } else {
                ::RegDeleteValueW(key.get(), kInstallDirValue);
            }
        }
    }
    ::DeleteFileW(LibraryPath().c_str());
    ::DeleteFileW(StorePath().c_str());
    ::RemoveDirectoryW(m_folder.c_str());
}

bool SettingsInstall::WriteStore(int users,
                                 const std::function<std::string(int user)>& userLines) const {
    const Tessel::UniqueFileHandle file(::CreateFileW(StorePath().c_str(), GENERIC_WRITE, 0,
                                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                                      nullptr));
    for (int user = 0; file && user < users; ++user) {
        const std::string lines = userLines(user);
        DWORD written = 0;
        if (!::WriteFile(file.get(), lines.data(), static_cast<DWORD>(lines.size()), &written,
                         nullptr) ||
            written != lines.size()) {
            return false;
        }
    }
    return static_cast<bool>(file);
}

int SettingsInstall::CountInStore(const std::string& text) const {
    const Tessel::UniqueFileHandle file(::CreateFileW(StorePath().c_str(), GENERIC_READ,
                                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return -1;
    }
    std::string store(::GetFileSize(file.get(), nullptr), '\0');
    DWORD read = 0;
    if (!::ReadFile(file.get(), &store[0], static_cast<DWORD>(store.size()), &read, nullptr)) {
        return -1;
    }
    int count = 0;
    for (size_t at = 0; (at = store.find(text, at)) != std::string::npos; at += text.size()) {
        ++count;
    }
    return count;
}

Tessel::SignatureConfig SettingsInstall::TestSignatureConfig() const {
    Tessel::SignatureConfig config;
    config.publisherNames = {L"VrxRO Test Signing"};
    config.digestAlgorithms = {"2.16.840.1.101.3.4.2.1"};  // SHA-256
    for (const wchar_t* ca : {L"\\ca-root.der", L"\\ca-untrusted.der"}) {
        Tessel::Sha256Digest digest;
        if (!Tessel::HashFile((m_fixtures + ca).c_str(), digest)) {
            std::fprintf(stderr, "cannot read %ls\n", ca);
        }
        config.acceptedCertificates.push_back(digest);
    }
    config.trustedListPath = m_fixtures + L"\\trusted.js";
    return config;
}

}  // namespace VrxBench
