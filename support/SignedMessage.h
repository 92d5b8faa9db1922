// Reading signed messages (PKCS #7 and CMS) with CryptoAPI, for the signature and timestamp
// checks, and the few pieces of DER that the platform's decoder does not read everywhere (Wine's
// decodes no object identifier, algorithm identifier or time-stamp information on its own).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "support/FileSignature.h"
#include "support/UniqueAny.h"

namespace Tessel {
namespace internal {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool DecodeObject(const char* structType, const CRYPT_ATTR_BLOB& blob, std::vector<BYTE>& data);

// A SignerInfo (CMSG_SIGNER_INFO) decoded from its encoding.
bool DecodeSignerInfo(const CRYPT_ATTR_BLOB& encoded, std::vector<BYTE>& data);

// The value of an attribute that the set holds once, with one value; null otherwise.
const CRYPT_ATTR_BLOB* SingleAttributeValue(const CRYPT_ATTRIBUTES& attributes, const char* oid);

bool IsAcceptedDigest(const char* oid, const SignatureConfig& config);

// The length of the DER element at the start of `data` (header and contents) and the length of
// its header; false when the element is malformed or longer than `bytes`.
bool DerElement(const BYTE* data, size_t bytes, size_t& total, size_t& header);

struct DerSpan {
    const BYTE* data = nullptr;
    size_t bytes = 0;
};

// Reads the DER elements of a span one after another.
class CDerReader {
public:
    CDerReader(const BYTE* data, size_t bytes) : m_data(data), m_left(bytes) {}
    explicit CDerReader(DerSpan span) : CDerReader(span.data, span.bytes) {}

    // The next element: its tag, the whole element and its contents. False at the end or when
    // the element is malformed.
    bool Read(BYTE& tag, DerSpan& element, DerSpan& contents);
    // The contents of the next element, which must carry `tag`.
    bool Expect(BYTE tag, DerSpan& contents);
    bool AtEnd() const { return m_left == 0; }

private:
    const BYTE* m_data;
    size_t m_left;
};

// The dotted text of an encoded object identifier (the contents of its DER element).
bool OidText(DerSpan contents, std::string& text);

// A DER time: UTCTime (tag 0x17, years 1950 to 2049) or GeneralizedTime (tag 0x18, with an
// optional fraction of a second), both in UTC ('Z').
bool DerTimeToFileTime(BYTE tag, DerSpan text, FILETIME& time);

// A digest made with the platform's provider, for an algorithm named by its object identifier.
class CPlatformDigest {
public:
    bool Start(const char* oid);
    bool Add(const BYTE* data, size_t bytes);
    bool Finish(std::vector<BYTE>& digest);
    // Whether `signature` (RSA with PKCS #1 v1.5 padding, as encoded: most significant byte
    // first) signs the data added so far with the public key `key`. Ends the digest.
    bool SignedBy(const CERT_PUBLIC_KEY_INFO& key, const CRYPT_DATA_BLOB& signature);

private:
    UniqueCryptProv m_provider;
    UniqueCryptHash m_hash;
};

// The digest of `data` in the algorithm `oid` is `expected`.
bool DigestIs(const char* oid, const BYTE* data, size_t bytes, const CRYPT_DATA_BLOB& expected);

// The signer's authenticated message digest is the digest of `data` in the signer's algorithm.
bool MessageDigestIs(const CMSG_SIGNER_INFO& signer, const BYTE* data, size_t bytes);

// The signer's authenticated content type is the object identifier `oid`.
bool ContentTypeIs(const CMSG_SIGNER_INFO& signer, const char* oid);

// The certificate of `store` that the signer names by issuer and serial number.
UniqueCertContext FindSignerCertificate(HCERTSTORE store, const CMSG_SIGNER_INFO& signer);

// Builds the chain of `cert` for `usage` at `time` (now when null), `store` adding the
// certificates that came with a signature; true when it was built without any error status.
bool BuildCleanChain(PCCERT_CONTEXT cert, HCERTSTORE store, const char* usage, const FILETIME* time,
                     UniqueCertChain& chain);

// A decoded signed message of exactly one signer, and the certificates that came with it.
class CSignedMessage {
public:
    // False when `data` is not a signed message or does not have exactly one signer.
    bool Decode(const BYTE* data, size_t bytes);

    HCERTSTORE Certificates() const { return m_store.get(); }
    const CMSG_SIGNER_INFO& Signer() const {
        return *reinterpret_cast<const CMSG_SIGNER_INFO*>(m_signer.data());
    }
    // The inner content type is `oid`; `content` receives the content as the platform gives it.
    bool HasContent(const char* oid, std::vector<BYTE>& content) const;
    // The signer's signature verifies with the key of `cert`.
    bool SignatureVerifies(PCCERT_CONTEXT cert) const;

private:
    UniqueCryptMsg m_message;
    UniqueCertStore m_store;
    std::vector<BYTE> m_signer;
};

}  // namespace internal
}  // namespace Tessel
