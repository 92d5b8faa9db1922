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
#include "support/UniqueAny.h"

namespace Tessel {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// wincrypt.h's PKCS7_SIGNER_INFO structure type; OpenSSL's headers take that name for their own.
const LPCSTR kPkcs7SignerInfoType = reinterpret_cast<LPCSTR>(500);

// A parameter of a cryptographic message, read into a buffer of the size it asks for.
bool GetMessageParam(HCRYPTMSG message, DWORD type, DWORD index, std::vector<BYTE>& data) {
    DWORD bytes = 0;
    if (!::CryptMsgGetParam(message, type, index, nullptr, &bytes) || bytes == 0) {
        return false;
    }
    data.assign(bytes, 0);
    if (!::CryptMsgGetParam(message, type, index, data.data(), &bytes)) {
        return false;
    }
    data.resize(bytes);
    return true;
}

bool DecodeObject(const char* structType, const CRYPT_ATTR_BLOB& blob, std::vector<BYTE>& data) {
    DWORD bytes = 0;
    if (!::CryptDecodeObject(kEncoding, structType, blob.pbData, blob.cbData, 0, nullptr, &bytes) ||
        bytes == 0) {
        return false;
    }
    data.assign(bytes, 0);
    return ::CryptDecodeObject(kEncoding, structType, blob.pbData, blob.cbData, 0, data.data(),
                               &bytes) != FALSE;
}

const CRYPT_ATTRIBUTE* FindAttribute(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (attribute.pszObjId != nullptr && strcmp(attribute.pszObjId, oid) == 0 &&
            attribute.cValue > 0) {
            return &attribute;
        }
    }
    return nullptr;
}

// The signing time of the signer's counter-signature, when it has one.
bool CounterSignedTime(const CMSG_SIGNER_INFO& signer, FILETIME& time) {
    const CRYPT_ATTRIBUTE* counterSign = FindAttribute(signer.UnauthAttrs, szOID_RSA_counterSign);
    if (counterSign == nullptr) {
        return false;
    }
    std::vector<BYTE> decoded;
    if (!DecodeObject(kPkcs7SignerInfoType, counterSign->rgValue[0], decoded)) {
        return false;
    }
    const auto* counterSigner = reinterpret_cast<const CMSG_SIGNER_INFO*>(decoded.data());
    const CRYPT_ATTRIBUTE* signingTime =
        FindAttribute(counterSigner->AuthAttrs, szOID_RSA_signingTime);
    if (signingTime == nullptr) {
        return false;
    }
    DWORD bytes = sizeof(time);
    return ::CryptDecodeObject(kEncoding, szOID_RSA_signingTime, signingTime->rgValue[0].pbData,
                               signingTime->rgValue[0].cbData, 0, &time, &bytes) != FALSE;
}

bool IsAcceptedName(const wchar_t* name, const SignatureConfig& config) {
    return std::any_of(config.publisherNames.begin(), config.publisherNames.end(),
                       [name](const std::wstring& accepted) { return accepted == name; });
}

bool IsAcceptedDigest(const char* oid, const SignatureConfig& config) {
    return oid != nullptr &&
           std::any_of(config.digestAlgorithms.begin(), config.digestAlgorithms.end(),
                       [oid](const std::string& accepted) { return accepted == oid; });
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

// The length of the DER element at the start of `data` (header and contents) and the length of
// its header; false when the element is malformed or longer than `bytes`.
bool DerElement(const BYTE* data, size_t bytes, size_t& total, size_t& header) {
    if (bytes < 2 || (data[0] & 0x1F) == 0x1F) {
        return false;
    }
    size_t length = data[1];
    header = 2;
    if ((length & 0x80) != 0) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || bytes < 2 + count) {
            return false;
        }
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = (length << 8) | data[2 + i];
        }
        header += count;
    }
    if (length > bytes - header) {
        return false;
    }
    total = header + length;
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

// A digest made with the platform's provider, for an algorithm named by its object identifier.
class CPlatformDigest {
public:
    bool Start(const char* oid) {
        const ALG_ID algorithm = ::CertOIDToAlgId(oid);
        return algorithm != 0 &&
               ::CryptAcquireContextW(m_provider.put(), nullptr, nullptr, PROV_RSA_AES,
                                      CRYPT_VERIFYCONTEXT) &&
               ::CryptCreateHash(m_provider.get(), algorithm, 0, 0, m_hash.put());
    }
    bool Add(const BYTE* data, size_t bytes) {
        return bytes <= MAXDWORD &&
               ::CryptHashData(m_hash.get(), data, static_cast<DWORD>(bytes), 0) != FALSE;
    }
    bool Finish(std::vector<BYTE>& digest) {
        DWORD bytes = 0;
        DWORD size = sizeof(bytes);
        if (!::CryptGetHashParam(m_hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&bytes), &size,
                                 0)) {
            return false;
        }
        digest.assign(bytes, 0);
        return ::CryptGetHashParam(m_hash.get(), HP_HASHVAL, digest.data(), &bytes, 0) != FALSE;
    }

private:
    UniqueCryptProv m_provider;
    UniqueCryptHash m_hash;
};

