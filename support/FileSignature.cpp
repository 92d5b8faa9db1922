#include "support/FileSignature.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

// Only the low-level digest functions are used: they link just the digest code and never start
// libcrypto's initialisation (which would read configuration and register an exit handler with
// the host's run time). OpenSSL 3 marks them deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "support/AcceptedSigners.h"
#include "support/SignedMessage.h"
#include "support/Timestamp.h"
#include "support/UniqueAny.h"

namespace Tessel {

namespace {

using internal::CPlatformDigest;
using internal::CSignedMessage;
using internal::DerElement;

bool IsAcceptedName(const wchar_t* name, const SignatureConfig& config) {
    return std::any_of(config.publisherNames.begin(), config.publisherNames.end(),
                       [name](const std::wstring& accepted) { return accepted == name; });
}

bool ChainHoldsAcceptedCertificate(const CERT_CHAIN_CONTEXT& chain, const SignatureConfig& config) {
    for (DWORD i = 0; i < chain.cChain; ++i) {
        const CERT_SIMPLE_CHAIN* simple = chain.rgpChain[i];
        for (DWORD j = 0; j < simple->cElement; ++j) {
            const CERT_CONTEXT* cert = simple->rgpElement[j]->pCertContext;
            const Sha256Digest digest = HashBytes(cert->pbCertEncoded, cert->cbCertEncoded);
            if (std::find(config.acceptedCertificates.begin(), config.acceptedCertificates.end(),
                          digest) != config.acceptedCertificates.end()) {
                return true;
            }
        }
    }
    return false;
}

// A bounded little-endian read from a file image; false when it would pass its end.
template <typename T>
bool ReadLittleEndian(const std::vector<BYTE>& data, size_t offset, T& value) {
    if (offset > data.size() || data.size() - offset < sizeof(T)) {
        return false;
    }
    value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>(value | (static_cast<T>(data[offset + i]) << (8 * i)));
    }
    return true;
}

// Where a PE file's Authenticode signature is and which bytes its digest leaves out.
struct AuthenticodeLayout {
    size_t checksumOffset = 0;       // the header checksum, 4 bytes
    size_t certDirectoryOffset = 0;  // the certificate table's directory entry, 8 bytes
    size_t certTableOffset = 0;      // the certificate table, to the end of the file
    size_t signatureOffset = 0;      // the one PKCS #7 signed message in the table
    size_t signatureBytes = 0;
};

// Finds the signature of a PE file. The certificate table must end the file and hold exactly one
// PKCS #7 signed-data entry whose message fills it (up to zero padding), so that no byte of the
// file escapes the digest but the three parts Authenticode leaves out.
bool ParseAuthenticodeLayout(const std::vector<BYTE>& file, AuthenticodeLayout& layout) {
    constexpr WORD kPe32 = 0x10B;
    constexpr WORD kPe32Plus = 0x20B;
    constexpr DWORD kSecurityDirectory = 4;
    WORD mz = 0;
    DWORD peOffset = 0;
    DWORD peSignature = 0;
    WORD optionalHeaderBytes = 0;
    WORD magic = 0;
    if (!ReadLittleEndian(file, 0, mz) || mz != IMAGE_DOS_SIGNATURE ||
        !ReadLittleEndian(file, 0x3C, peOffset) || !ReadLittleEndian(file, peOffset, peSignature) ||
        peSignature != IMAGE_NT_SIGNATURE ||
        !ReadLittleEndian(file, size_t{peOffset} + 4 + 16, optionalHeaderBytes)) {
        return false;
    }
    const size_t optionalHeader = size_t{peOffset} + 4 + IMAGE_SIZEOF_FILE_HEADER;
    if (!ReadLittleEndian(file, optionalHeader, magic) || (magic != kPe32 && magic != kPe32Plus)) {
        return false;
    }
    const size_t directories = optionalHeader + (magic == kPe32Plus ? 112 : 96);
    DWORD directoryCount = 0;
    if (!ReadLittleEndian(file, directories - 4, directoryCount) ||
        directoryCount <= kSecurityDirectory) {
        return false;
    }
    layout.checksumOffset = optionalHeader + 64;
    layout.certDirectoryOffset = directories + kSecurityDirectory * 8;
    DWORD tableOffset = 0;
    DWORD tableBytes = 0;
    if (layout.certDirectoryOffset + 8 > optionalHeader + optionalHeaderBytes ||
        !ReadLittleEndian(file, layout.certDirectoryOffset, tableOffset) ||
        !ReadLittleEndian(file, layout.certDirectoryOffset + 4, tableBytes) ||
        tableOffset < layout.certDirectoryOffset + 8 || tableOffset > file.size() ||
        file.size() - tableOffset != tableBytes) {
        return false;
    }
    DWORD entryBytes = 0;
    WORD revision = 0;
    WORD type = 0;
    if (!ReadLittleEndian(file, tableOffset, entryBytes) ||
        !ReadLittleEndian(file, tableOffset + 4, revision) ||
        !ReadLittleEndian(file, tableOffset + 6, type) || revision != WIN_CERT_REVISION_2_0 ||
        type != WIN_CERT_TYPE_PKCS_SIGNED_DATA || entryBytes < 8 || entryBytes > tableBytes ||
        ((size_t{entryBytes} + 7) & ~size_t{7}) < tableBytes) {
        return false;
    }
    layout.certTableOffset = tableOffset;
    layout.signatureOffset = size_t{tableOffset} + 8;
    size_t header = 0;
    if (!DerElement(file.data() + layout.signatureOffset, entryBytes - 8, layout.signatureBytes,
                    header)) {
        return false;
    }
    return std::all_of(file.begin() + layout.signatureOffset + layout.signatureBytes, file.end(),
                       [](BYTE b) { return b == 0; });
}

// The Authenticode digest of a PE file: everything but its checksum, its certificate table's
// directory entry and the table itself.
bool AuthenticodeDigest(const std::vector<BYTE>& file, const AuthenticodeLayout& layout,
                        const char* oid, std::vector<BYTE>& digest) {
    const std::pair<size_t, size_t> ranges[] = {
        {0, layout.checksumOffset},
        {layout.checksumOffset + 4, layout.certDirectoryOffset},
        {layout.certDirectoryOffset + 8, layout.certTableOffset},
    };
    CPlatformDigest hash;
    if (!hash.Start(oid)) {
        return false;
    }
    for (const auto& range : ranges) {
        if (!hash.Add(file.data() + range.first, range.second - range.first)) {
            return false;
        }
    }
    return hash.Finish(digest);
}

bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>& data) {
    constexpr LONGLONG kLargestSignedFile = 256LL * 1024 * 1024;
    const UniqueFileHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > kLargestSignedFile) {
        return false;
    }
    data.assign(static_cast<size_t>(size.QuadPart), 0);
    DWORD read = 0;
    return ::ReadFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &read, nullptr) &&
           read == data.size();
}

