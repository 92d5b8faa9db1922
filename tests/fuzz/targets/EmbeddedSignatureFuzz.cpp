// A library file's embedded Authenticode signature, checked by the library's own signature check
// (HasAcceptedSigner), which decides with the platform's validation whether a product library is
// loaded. The input is the file. VRX_FUZZ_SIGNING names the signing fixtures of the test tree:
// their test root (which scripts/fuzz.sh puts into the prefix's root store) is the accepted
// certificate, "VrxRO Test Signing" the accepted publisher; the fixtures the check accepts are the
// only programs it may accept.
//
// What must hold: the verdict on a file does not change when it is checked again after another
// file; and a file that is accepted is one of those programs: its bytes, but for the three parts
// Authenticode leaves out (the header checksum, the certificate table's directory entry and the
// table itself, found here by a reading of the PE header of its own), are those of an accepted
// fixture.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "support/FileSignature.h"
#include "support/UniqueAny.h"

namespace {

using Bytes = std::vector<BYTE>;
using Tessel::Sha256Digest;

constexpr size_t kLargestFixture = 64 * 1024;

bool ReadBytes(const std::wstring& path, Bytes& data) {
    const Tessel::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                      nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > LONGLONG{kLargestFixture}) {
        return false;
    }
    data.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return ::ReadFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &read, nullptr) &&
           read == data.size();
}

DWORD Le(const Bytes& file, size_t at, size_t bytes) {
    DWORD value = 0;
    for (size_t i = 0; i < bytes && at + i < file.size(); ++i) {
        value |= static_cast<DWORD>(file[at + i]) << (8 * i);
    }
    return value;
}

// The digest of what Authenticode signs in a PE file; false when the file has no PE header with a
// certificate table that lies inside it.
bool ImageDigest(const Bytes& file, Sha256Digest& digest) {
    const size_t pe = Le(file, 0x3C, 4);
    if (file.size() < 0x40 || Le(file, 0, 2) != 0x5A4D || pe > file.size() ||
        Le(file, pe, 4) != 0x4550) {
        return false;
    }
    const size_t optional = pe + 24;
    const DWORD magic = Le(file, optional, 2);
    if (magic != 0x10B && magic != 0x20B) {
        return false;
    }
    const size_t checksum = optional + 64;
    const size_t entry = optional + (magic == 0x20B ? 112 : 96) + 4 * 8;
    const size_t table = Le(file, entry, 4);
    const size_t tableBytes = Le(file, entry + 4, 4);
    if (entry + 8 > file.size() || table < entry + 8 || table > file.size() ||
        tableBytes > file.size() - table) {
        return false;
    }
    Bytes image(file.begin(), file.begin() + table);
    image.insert(image.end(), file.begin() + table + tableBytes, file.end());
    std::memset(image.data() + checksum, 0, 4);
    std::memset(image.data() + entry, 0, 8);
    digest = Tessel::HashBytes(image.data(), image.size());
    return true;
}

struct Setup {
    Tessel::SignatureConfig config;
    std::set<Sha256Digest> acceptedImages;
    std::wstring rejectedFixture;  // checked between the two checks of an input
};

const Setup& Configuration() {
    static const Setup setup = [] {
        Setup s;
        s.config = Tessel::ProductionSignatureConfig();
        s.config.publisherNames = {L"VrxRO Test Signing"};
        s.config.acceptedCertificates.clear();
        const std::wstring fixtures = VrxFuzz::Environment(L"VRX_FUZZ_SIGNING");
        Bytes root;
        if (!fixtures.empty() && ReadBytes(fixtures + L"\\ca-root.der", root)) {
            s.config.acceptedCertificates.push_back(Tessel::HashBytes(root.data(), root.size()));
        }
        for (const wchar_t* pattern : {L"\\*.dll", L"\\*.js"}) {
            WIN32_FIND_DATAW entry = {};
            const Tessel::UniqueFindHandle find(
                ::FindFirstFileW((fixtures + pattern).c_str(), &entry));
            for (bool more = find.is_valid(); more; more = ::FindNextFileW(find.get(), &entry)) {
                const std::wstring path = fixtures + L"\\" + entry.cFileName;
                Bytes file;
                Sha256Digest digest;
                if (!ReadBytes(path, file)) {
                    continue;
                }
                if (!Tessel::HasAcceptedSigner(path.c_str(), s.config)) {
                    s.rejectedFixture = path;
                } else if (ImageDigest(file, digest)) {
                    s.acceptedImages.insert(digest);
                }
            }
        }
        std::fprintf(stderr, "embedded_signature: %zu accepted fixtures%s\n",
                     s.acceptedImages.size(),
                     s.config.acceptedCertificates.empty() ? " (no VRX_FUZZ_SIGNING root)" : "");
        return s;
    }();
    return setup;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Setup& setup = Configuration();
    const std::wstring path = VrxFuzz::ScratchFolder() + L"\\candidate.dll";
    VRX_FUZZ_CHECK(VrxFuzz::WriteBytes(path, data, size), "cannot write the candidate");
    const bool accepted = Tessel::HasAcceptedSigner(path.c_str(), setup.config);
    if (!setup.rejectedFixture.empty()) {
        Tessel::HasAcceptedSigner(setup.rejectedFixture.c_str(), setup.config);
    }
    VRX_FUZZ_CHECK(Tessel::HasAcceptedSigner(path.c_str(), setup.config) == accepted,
                   "the verdict on the file changed: first %s", accepted ? "accepted" : "refused");
    if (!accepted) {
        return 0;
    }
    const Bytes file(data, data + size);
    Sha256Digest digest;
    VRX_FUZZ_CHECK(ImageDigest(file, digest) && setup.acceptedImages.count(digest) != 0,
                   "a file accepted whose signed bytes are no accepted fixture's");
    return 0;
}
