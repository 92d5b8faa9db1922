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

// One signer against the rules; `store` holds the certificates that came with the signature.
bool IsAcceptedSigner(const CMSG_SIGNER_INFO& signer, HCERTSTORE store,
                      const SignatureConfig& config) {
    if (!IsAcceptedDigest(signer.HashAlgorithm.pszObjId, config)) {
        return false;
    }
    CERT_INFO wanted = {};
    wanted.Issuer = signer.Issuer;
    wanted.SerialNumber = signer.SerialNumber;
    const UniqueCertContext cert(::CertFindCertificateInStore(
        store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
    if (!cert) {
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
        c.publisherNames = {L"Varlen"};
        // SHA-256, SHA-384, SHA-512.
        c.digestAlgorithms = {"2.16.840.1.101.3.4.2.1", "2.16.840.1.101.3.4.2.2",
                              "2.16.840.1.101.3.4.2.3"};
        // The maker's code-signing certificates are pinned here by their SHA-256 before release.
        c.acceptedCertificates = {};
        return c;
    }();
    return config;
}

bool HasAcceptedSigner(const wchar_t* path, const SignatureConfig& config) {
    if (path == nullptr || *path == L'\0') {
        return false;
    }
    DWORD encoding = 0;
    DWORD contentType = 0;
    DWORD formatType = 0;
    UniqueCertStore store;
    UniqueCryptMsg message;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path,
                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType,
                            store.put(), message.put(), nullptr)) {
        return false;
    }
    DWORD signerCount = 0;
    DWORD bytes = sizeof(signerCount);
    if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signerCount, &bytes)) {
        return false;
    }
    for (DWORD i = 0; i < signerCount; ++i) {
        std::vector<BYTE> data;
        if (GetMessageParam(message.get(), CMSG_SIGNER_INFO_PARAM, i, data) &&
            IsAcceptedSigner(*reinterpret_cast<const CMSG_SIGNER_INFO*>(data.data()), store.get(),
                             config)) {
            return true;
        }
    }
    return false;
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

// Not the one-shot SHA256(): OpenSSL 3 implements it through the provider machinery, which starts
// libcrypto's initialisation and links every algorithm.
Sha256Digest HashBytes(const void* data, size_t bytes) {
    Sha256Digest digest = {};
    SHA256_CTX context;
    if (SHA256_Init(&context) == 1 && SHA256_Update(&context, data, bytes) == 1) {
        SHA256_Final(digest.data(), &context);
    }
    return digest;
}

}  // namespace Tessel