// The signed content is Authenticode's indirect data, and the file digest it carries, in an
// accepted algorithm, is this file's. `content` receives the encoded content.
bool ContentDescribesFile(const CSignedMessage& message, const std::vector<BYTE>& file,
                          const AuthenticodeLayout& layout, const SignatureConfig& config,
                          std::vector<BYTE>& content) {
    if (!message.HasContent(SPC_INDIRECT_DATA_OBJID, content)) {
        return false;
    }
    std::vector<BYTE> decoded;
    const CRYPT_ATTR_BLOB blob = {static_cast<DWORD>(content.size()), content.data()};
    if (!internal::DecodeObject(SPC_INDIRECT_DATA_CONTENT_STRUCT, blob, decoded)) {
        return false;
    }
    const auto* indirect = reinterpret_cast<const SPC_INDIRECT_DATA_CONTENT*>(decoded.data());
    std::vector<BYTE> digest;
    return internal::IsAcceptedDigest(indirect->DigestAlgorithm.pszObjId, config) &&
           AuthenticodeDigest(file, layout, indirect->DigestAlgorithm.pszObjId, digest) &&
           digest.size() == indirect->Digest.cbData &&
           std::equal(digest.begin(), digest.end(), indirect->Digest.pbData);
}

// The signer's authenticated message digest is the digest of the signed content (the contents
// octets of its encoding), so that its signature covers this content.
bool MessageDigestCoversContent(const CMSG_SIGNER_INFO& signer, const std::vector<BYTE>& content) {
    size_t total = 0;
    size_t header = 0;
    return !content.empty() && content[0] == 0x30 &&
           DerElement(content.data(), content.size(), total, header) && total == content.size() &&
           internal::MessageDigestIs(signer, content.data() + header, total - header);
}

