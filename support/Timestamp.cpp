#include "support/Timestamp.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/SignedMessage.h"
#include "support/UniqueAny.h"

namespace Tessel {
namespace internal {

namespace {

// The certificate names the time-stamping usage itself: a certificate without any usage
// extension would pass a chain built for that usage, as it passes one for every usage.
bool NamesTimestampUsage(PCCERT_CONTEXT cert) {
    constexpr DWORD kExtensionOnly = CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG;
    DWORD bytes = 0;
    if (!::CertGetEnhancedKeyUsage(cert, kExtensionOnly, nullptr, &bytes) || bytes == 0) {
        return false;
    }
    std::vector<BYTE> data(bytes, 0);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(data.data());
    if (!::CertGetEnhancedKeyUsage(cert, kExtensionOnly, usage, &bytes)) {
        return false;
    }
    return std::any_of(usage->rgpszUsageIdentifier,
                       usage->rgpszUsageIdentifier + usage->cUsageIdentifier, [](LPSTR oid) {
                           return oid != nullptr &&
                                  strcmp(oid, szOID_PKIX_KP_TIMESTAMP_SIGNING) == 0;
                       });
}

// The timestamping authority's certificate stands for the claimed time.
bool IsTrustedTimestamper(PCCERT_CONTEXT cert, HCERTSTORE store, const FILETIME& claimed) {
    UniqueCertChain chain;
    return NamesTimestampUsage(cert) &&
           ::CertVerifyTimeValidity(const_cast<FILETIME*>(&claimed), cert->pCertInfo) == 0 &&
           BuildCleanChain(cert, store, szOID_PKIX_KP_TIMESTAMP_SIGNING, &claimed, chain);
}

// What an encoded SignerInfo signs and its signature, as they are encoded: its authenticated
// attributes (the [0] element) and its encrypted digest.
struct SignedAttributes {
    DerSpan attributes;
    CRYPT_DATA_BLOB signature = {};
};

bool ReadSignedAttributes(const CRYPT_ATTR_BLOB& encoded, SignedAttributes& signedAttributes) {
    CDerReader outer(encoded.pbData, encoded.cbData);
    DerSpan fields;
    if (!outer.Expect(0x30, fields) || !outer.AtEnd()) {
        return false;
    }
    // version, signer, digest algorithm, [0] attributes, signature algorithm, signature, ...
    CDerReader reader(fields);
    BYTE tag = 0;
    DerSpan element;
    DerSpan contents;
    bool found = false;
    while (!found && reader.Read(tag, element, contents)) {
        found = tag == 0xA0;
    }
    if (!found) {
        return false;
    }
    signedAttributes.attributes = element;
    DerSpan algorithm;
    DerSpan signature;
    if (!reader.Expect(0x30, algorithm) || !reader.Expect(0x04, signature)) {
        return false;
    }
    signedAttributes.signature = {static_cast<DWORD>(signature.bytes),
                                  const_cast<BYTE*>(signature.data)};
    return true;
}

// The signature covers the authenticated attributes encoded as the SET OF they are, not with the
// [0] tag they carry in the SignerInfo.
bool AttributesSignedBy(const char* digestOid, const SignedAttributes& signedAttributes,
                        PCCERT_CONTEXT cert) {
    static const BYTE kSetTag = 0x31;
    const DerSpan& attributes = signedAttributes.attributes;
    CPlatformDigest hash;
    return hash.Start(digestOid) && hash.Add(&kSetTag, 1) &&
           hash.Add(attributes.data + 1, attributes.bytes - 1) &&
           hash.SignedBy(cert->pCertInfo->SubjectPublicKeyInfo, signedAttributes.signature);
}

// A legacy counter-signature: a SignerInfo whose message digest attribute is the digest of the
// signer's signature and whose signing time attribute is the claimed time. The platform's own
// check (CryptMsgVerifyCountersignatureEncoded) is a stub under Wine, so it is verified here.
TimestampCheck CheckCounterSignature(const CRYPT_ATTR_BLOB& encoded, const CMSG_SIGNER_INFO& signer,
                                     HCERTSTORE store, const SignatureConfig& config,
                                     FILETIME& time) {
    std::vector<BYTE> decoded;
    SignedAttributes signedAttributes;
    if (!DecodeSignerInfo(encoded, decoded) || !ReadSignedAttributes(encoded, signedAttributes)) {
        return TimestampCheck::kRefused;
    }
    const auto& counterSigner = *reinterpret_cast<const CMSG_SIGNER_INFO*>(decoded.data());
    const char* digestOid = counterSigner.HashAlgorithm.pszObjId;
    if (!IsAcceptedDigest(digestOid, config)) {
        return TimestampCheck::kNone;
    }
    const CRYPT_ATTR_BLOB* signingTime =
        SingleAttributeValue(counterSigner.AuthAttrs, szOID_RSA_signingTime);
    BYTE tag = 0;
    DerSpan element;
    DerSpan text;
    if (signingTime == nullptr ||
        !CDerReader(signingTime->pbData, signingTime->cbData).Read(tag, element, text) ||
        !DerTimeToFileTime(tag, text, time)) {
        return TimestampCheck::kRefused;
    }
    const UniqueCertContext cert = FindSignerCertificate(store, counterSigner);
    const bool verified =
        ContentTypeIs(counterSigner, szOID_RSA_data) &&
        MessageDigestIs(counterSigner, signer.EncryptedHash.pbData, signer.EncryptedHash.cbData) &&
        cert && AttributesSignedBy(digestOid, signedAttributes, cert.get()) &&
        IsTrustedTimestamper(cert.get(), store, time);
    return verified ? TimestampCheck::kVerified : TimestampCheck::kRefused;
}

// What the token's time-stamp information (TSTInfo) says: the digest it stamps and when.
struct TimeStampInfo {
    std::string imprintAlgorithm;
    CRYPT_DATA_BLOB imprint = {};
    FILETIME time = {};
};

// TSTInfo: version 1, policy, message imprint (algorithm, digest), serial number, generation time
// (GeneralizedTime); what follows is not needed.
bool ParseTimeStampInfo(DerSpan encoded, TimeStampInfo& info) {
    CDerReader outer(encoded);
    DerSpan fields;
    DerSpan version;
    DerSpan policy;
    DerSpan imprint;
    DerSpan serial;
    DerSpan generated;
    if (!outer.Expect(0x30, fields) || !outer.AtEnd()) {
        return false;
    }
    CDerReader reader(fields);
    if (!reader.Expect(0x02, version) || version.bytes != 1 || version.data[0] != 1 ||
        !reader.Expect(0x06, policy) || !reader.Expect(0x30, imprint) ||
        !reader.Expect(0x02, serial) || !reader.Expect(0x18, generated) ||
        !DerTimeToFileTime(0x18, generated, info.time)) {
        return false;
    }
    CDerReader imprintReader(imprint);
    DerSpan algorithm;
    DerSpan digest;
    DerSpan algorithmOid;
    if (!imprintReader.Expect(0x30, algorithm) || !imprintReader.Expect(0x04, digest) ||
        !imprintReader.AtEnd() || !CDerReader(algorithm).Expect(0x06, algorithmOid)) {
        return false;
    }
    info.imprint = {static_cast<DWORD>(digest.bytes), const_cast<BYTE*>(digest.data)};
    return OidText(algorithmOid, info.imprintAlgorithm);
}

// The time-stamp information inside a token's content. The platform gives the encapsulated
// content either as its octets or, as Wine 8.0 does, with the header of their OCTET STRING;
// TSTInfo is a SEQUENCE, so the two cannot be mistaken for one another.
DerSpan TimeStampInfoOf(const std::vector<BYTE>& content) {
    CDerReader reader(content.data(), content.size());
    DerSpan inner;
    if (!content.empty() && content[0] == 0x04 && reader.Expect(0x04, inner) && reader.AtEnd()) {
        return inner;
    }
    return {content.data(), content.size()};
}

// An RFC 3161 time-stamp token: a signed message of one signer whose content, the time-stamp
// information, stamps the digest of the signer's signature.
TimestampCheck CheckToken(const CRYPT_ATTR_BLOB& encoded, const CMSG_SIGNER_INFO& signer,
                          const SignatureConfig& config, FILETIME& time) {
    CSignedMessage token;
    std::vector<BYTE> content;
    if (!token.Decode(encoded.pbData, encoded.cbData) ||
        !token.HasContent(szOID_TIMESTAMP_TOKEN, content)) {
        return TimestampCheck::kRefused;
    }
    const CMSG_SIGNER_INFO& stamper = token.Signer();
    const DerSpan stamped = TimeStampInfoOf(content);
    TimeStampInfo info;
    if (!ParseTimeStampInfo(stamped, info)) {
        return TimestampCheck::kRefused;
    }
    if (!IsAcceptedDigest(stamper.HashAlgorithm.pszObjId, config) ||
        !IsAcceptedDigest(info.imprintAlgorithm.c_str(), config)) {
        return TimestampCheck::kNone;
    }
    const UniqueCertContext cert = FindSignerCertificate(token.Certificates(), stamper);
    if (!ContentTypeIs(stamper, szOID_TIMESTAMP_TOKEN) ||
        !MessageDigestIs(stamper, stamped.data, stamped.bytes) || !cert ||
        !token.SignatureVerifies(cert.get()) ||
        !DigestIs(info.imprintAlgorithm.c_str(), signer.EncryptedHash.pbData,
                  signer.EncryptedHash.cbData, info.imprint) ||
        !IsTrustedTimestamper(cert.get(), token.Certificates(), info.time)) {
        return TimestampCheck::kRefused;
    }
    time = info.time;
    return TimestampCheck::kVerified;
}

}  // namespace

TimestampCheck CheckTimestamp(const CMSG_SIGNER_INFO& signer, HCERTSTORE signatureStore,
                              const SignatureConfig& config, FILETIME& signingTime) {
    const CRYPT_ATTR_BLOB* timestamp = nullptr;
    bool legacy = false;
    size_t count = 0;
    for (DWORD i = 0; i < signer.UnauthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = signer.UnauthAttrs.rgAttr[i];
        if (attribute.pszObjId == nullptr) {
            continue;
        }
        const bool counterSignature = strcmp(attribute.pszObjId, szOID_RSA_counterSign) == 0;
        if (!counterSignature && strcmp(attribute.pszObjId, szOID_RFC3161_counterSign) != 0) {
            continue;
        }
        count += attribute.cValue;
        if (attribute.cValue > 0) {
            timestamp = &attribute.rgValue[0];
            legacy = counterSignature;
        }
    }
    if (count == 0) {
        return TimestampCheck::kNone;
    }
    // One signing time: several would leave the choice between them to whoever added them.
    if (count > 1) {
        return TimestampCheck::kRefused;
    }
    return legacy ? CheckCounterSignature(*timestamp, signer, signatureStore, config, signingTime)
                  : CheckToken(*timestamp, signer, config, signingTime);
}

}  // namespace internal
}  // namespace Tessel
