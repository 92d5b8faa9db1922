// The platform's trusted list: the SHA-256 digests of files accepted without a signature of their
// own. The list is a signed resource-only module (file name "trusted.js") whose RCDATA resource
// "TRUSTED_LIST" holds ASCII text, one entry per line: 64 hexadecimal digits, the digest of the
// whole accepted file. Empty lines and lines starting with '#' are ignored; any other line makes
// the whole list invalid.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/FileSignature.h"

namespace Tessel {

// Parses the list's text; false (and no entries) when any line is malformed.
bool ParseTrustedList(const std::string& text, std::vector<Sha256Digest>& entries);

class CTrustedList {
public:
    // Reads the list from `path` after its signature has passed the signature check of `config`.
    // False, leaving the list empty, when the file is missing, not signed by an accepted
    // publisher, or malformed.
    bool Load(const wchar_t* path, const SignatureConfig& config);

    bool Accepts(const Sha256Digest& digest) const;
    // Hashes the file and looks the digest up; false when the file cannot be read.
    bool AcceptsFile(const wchar_t* path) const;

private:
    std::vector<Sha256Digest> m_entries;
};

// The list's place: the common program files folder + "\Varlen\Platform\Core\trusted.js".
std::wstring DefaultTrustedListPath();

}  // namespace Tessel
