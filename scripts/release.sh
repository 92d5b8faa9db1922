#!/usr/bin/env bash
# Makes a release of the shipped i686 build in dist/: VrxRO.dll, its debug file VrxRO.dll.debug and
# vrxconf.exe, the DLL and vrxconf.exe signed (Authenticode, SHA-256) with an RFC 3161 timestamp;
# BUILDINFO, what a rebuild needs and the digests it must give; SHA256SUMS of all four. Each
# signature and timestamp is verified before the script says it is done.
#
# release.sh [SIGNER] [--ts URL]... [--ca-file FILE] [--out DIR] [--no-build]
#   SIGNER is one of
#     --cert FILE --key FILE      the publisher's certificate chain and private key (PEM or DER)
#     --pkcs12 FILE               both in one PKCS#12 file
#     --pkcs11-module MODULE --key URI (--cert FILE | --pkcs11-cert URI)   a key on a PKCS#11 token
#   --pass-file FILE  the password of the key or PKCS#12 file
#   --ts URL          the timestamping authority (several are tried in turn); needed with SIGNER
#   --ca-file FILE    the roots to verify the signatures against (default: the system's)
#   --out DIR         where to make the release (default dist/ of the source tree)
#   --no-build        take the files as build/win32 holds them (default: build them first)
# Without SIGNER the release is a REHEARSAL: signed by a test publisher "VrxRO Test Signing" issued
# by the test root of build/test-ca and timestamped by the test timestamping authority (osslsigncode
# stands in for its server), verified against that root. It says so, and is never to be shipped.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/env.sh"

signer=() pass=() authorities=() ca_file="" out=$VRX_ROOT/dist build=1
while [ $# -gt 0 ]; do
    case $1 in
    --cert) signer+=(-certs "${2:?}"); shift ;;
    --key) signer+=(-key "${2:?}"); shift ;;
    --pkcs12) signer+=(-pkcs12 "${2:?}"); shift ;;
    --pkcs11-module) signer+=(-pkcs11module "${2:?}"); shift ;;
    --pkcs11-cert) signer+=(-pkcs11cert "${2:?}"); shift ;;
    --pass-file) pass=(-readpass "${2:?}"); shift ;;
    --ts) authorities+=(-ts "${2:?}"); shift ;;
    --ca-file) ca_file=${2:?}; shift ;;
    --out) out=${2:?}; shift ;;
    --no-build) build=0 ;;
    *) vrx_usage "$0" ;;
    esac
    shift
done
fail() { echo "release: $*" >&2; exit 1; }

bin=$VRX_BUILD/win32/bin
files=(VrxRO.dll VrxRO.dll.debug vrxconf.exe)
signed=(VrxRO.dll vrxconf.exe)
made=("${files[@]}" BUILDINFO SHA256SUMS)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

