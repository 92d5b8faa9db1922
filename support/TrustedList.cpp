#include "support/TrustedList.h"

#include <shlobj.h>

#include <algorithm>

#include "support/HeldPath.h"
#include "support/UniqueAny.h"

namespace Tessel {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ParseDigest(const std::string& line, Sha256Digest& digest) {
    if (line.size() != digest.size() * 2) {
        return false;
    }
    for (size_t i = 0; i < digest.size(); ++i) {
        const int high = HexValue(line[2 * i]);
        const int low = HexValue(line[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        digest[i] = static_cast<BYTE>(high * 16 + low);
    }
    return true;
}

}  // namespace

bool ParseTrustedList(const std::string& text, std::vector<Sha256Digest>& entries) {
    entries.clear();
    std::vector<Sha256Digest> parsed;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.pop_back();
        }
        if (!line.empty() && line[0] != '#') {
            Sha256Digest digest;
            if (!ParseDigest(line, digest)) {
                return false;
            }
            parsed.push_back(digest);
        }
        start = end + 1;
    }
    entries = std::move(parsed);
    return true;
}

bool CTrustedList::Load(const wchar_t* path, const SignatureConfig& config) {
    m_entries.clear();
    // Held unchanged, folders included, from the signature check until its text has been read.
    CHeldPath hold;
    if (hold.Hold(path) != ERROR_SUCCESS || !IsSignedByAcceptedPublisher(path, config)) {
        return false;
    }
    // Mapped as data only: none of its code runs.
    const UniqueHModule module(
        ::LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module) {
        return false;
    }
    const HRSRC resource = ::FindResourceW(module.get(), L"TRUSTED_LIST", MAKEINTRESOURCEW(10));
    if (resource == nullptr) {
        return false;
    }
    const HGLOBAL loaded = ::LoadResource(module.get(), resource);
    const DWORD bytes = ::SizeofResource(module.get(), resource);
    const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (data == nullptr) {
        return false;
    }
    return ParseTrustedList(std::string(static_cast<const char*>(data), bytes), m_entries);
}

bool CTrustedList::Accepts(const Sha256Digest& digest) const {
    return std::find(m_entries.begin(), m_entries.end(), digest) != m_entries.end();
}

bool CTrustedList::AcceptsFile(const wchar_t* path) const {
    Sha256Digest digest;
    return !m_entries.empty() && HashFile(path, digest) && Accepts(digest);
}

std::wstring DefaultTrustedListPath() {
    wchar_t folder[MAX_PATH] = {};
    if (::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, SHGFP_TYPE_CURRENT,
                           folder) != S_OK) {
        return std::wstring();
    }
    return std::wstring(folder) + L"\\Varlen\\Platform\\Core\\trusted.js";
}

}  // namespace Tessel