bool DigestsEqual(const std::vector<BYTE>& digest, const CRYPT_DATA_BLOB& expected) {
    return !digest.empty() && digest.size() == expected.cbData &&
           std::equal(digest.begin(), digest.end(), expected.pbData);
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
bool ContentDescribesFile(HCRYPTMSG message, const std::vector<BYTE>& file,
                          const AuthenticodeLayout& layout, const SignatureConfig& config,
                          std::vector<BYTE>& content) {
    std::vector<BYTE> type;
    if (!GetMessageParam(message, CMSG_INNER_CONTENT_TYPE_PARAM, 0, type) || type.back() != 0 ||
        strcmp(reinterpret_cast<const char*>(type.data()), SPC_INDIRECT_DATA_OBJID) != 0 ||
        !GetMessageParam(message, CMSG_CONTENT_PARAM, 0, content)) {
        return false;
    }
    std::vector<BYTE> decoded;
    const CRYPT_ATTR_BLOB blob = {static_cast<DWORD>(content.size()), content.data()};
    if (!DecodeObject(SPC_INDIRECT_DATA_CONTENT_STRUCT, blob, decoded)) {
        return false;
    }
    const auto* indirect = reinterpret_cast<const SPC_INDIRECT_DATA_CONTENT*>(decoded.data());
    std::vector<BYTE> digest;
    return IsAcceptedDigest(indirect->DigestAlgorithm.pszObjId, config) &&
           AuthenticodeDigest(file, layout, indirect->DigestAlgorithm.pszObjId, digest) &&
           DigestsEqual(digest, indirect->Digest);
}

// The signer's authenticated message digest is the digest of the signed content (the contents
// octets of its encoding), so that its signature covers this content.
bool MessageDigestCoversContent(const CMSG_SIGNER_INFO& signer, const std::vector<BYTE>& content) {
    const CRYPT_ATTRIBUTE* attribute = FindAttribute(signer.AuthAttrs, szOID_PKCS_9_MESSAGE_DIGEST);
    size_t total = 0;
    size_t header = 0;
    std::vector<BYTE> decoded;
    if (attribute == nullptr || attribute->cValue != 1 || content.empty() || content[0] != 0x30 ||
        !DerElement(content.data(), content.size(), total, header) || total != content.size() ||
        !DecodeObject(X509_OCTET_STRING, attribute->rgValue[0], decoded)) {
        return false;
    }
    CPlatformDigest hash;
    std::vector<BYTE> digest;
    return hash.Start(signer.HashAlgorithm.pszObjId) &&
           hash.Add(content.data() + header, total - header) && hash.Finish(digest) &&
           DigestsEqual(digest, *reinterpret_cast<const CRYPT_DATA_BLOB*>(decoded.data()));
}

// The signature of the message's only signer verifies with the key of `cert`.
bool SignatureVerifies(HCRYPTMSG message, PCCERT_CONTEXT cert) {
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para = {};
    para.cbSize = sizeof(para);
    para.dwSignerIndex = 0;
    para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    para.pvSigner = const_cast<CERT_CONTEXT*>(cert);
    return ::CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para) != FALSE;
}

// The message's only signer against the rules; `store` holds the certificates that came with the
// signature.
bool IsAcceptedSigner(HCRYPTMSG message, const CMSG_SIGNER_INFO& signer, HCERTSTORE store,
                      const SignatureConfig& config) {
    if (!IsAcceptedDigest(signer.HashAlgorithm.pszObjId, config)) {
        return false;
    }
    CERT_INFO wanted = {};
    wanted.Issuer = signer.Issuer;
    wanted.SerialNumber = signer.SerialNumber;
    const UniqueCertContext cert(::CertFindCertificateInStore(
        store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
    if (!cert || !SignatureVerifies(message, cert.get())) {
        return false;
    }
    wchar_t name[256] = {};
    if (::CertGetNameStringW(cert.get(), CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name,
                             ARRAYSIZE(name)) <= 1 ||
        !IsAcceptedName(name, config)) {
        return false;
    }

    FILETIME signingTime = {};
    const bool timed = CounterSignedTime(signer, signingTime);
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof(chainPara);
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = ARRAYSIZE(usages);
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    UniqueCertChain chain;
    PCCERT_CHAIN_CONTEXT built = nullptr;
    if (!::CertGetCertificateChain(nullptr, cert.get(), timed ? &signingTime : nullptr, store,
                                   &chainPara, 0, nullptr, &built)) {
        return false;
    }
    chain.reset(built);
    if (chain.get()->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR ||
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
    const UniqueCryptMsg message(::CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!message || !::CryptMsgUpdate(message.get(), file.data() + layout.signatureOffset,
                                      static_cast<DWORD>(layout.signatureBytes), TRUE)) {
        return false;
    }
    const UniqueCertStore store(
        ::CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message.get()));
    // One signer only: a second one could lend its name to what the first one signed.
    DWORD signerCount = 0;
    DWORD bytes = sizeof(signerCount);
    std::vector<BYTE> content;
    std::vector<BYTE> signer;
    if (!store ||
        !::CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signerCount, &bytes) ||
        signerCount != 1 || !ContentDescribesFile(message.get(), file, layout, config, content) ||
        !GetMessageParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, signer)) {
        return false;
    }
    const auto& info = *reinterpret_cast<const CMSG_SIGNER_INFO*>(signer.data());
    return MessageDigestCoversContent(info, content) &&
           IsAcceptedSigner(message.get(), info, store.get(), config);
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