commit=$(git -C "$VRX_ROOT" rev-parse HEAD)
dirty=$(git -C "$VRX_ROOT" status --porcelain --untracked-files=no)
if [ ${#signer[@]} -gt 0 ]; then
    rehearsal=0
    [ ${#authorities[@]} -gt 0 ] || fail "a release is timestamped: name an authority (--ts URL)"
    # Nobody could rebuild what a work tree holds but no commit does.
    [ -z "$dirty" ] || fail "the work tree has uncommitted changes; release a commit"
    verify_roots=()
    [ -z "$ca_file" ] || verify_roots=(-CAfile "$ca_file" -TSA-CAfile "$ca_file")
else
    rehearsal=1
    [ ${#authorities[@]} -eq 0 ] || fail "--ts needs a signer; a rehearsal uses the test authority"
    ca=$VRX_BUILD/test-ca
    bash "$VRX_ROOT/testbed/signing/make-test-ca.sh" "$ca"
    # The test publisher, issued by the test root for this rehearsal only.
    openssl req -new -newkey rsa:2048 -nodes -subj "/CN=VrxRO Test Signing" \
        -keyout "$work/publisher.key" -out "$work/publisher.csr" 2>/dev/null
    printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
        "extendedKeyUsage=codeSigning" >"$work/publisher.ext"
    openssl x509 -req -in "$work/publisher.csr" -CA "$ca/ca-root.pem" -CAkey "$ca/ca-root.key" \
        -CAcreateserial -CAserial "$work/serial" -sha256 -days 30 -extfile "$work/publisher.ext" \
        -out "$work/publisher.pem" 2>/dev/null
    cat "$work/publisher.pem" "$ca/ca-root.pem" >"$work/publisher-chain.pem"
    cat "$ca/ca-tsa.pem" "$ca/ca-root.pem" >"$work/tsa-chain.pem"
    signer=(-certs "$work/publisher-chain.pem" -key "$work/publisher.key")
    authorities=(-TSA-certs "$work/tsa-chain.pem" -TSA-key "$ca/ca-tsa.key" -TSA-time "$(date +%s)")
    verify_roots=(-CAfile "$ca/ca-root.pem" -TSA-CAfile "$ca/ca-root.pem")
    echo "release: REHEARSAL, signed by the test publisher and the test timestamping authority" \
         "of $ca: not for release"
fi

# The output folder holds nothing but a release: an earlier one is replaced, anything else refused.
mkdir -p "$out"
for f in "$out"/* "$out"/.[!.]*; do
    [ -e "$f" ] || continue
    printf '%s\n' "${made[@]}" | grep -qxF "$(basename "$f")" ||
        fail "$out holds $(basename "$f"), which is no part of a release; give another --out"
done
(cd "$out" && rm -f "${made[@]}")

if [ "$build" = 1 ]; then
    bash "$here/build.sh" win32 VrxRO vrxconf >/dev/null
fi
for f in "${files[@]}"; do
    [ -f "$bin/$f" ] || fail "$bin/$f is missing; build it (scripts/build.sh win32 VrxRO vrxconf)"
done

for f in "${signed[@]}"; do
    osslsigncode sign "${signer[@]}" "${pass[@]}" -h sha256 -n "Varlen Anti-Spam" \
        "${authorities[@]}" -in "$bin/$f" -out "$out/$f" >"$work/sign.log" 2>&1 ||
        { cat "$work/sign.log" >&2; fail "signing $f failed"; }
    osslsigncode verify "${verify_roots[@]}" -in "$out/$f" >"$work/verify.log" 2>&1 &&
        grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log" ||
        { cat "$work/verify.log" >&2; fail "the signature or timestamp of $f does not verify"; }
    echo "release: signed $f, timestamp $(sed -n 's/^\tTimestamp time: //p' "$work/verify.log")"
done
cp "$bin/VrxRO.dll.debug" "$out/"

pe_timestamp() {
    /usr/bin/python3 -c 'import pefile, sys
print(pefile.PE(sys.argv[1], fast_load=True).FILE_HEADER.TimeDateStamp)' "$1"
}
toolchain() {
    dpkg-query -W -f '${Package} ${Version}\n' g++-mingw-w64-i686-posix binutils-mingw-w64-i686 \
        mingw-w64-i686-dev 2>/dev/null | paste -sd ';' | sed 's/;/; /g'
}
openssl_source() { sed -n 's/^Version: //p' "$VRX_DEPS"/src/openssl_*.dsc 2>/dev/null | head -n 1; }
# The accepted signers the tree was configured with: a rebuild needs the same names and
# certificates (SHA-256 of each certificate's DER encoding, as the DLL pins them).
cached() { sed -n "s/^$1:[A-Z]*=//p" "$VRX_BUILD/win32/CMakeCache.txt"; }
accepted_signers() {
    local names certificates thumbprints=()
    names=$(cached VRX_ACCEPTED_PUBLISHERS) certificates=$(cached VRX_ACCEPTED_CERTIFICATES)
    [ -n "$names" ] || { echo "none configured"; return; }
    IFS=';' read -ra certificates <<<"$certificates"
    for c in "${certificates[@]}"; do
        local form=DER
        grep -q 'BEGIN CERTIFICATE' "$c" && form=PEM
        thumbprints+=("$(openssl x509 -in "$c" -inform $form -outform DER | sha256sum |
                         cut -d' ' -f1)")
    done
    echo "publishers \"$names\"; certificates ${thumbprints[*]}"
}
{
    if [ "$rehearsal" = 1 ]; then
        echo "REHEARSAL: signed by a test publisher and a test timestamping authority," \
             "not for release"
    fi
    echo "commit             $commit${dirty:+ with uncommitted changes}"
    echo "SOURCE_DATE_EPOCH  $(pe_timestamp "$bin/VrxRO.dll") (the PE time stamp)"
    echo "toolchain          $(toolchain)"
    echo "libcrypto          from Debian's source package openssl $(openssl_source)"
    echo "accepted signers   $(accepted_signers)"
    echo "As built, before signing (what scripts/build.sh gives for this commit):"
    (cd "$bin" && sha256sum "${signed[@]}")
} >"$out/BUILDINFO"
(cd "$out" && sha256sum "${files[@]}" BUILDINFO >SHA256SUMS)
echo "release: $out holds ${files[*]}, BUILDINFO and SHA256SUMS"
