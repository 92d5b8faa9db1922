#include "support/SignedMessage.h"

#include <algorithm>
#include <cstring>

namespace Tessel {
namespace internal {

namespace {

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

}  // namespace

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

bool DecodeSignerInfo(const CRYPT_ATTR_BLOB& encoded, std::vector<BYTE>& data) {
    return DecodeObject(PKCS7_SIGNER_INFO, encoded, data);
}

const CRYPT_ATTR_BLOB* SingleAttributeValue(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
    const CRYPT_ATTRIBUTE* found = nullptr;
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (attribute.pszObjId != nullptr && strcmp(attribute.pszObjId, oid) == 0) {
            if (found != nullptr) {
                return nullptr;
            }
            found = &attribute;
        }
    }
    return found != nullptr && found->cValue == 1 ? &found->rgValue[0] : nullptr;
}

bool IsAcceptedDigest(const char* oid, const SignatureConfig& config) {
    return oid != nullptr &&
           std::any_of(config.digestAlgorithms.begin(), config.digestAlgorithms.end(),
                       [oid](const std::string& accepted) { return accepted == oid; });
}

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

bool CDerReader::Read(BYTE& tag, DerSpan& element, DerSpan& contents) {
    size_t total = 0;
    size_t header = 0;
    if (!DerElement(m_data, m_left, total, header)) {
        return false;
    }
    tag = m_data[0];
    element = {m_data, total};
    contents = {m_data + header, total - header};
    m_data += total;
    m_left -= total;
    return true;
}

bool CDerReader::Expect(BYTE tag, DerSpan& contents) {
    BYTE found = 0;
    DerSpan element;
    return Read(found, element, contents) && found == tag;
}

bool OidText(DerSpan contents, std::string& text) {
    text.clear();
    unsigned long long arc = 0;
    for (size_t i = 0; i < contents.bytes; ++i) {
        const BYTE b = contents.data[i];
        if (arc > (~0ULL >> 7) || (arc == 0 && b == 0x80)) {  // too long, or not minimal
            return false;
        }
        arc = (arc << 7) | (b & 0x7F);
        if ((b & 0x80) != 0) {
            continue;
        }
        if (text.empty()) {  // the first two arcs share the first number
            const unsigned long long first = arc < 80 ? arc / 40 : 2;
            text = std::to_string(first) + "." + std::to_string(arc - first * 40);
        } else {
            text += "." + std::to_string(arc);
        }
        arc = 0;
    }
    return !text.empty() && (contents.data[contents.bytes - 1] & 0x80) == 0;
}

bool DerTimeToFileTime(BYTE tag, DerSpan text, FILETIME& time) {
    const size_t yearDigits = tag == 0x17 ? 2 : tag == 0x18 ? 4 : 0;
    const auto* chars = reinterpret_cast<const char*>(text.data);
    const size_t end = text.bytes > 0 ? text.bytes - 1 : 0;  // where the 'Z' is
    if (yearDigits == 0 || text.bytes < yearDigits + 11 || chars[end] != 'Z') {
        return false;
    }
    size_t at = 0;
    auto digits = [&](size_t count, WORD& value) {
        value = 0;
        for (size_t i = 0; i < count; ++i, ++at) {
            if (chars[at] < '0' || chars[at] > '9') {
                return false;
            }
            value = static_cast<WORD>(value * 10 + (chars[at] - '0'));
        }
        return true;
    };
    SYSTEMTIME utc = {};
    if (!digits(yearDigits, utc.wYear) || !digits(2, utc.wMonth) || !digits(2, utc.wDay) ||
        !digits(2, utc.wHour) || !digits(2, utc.wMinute) || !digits(2, utc.wSecond)) {
        return false;
    }
    if (yearDigits == 2) {
        utc.wYear = static_cast<WORD>(utc.wYear + (utc.wYear < 50 ? 2000 : 1900));
    }
    if (at < end) {
        // A fraction of a second: GeneralizedTime only, at least one digit; milliseconds kept.
        if (yearDigits == 2 || chars[at] != '.' || ++at == end) {
            return false;
        }
        for (WORD scale = 100; at < end; ++at, scale = static_cast<WORD>(scale / 10)) {
            if (chars[at] < '0' || chars[at] > '9') {
                return false;
            }
            utc.wMilliseconds = static_cast<WORD>(utc.wMilliseconds + (chars[at] - '0') * scale);
        }
    }
    return ::SystemTimeToFileTime(&utc, &time) != FALSE;
}

bool CPlatformDigest::Start(const char* oid) {
    const ALG_ID algorithm = ::CertOIDToAlgId(oid);
    return algorithm != 0 &&
           ::CryptAcquireContextW(m_provider.put(), nullptr, nullptr, PROV_RSA_AES,
                                  CRYPT_VERIFYCONTEXT) &&
           ::CryptCreateHash(m_provider.get(), algorithm, 0, 0, m_hash.put());
}

bool CPlatformDigest::Add(const BYTE* data, size_t bytes) {
    return bytes <= MAXDWORD &&
           ::CryptHashData(m_hash.get(), data, static_cast<DWORD>(bytes), 0) != FALSE;
}

bool CPlatformDigest::Finish(std::vector<BYTE>& digest) {
    DWORD bytes = 0;
    DWORD size = sizeof(bytes);
    if (!::CryptGetHashParam(m_hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&bytes), &size,
                             0)) {
        return false;
    }
    digest.assign(bytes, 0);
    return ::CryptGetHashParam(m_hash.get(), HP_HASHVAL, digest.data(), &bytes, 0) != FALSE;
}

