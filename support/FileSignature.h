// Authenticode checks of a file's embedded signature against the library's own acceptance rules:
// accepted digest algorithms, accepted publisher names and accepted certificates in the signer's
// chain for code signing.
#pragma once

#include <windows.h>

#include <array>
#include <string>
#include <vector>

namespace Tessel {

using Sha256Digest = std::array<BYTE, 32>;

// What the library accepts. The process-wide validator uses ProductionSignatureConfig(); tests
// give validators a configuration of their own.
struct SignatureConfig {
    // Display names (friendly display type) of the signers' certificates.
    std::vector<std::wstring> publisherNames;
    // Object identifiers of the signers' digest algorithms.
    std::vector<std::string> digestAlgorithms;
    // SHA-256 of the encoded certificates of which at least one must be in the signer's chain.
    std::vector<Sha256Digest> acceptedCertificates;
    // The trusted list; empty for its place under the common program files folder.
    std::wstring trustedListPath;
};

// The shipped configuration: the publisher names and certificates given at build time
// (VRX_ACCEPTED_PUBLISHERS, VRX_ACCEPTED_CERTIFICATES). A build without them validates nothing
// by signature.
const SignatureConfig& ProductionSignatureConfig();

// The signer part of the check, made in the library's own code from one reading of the file: the
// file is a PE image whose certificate table ends it and holds one PKCS #7 signed message with
// exactly one signer; the signed content carries the file's Authenticode digest in an accepted
// algorithm; the signer's authenticated message digest is that content's digest and its signature
// verifies with its certificate; its digest algorithm and publisher name are accepted; its chain
// for code signing (at the counter-signed signing time, or now) has no error and holds an accepted
// certificate; and the chain passes the Authenticode chain policy.
bool HasAcceptedSigner(const wchar_t* path, const SignatureConfig& config);

// WinVerifyTrust (generic verify v2) on the file without user interface or revocation checking,
// `providerFlags` added (WTD_CACHE_ONLY_URL_RETRIEVAL and the like); the trust state is closed
// afterwards. The verification's result.
LONG VerifyFileTrust(const wchar_t* path, DWORD providerFlags = 0);

// The full signature check: an accepted signer, and WinVerifyTrust accepts the file.
bool IsSignedByAcceptedPublisher(const wchar_t* path, const SignatureConfig& config);

// SHA-256 of a file's whole content; false when it cannot be read.
bool HashFile(const wchar_t* path, Sha256Digest& digest);

// SHA-256 of a block of bytes.
Sha256Digest HashBytes(const void* data, size_t bytes);

}  // namespace Tessel
