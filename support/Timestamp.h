// The timestamp of an Authenticode signer: the legacy counter-signature (the unauthenticated
// attribute 1.2.840.113549.1.9.6) or the RFC 3161 time-stamp token (1.3.6.1.4.1.311.3.3.1). A
// timestamp proves when the signature existed, so the signer's chain may be judged at that time
// instead of now; only a timestamp that verifies in full gives a time, and one that does not makes
// the signature unacceptable (a forged time is an attack, not a missing time).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "support/FileSignature.h"

namespace Tessel {
namespace internal {

enum class TimestampCheck {
    kNone,      // the signer has no timestamp, or one made with a digest that is not accepted
    kVerified,  // `signingTime` holds the time its one timestamp proves
    kRefused,   // a timestamp that does not verify, or more than one
};

// A timestamp made with a digest algorithm that is not accepted (older authorities still
// counter-sign with SHA-1) proves nothing and gives no time: the signer's chain is then judged
// now, as without a timestamp, so a certificate that has not expired keeps its files accepted.
// Any other timestamp verifies when: it signs the digest of the
// signer's signature (the legacy form in its message digest attribute, with content type data;
// the token in its message imprint, its own message digest and content type covering its
// time-stamp information); its signature verifies with its signer's certificate; that certificate
// names the time-stamping usage 1.3.6.1.5.5.7.3.8, is valid at the claimed time, and its chain for
// that usage at that time ends in a trusted root without error. `signatureStore` holds the
// certificates that came with the signature (a token brings its own).
TimestampCheck CheckTimestamp(const CMSG_SIGNER_INFO& signer, HCERTSTORE signatureStore,
                              const SignatureConfig& config, FILETIME& signingTime);

}  // namespace internal
}  // namespace Tessel