// The message's only signer against the rules.
bool IsAcceptedSigner(const CSignedMessage& message, const SignatureConfig& config) {
    const CMSG_SIGNER_INFO& signer = message.Signer();
    if (!internal::IsAcceptedDigest(signer.HashAlgorithm.pszObjId, config)) {
        return false;
    }
    const UniqueCertContext cert = internal::FindSignerCertificate(message.Certificates(), signer);
    if (!cert || !message.SignatureVerifies(cert.get())) {
        return false;
    }
    wchar_t name[256] = {};
    if (::CertGetNameStringW(cert.get(), CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name,
                             ARRAYSIZE(name)) <= 1 ||
        !IsAcceptedName(name, config)) {
        return false;
    }

    // The chain is judged when the signature was made if a timestamp proves that time, else now.
    FILETIME signingTime = {};
    const internal::TimestampCheck timestamp =
        internal::CheckTimestamp(signer, message.Certificates(), config, signingTime);
    UniqueCertChain chain;
    if (timestamp == internal::TimestampCheck::kRefused ||
        !internal::BuildCleanChain(
            cert.get(), message.Certificates(), szOID_PKIX_KP_CODE_SIGNING,
            timestamp == internal::TimestampCheck::kVerified ? &signingTime : nullptr, chain) ||
        !ChainHoldsAcceptedCertificate(*chain.get(), config)) {
        return false;
    }

    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof(policyPara);
    CERT_CHAIN_POLICY_STATUS policyStatus = {};
    policyStatus.cbSize = sizeof(policyStatus);
    return ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain.get(),
                                              &policyPara, &policyStatus) &&
           policyStatus.dwError == 0;
}

}  // namespace

const SignatureConfig& ProductionSignatureConfig() {
    static const SignatureConfig config = [] {
        SignatureConfig c;
        c.publisherNames.assign(AcceptedSigners::kPublisherNames.begin(),
                                AcceptedSigners::kPublisherNames.end());
        // SHA-256, SHA-384, SHA-512.
        c.digestAlgorithms = {"2.16.840.1.101.3.4.2.1", "2.16.840.1.101.3.4.2.2",
                              "2.16.840.1.101.3.4.2.3"};
        // Configured at build time (VRX_ACCEPTED_CERTIFICATES); none leaves every chain refused.
        c.acceptedCertificates.assign(AcceptedSigners::kCertificates.begin(),
                                      AcceptedSigners::kCertificates.end());
        return c;
    }();
    return config;
}

bool HasAcceptedSigner(const wchar_t* path, const SignatureConfig& config) {
    if (path == nullptr || *path == L'\0') {
        return false;
    }
    // Everything is checked from one reading of the file: its digest, and the signature in it.
    std::vector<BYTE> file;
    AuthenticodeLayout layout;
    if (!ReadWholeFile(path, file) || !ParseAuthenticodeLayout(file, layout)) {
        return false;
    }
    CSignedMessage message;
    std::vector<BYTE> content;
    return message.Decode(file.data() + layout.signatureOffset, layout.signatureBytes) &&
           ContentDescribesFile(message, file, layout, config, content) &&
           MessageDigestCoversContent(message.Signer(), content) &&
           IsAcceptedSigner(message, config);
}

LONG VerifyFileTrust(const wchar_t* path, DWORD providerFlags) {
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = providerFlags;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
    const LONG result = ::WinVerifyTrust(noWindow, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(noWindow, &action, &data);
    return result;
}

bool IsSignedByAcceptedPublisher(const wchar_t* path, const SignatureConfig& config) {
    return HasAcceptedSigner(path, config) && VerifyFileTrust(path) == ERROR_SUCCESS;
}

bool HashFile(const wchar_t* path, Sha256Digest& digest) {
    const UniqueFileHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        return false;
    }
    SHA256_CTX context;
    if (SHA256_Init(&context) != 1) {
        return false;
    }
    std::vector<BYTE> buffer(64 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                        nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        if (SHA256_Update(&context, buffer.data(), read) != 1) {
            return false;
        }
    }
    return SHA256_Final(digest.data(), &context) == 1;
}

Sha256Digest HashBytes(const void* data, size_t bytes) {
    // Not the one-shot SHA256(): in OpenSSL 3 it goes through the EVP layer, which initialises
    // the library (configuration included).
    Sha256Digest digest = {};
    SHA256_CTX context;
    if (SHA256_Init(&context) != 1 || SHA256_Update(&context, data, bytes) != 1 ||
        SHA256_Final(digest.data(), &context) != 1) {
        digest.fill(0);
    }
    return digest;
}

}  // namespace Tessel
