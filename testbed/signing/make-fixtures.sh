#!/usr/bin/env bash
# Makes the code-signing fixtures in the build tree: three test certification authorities, the
# code-signing certificates they issue, signed, unsigned and damaged copies of the sample module,
# signed copies of the validation-library stand-in, the trusted list, two cabinets, signed and
# unsigned copies of the settings-library stand-in, the auto-fill resource-library stand-ins, signed
# localisation-library stand-ins, and files carrying signatures taken from other files.
#
# make-fixtures.sh OUT SAMPLE LISTED VTP RC CC SETTINGS VLUTIL VLUTIL_PARTIAL RTMUI RTMUI_NO_ICON_EX
#   OUT     folder to fill (re-created)
#   SAMPLE  the sample module; LISTED the module the trusted list names; VTP the stand-in
#   RC, CC  the resource compiler and C compiler for the target (to build the trusted list)
#   SETTINGS  the settings-library stand-in VrxSet.dll
#   VLUTIL, VLUTIL_PARTIAL  the utility-library stand-ins VlUtil.dll (all exports; some missing)
#   RTMUI, RTMUI_NO_ICON_EX  the localisation-library stand-ins VlRtMui.dll (complete; one missing)
set -euo pipefail
out=$1 sample=$2 listed=$3 vtp=$4 rc=$5 cc=$6 settings=$7 vlutil=$8 vlutil_partial=$9
rtmui=${10} rtmui_no_icon_ex=${11}
craft() { python3 "$(dirname "$0")/craft-signatures.py" "$@"; }
work=$out/work
rm -rf "$out"
mkdir -p "$work" "$out/vtp" "$out/vtp-unsigned" "$out/vtp-wrong-publisher" \
  "$out/settings" "$out/settings-unsigned" "$out/autofill" "$out/autofill-unsigned" \
  "$out/autofill-empty"

ssl() { openssl "$@" 2>/dev/null; }

# ca NAME: a test certification authority from VRX_TEST_CA_DIR (made at configure time by
# make-test-ca.sh and shared by the build trees); its certificate is kept as NAME.der.
ca() {
  cp "$VRX_TEST_CA_DIR/$1.key" "$VRX_TEST_CA_DIR/$1.pem" "$work/"
  cp "$VRX_TEST_CA_DIR/$1.der" "$out/"
}

# leaf NAME SUBJECT CA: a code-signing certificate issued by CA; NAME.chain.pem holds it and CA.
leaf() {
  ssl req -new -newkey rsa:2048 -nodes -subj "/CN=$2" -keyout "$work/$1.key" -out "$work/$1.csr"
  printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=codeSigning" >"$work/$1.ext"
  ssl x509 -req -in "$work/$1.csr" -CA "$work/$3.pem" -CAkey "$work/$3.key" -CAcreateserial \
    -sha256 -days 3650 -extfile "$work/$1.ext" -out "$work/$1.pem"
  cat "$work/$1.pem" "$work/$3.pem" >"$work/$1.chain.pem"
}

# sign LEAF DIGEST IN OUT
sign() {
  osslsigncode sign -certs "$work/$1.chain.pem" -key "$work/$1.key" -h "$2" -in "$3" -out "$4" \
    >/dev/null
}

ca ca-root
ca ca-other
ca ca-untrusted
leaf publisher "VrxRO Test Signing" ca-root
leaf stranger "VrxRO Other Publisher" ca-root
leaf other-ca-publisher "VrxRO Test Signing" ca-other
leaf untrusted-publisher "VrxRO Test Signing" ca-untrusted

cp "$sample" "$out/unsigned.dll"
cp "$listed" "$out/listed.dll"
sign publisher sha256 "$sample" "$out/signed.dll"
sign publisher sha1 "$sample" "$out/sha1-signed.dll"
sign stranger sha256 "$sample" "$out/wrong-publisher.dll"
sign other-ca-publisher sha256 "$sample" "$out/other-ca.dll"
sign untrusted-publisher sha256 "$sample" "$out/untrusted-ca.dll"

# A signed copy whose signed content was changed afterwards: one character of its text.
python3 - "$out/signed.dll" "$out/tampered.dll" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
text = 'validation sample'.encode('utf-16-le')
at = data.find(text)
assert at > 0, 'sample text not found'
data[at] ^= 0x01
open(sys.argv[2], 'wb').write(data)
PY

