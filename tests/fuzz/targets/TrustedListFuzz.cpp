// The trusted list's text, as the resource of a signed list delivers it. A list is taken whole or
// not at all: accepted, it holds one entry for each line that is neither empty nor a comment, in
// order, each the digest its line spells; refused, it holds nothing. The entries written out as
// a list of their own read back the same.
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "support/TrustedList.h"

namespace {

using Tessel::Sha256Digest;

// The lines that must hold a digest, cut as the list's format says: at '\n', without trailing
// '\r', blanks and tabs; empty ones and those starting with '#' are no entries.
std::vector<std::string> EntryLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t at = 0; at <= text.size(); ++at) {
        if (at < text.size() && text[at] != '\n') {
            line += text[at];
            continue;
        }
        const size_t end = line.find_last_not_of("\r \t");
        line.erase(end == std::string::npos ? 0 : end + 1);
        if (!line.empty() && line[0] != '#') {
            lines.push_back(line);
        }
        line.clear();
    }
    return lines;
}

std::string Hex(const Sha256Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (BYTE b : digest) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

bool SameHex(const std::string& line, const std::string& hex) {
    if (line.size() != hex.size()) {
        return false;
    }
    for (size_t i = 0; i < hex.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != hex[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<Sha256Digest> entries(1);
    const bool accepted = Tessel::ParseTrustedList(text, entries);
    if (!accepted) {
        VRX_FUZZ_CHECK(entries.empty(), "a refused list left %zu entries", entries.size());
        return 0;
    }
    const std::vector<std::string> lines = EntryLines(text);
    VRX_FUZZ_CHECK(entries.size() == lines.size(), "%zu entries from %zu entry lines",
                   entries.size(), lines.size());
    std::string rewritten;
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string hex = Hex(entries[i]);
        VRX_FUZZ_CHECK(SameHex(lines[i], hex), "entry %zu is %s, its line \"%s\"", i, hex.c_str(),
                       lines[i].c_str());
        rewritten += hex + "\r\n";
    }
    std::vector<Sha256Digest> reread;
    VRX_FUZZ_CHECK(Tessel::ParseTrustedList(rewritten, reread) && reread == entries,
                   "the entries written out do not read back");
    return 0;
}