bool CPlatformDigest::SignedBy(const CERT_PUBLIC_KEY_INFO& key, const CRYPT_DATA_BLOB& signature) {
    UniqueCryptKey publicKey;
    if (signature.cbData == 0 ||
        !::CryptImportPublicKeyInfo(m_provider.get(), kEncoding,
                                    const_cast<CERT_PUBLIC_KEY_INFO*>(&key), publicKey.put())) {
        return false;
    }
    // The provider takes the signature least significant byte first.
    std::vector<BYTE> reversed(signature.pbData, signature.pbData + signature.cbData);
    std::reverse(reversed.begin(), reversed.end());
    return ::CryptVerifySignatureW(m_hash.get(), reversed.data(),
                                   static_cast<DWORD>(reversed.size()), publicKey.get(), nullptr,
                                   0) != FALSE;
}

bool DigestIs(const char* oid, const BYTE* data, size_t bytes, const CRYPT_DATA_BLOB& expected) {
    CPlatformDigest hash;
    std::vector<BYTE> digest;
    return hash.Start(oid) && hash.Add(data, bytes) && hash.Finish(digest) &&
           digest.size() == expected.cbData &&
           std::equal(digest.begin(), digest.end(), expected.pbData);
}

bool MessageDigestIs(const CMSG_SIGNER_INFO& signer, const BYTE* data, size_t bytes) {
    const CRYPT_ATTR_BLOB* value =
        SingleAttributeValue(signer.AuthAttrs, szOID_PKCS_9_MESSAGE_DIGEST);
    std::vector<BYTE> decoded;
    return value != nullptr && DecodeObject(X509_OCTET_STRING, *value, decoded) &&
           DigestIs(signer.HashAlgorithm.pszObjId, data, bytes,
                    *reinterpret_cast<const CRYPT_DATA_BLOB*>(decoded.data()));
}

bool ContentTypeIs(const CMSG_SIGNER_INFO& signer, const char* oid) {
    const CRYPT_ATTR_BLOB* value = SingleAttributeValue(signer.AuthAttrs, szOID_RSA_contentType);
    if (value == nullptr) {
        return false;
    }
    CDerReader reader(value->pbData, value->cbData);
    DerSpan identifier;
    std::string text;
    return reader.Expect(0x06, identifier) && reader.AtEnd() && OidText(identifier, text) &&
           text == oid;
}

UniqueCertContext FindSignerCertificate(HCERTSTORE store, const CMSG_SIGNER_INFO& signer) {
    CERT_INFO wanted = {};
    wanted.Issuer = signer.Issuer;
    wanted.SerialNumber = signer.SerialNumber;
    return UniqueCertContext(::CertFindCertificateInStore(
        store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
}

bool BuildCleanChain(PCCERT_CONTEXT cert, HCERTSTORE store, const char* usage, const FILETIME* time,
                     UniqueCertChain& chain) {
    LPSTR usages[] = {const_cast<LPSTR>(usage)};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = ARRAYSIZE(usages);
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT built = nullptr;
    if (!::CertGetCertificateChain(nullptr, cert, const_cast<FILETIME*>(time), store, &para, 0,
                                   nullptr, &built)) {
        return false;
    }
    chain.reset(built);
    return chain.get()->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR;
}

bool CSignedMessage::Decode(const BYTE* data, size_t bytes) {
    m_message.reset(::CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!m_message || bytes > MAXDWORD ||
        !::CryptMsgUpdate(m_message.get(), data, static_cast<DWORD>(bytes), TRUE)) {
        return false;
    }
    m_store.reset(::CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, m_message.get()));
    // One signer only: a second one could lend its name to what the first one signed.
    DWORD signerCount = 0;
    DWORD countBytes = sizeof(signerCount);
    return m_store &&
           ::CryptMsgGetParam(m_message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signerCount,
                              &countBytes) &&
           signerCount == 1 &&
           GetMessageParam(m_message.get(), CMSG_SIGNER_INFO_PARAM, 0, m_signer);
}

bool CSignedMessage::HasContent(const char* oid, std::vector<BYTE>& content) const {
    std::vector<BYTE> type;
    return GetMessageParam(m_message.get(), CMSG_INNER_CONTENT_TYPE_PARAM, 0, type) &&
           type.back() == 0 && strcmp(reinterpret_cast<const char*>(type.data()), oid) == 0 &&
           GetMessageParam(m_message.get(), CMSG_CONTENT_PARAM, 0, content);
}

bool CSignedMessage::SignatureVerifies(PCCERT_CONTEXT cert) const {
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para = {};
    para.cbSize = sizeof(para);
    para.dwSignerIndex = 0;
    para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    para.pvSigner = const_cast<CERT_CONTEXT*>(cert);
    return ::CryptMsgControl(m_message.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para) != FALSE;
}

}  // namespace internal
}  // namespace Tessel