cp "$vtp" "$out/vtp-unsigned/vlnvtpa.dll"
sign publisher sha256 "$vtp" "$out/vtp/vlnvtpa.dll"
sign stranger sha256 "$vtp" "$out/vtp-wrong-publisher/vlnvtpa.dll"

cp "$settings" "$out/settings-unsigned/VrxSet.dll"
sign publisher sha256 "$settings" "$out/settings/VrxSet.dll"

# The resource library VRXAutoFillRes.dll: a resource-only module whose "DBFILE" 101 holds a
# made-up database (with bytes that a text-mode write would change), signed and unsigned, and a
# signed one whose "DBFILE" 101 is empty. autofill.dat keeps the database for comparison.
python3 - "$out/autofill.dat" <<'PY'
import sys
data = b'VRXAF\x00\x1a\r\n\n\r\x00' + bytes((i * 7 + 3) & 0xFF for i in range(70000))
open(sys.argv[1], 'wb').write(data)
PY
: >"$work/empty.dat"
for db in "$out/autofill.dat" "$work/empty.dat"; do
  printf '101 DBFILE "%s"\n' "$db" >"$work/autofill.rc"
  "$rc" -O coff -i "$work/autofill.rc" -o "$work/autofill.o"
  "$cc" -shared -nostdlib -Wl,-e,0 -o "$work/$(basename "$db" .dat).dll" "$work/autofill.o"
done
cp "$work/autofill.dll" "$out/autofill-unsigned/VRXAutoFillRes.dll"
sign publisher sha256 "$work/autofill.dll" "$out/autofill/VRXAutoFillRes.dll"
sign publisher sha256 "$work/empty.dll" "$out/autofill-empty/VRXAutoFillRes.dll"

# The trusted list names listed.dll.
# trusted_list NAME FILE...: a list module naming the files.
trusted_list() {
  local name=$1; shift
  { echo "# Files accepted without a signature of their own: SHA-256 of the whole file."
    sha256sum "$@" | cut -d' ' -f1; } >"$work/$name.txt"
  printf 'TRUSTED_LIST RCDATA "%s"\n' "$work/$name.txt" >"$work/$name.rc"
  "$rc" -O coff -i "$work/$name.rc" -o "$work/$name.o"
  "$cc" -shared -nostdlib -Wl,-e,0 -o "$work/$name.dll" "$work/$name.o"
}
trusted_list trusted-list "$out/listed.dll"
sign publisher sha256 "$work/trusted-list.dll" "$out/trusted.js"
sign stranger sha256 "$work/trusted-list.dll" "$out/trusted-wrong-publisher.js"

# Signatures taken from other files: the accepted publisher's signature on the unsigned settings
# stand-in, its signed content carrying that file's digest; the sample signed by another publisher
# with the accepted publisher's signer copied in as a second signer; and a list that also names the
# unsigned sample, carrying the real list's signature.
craft transplant "$out/signed.dll" "$settings" "$out/transplanted.dll"
craft add-signer "$out/wrong-publisher.dll" "$out/signed.dll" "$out/second-signer.dll"
trusted_list forged-list "$out/listed.dll" "$out/unsigned.dll"
craft transplant "$out/trusted.js" "$work/forged-list.dll" "$out/trusted-transplanted.js"

# Cabinets: one holding only the listed module, one holding it and the unsigned module.
(cd "$out" && gcab -c -z "$out/listed.cab" listed.dll && gcab -c -z "$out/mixed.cab" listed.dll unsigned.dll)

# The utility library VlUtil.dll: signed, unsigned, and signed without some of its exports.
mkdir -p "$out/vlutil" "$out/vlutil-unsigned" "$out/vlutil-partial"
cp "$vlutil" "$out/vlutil-unsigned/VlUtil.dll"
sign publisher sha256 "$vlutil" "$out/vlutil/VlUtil.dll"
sign publisher sha256 "$vlutil_partial" "$out/vlutil-partial/VlUtil.dll"

# The localisation library VlRtMui.dll, signed (the unsigned builds stay in fixtures/rtmui*).
mkdir -p "$out/rtmui" "$out/rtmui-no-icon-ex"
sign publisher sha256 "$rtmui" "$out/rtmui/VlRtMui.dll"
sign publisher sha256 "$rtmui_no_icon_ex" "$out/rtmui-no-icon-ex/VlRtMui.dll"
rm -rf "$work"
