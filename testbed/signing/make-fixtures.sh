#!/usr/bin/env bash
# Makes the code-signing fixtures in the build tree: three test certification authorities, the
# code-signing certificates they issue, signed, unsigned and damaged copies of the sample module,
# signed copies of the validation-library stand-in, the trusted list, two cabinets, signed and
# unsigned copies of the settings-library stand-in, the auto-fill resource-library stand-ins, signed
# localisation-library stand-ins, files carrying signatures taken from other files, and files
# signed with a certificate that has expired, with genuine and forged timestamps.
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
ca ca-tsa
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

# Timestamps. The sample and the trusted list are signed by the accepted publisher with a
# certificate that expired two seconds before now, and carry timestamps dated a second before
# that: inside the validity of that certificate, of the test root and of the test timestamping
# authority. Those two were made when the build tree was configured, perhaps this very second: the
# claimed time must not come before them.
not_before() {
  date -u -d "$(openssl x509 -in "$work/$1.pem" -noout -startdate | cut -d= -f2)" +%s
}
made=$(not_before ca-root)
[ "$(not_before ca-tsa)" -gt "$made" ] && made=$(not_before ca-tsa)
while [ "$(date -u +%s)" -lt $((made + 3)) ]; do sleep 1; done
now=$(date -u +%s)
stamped=$((now - 3))

# dated NAME SUBJECT ISSUER FROM UNTIL [EXTENSION...]: a certificate valid from FROM to UNTIL (Unix
# times) issued by ISSUER (an authority in $work, or "self"), with key NAME.key; NAME.chain.pem
# holds it and its issuer. OpenSSL 3.0's x509 command sets no dates: its ca command does.
dated() {
  local name=$1 subject=$2 issuer=$3 from=$4 until=$5 db=$work/db-$1
  shift 5
  mkdir -p "$db"
  : >"$db/index"
  { printf '%s\n' "[ca]" "default_ca = dated" "[dated]" "database = $db/index" \
      "new_certs_dir = $db" "serial = $db/serial" "default_md = sha256" "policy = any" \
      "unique_subject = no" "[any]" "commonName = supplied" "[extensions]" \
      "basicConstraints = critical,CA:FALSE" "keyUsage = critical,digitalSignature"
    printf '%s\n' "$@"; } >"$db/cnf"
  openssl rand -hex 8 >"$db/serial"
  ssl req -new -newkey rsa:2048 -nodes -subj "/CN=$subject" -keyout "$work/$name.key" \
    -out "$db/csr"
  local signer=(-cert "$work/$issuer.pem" -keyfile "$work/$issuer.key")
  [ "$issuer" = self ] && signer=(-selfsign -keyfile "$work/$name.key")
  ssl ca -batch -notext -config "$db/cnf" -extensions extensions "${signer[@]}" -in "$db/csr" \
    -startdate "$(date -u -d "@$from" +%Y%m%d%H%M%SZ)" \
    -enddate "$(date -u -d "@$until" +%Y%m%d%H%M%SZ)" -out "$work/$name.pem"
  cat "$work/$name.pem" >"$work/$name.chain.pem"
  [ "$issuer" = self ] || cat "$work/$issuer.pem" >>"$work/$name.chain.pem"
}
day=86400 decade=$((3650 * 86400))
dated expired-publisher "VrxRO Test Signing" ca-root $((now - day)) $((now - 2)) \
  "extendedKeyUsage = codeSigning"
# A timestamping authority of the attacker's own making, one under the test root without the
# time-stamping usage, and one under the test root whose validity starts after the claimed time.
dated self-tsa "VrxRO Test Timestamping" self $((now - day)) $((now + decade)) \
  "extendedKeyUsage = critical,timeStamping"
dated no-usage-tsa "VrxRO Test Timestamping" ca-root $((now - day)) $((now + decade))
dated late-tsa "VrxRO Test Timestamping" ca-root "$now" $((now + decade)) \
  "extendedKeyUsage = critical,timeStamping"

# rfc3161 LEAF TSA IN OUT: signed by LEAF with an RFC 3161 token from the built-in authority of
# osslsigncode, dated $stamped.
rfc3161() {
  osslsigncode sign -certs "$work/$1.chain.pem" -key "$work/$1.key" -h sha256 \
    -TSA-certs "$work/$2.pem" -TSA-key "$work/$2.key" -TSA-time "$stamped" -in "$3" -out "$4" \
    >/dev/null
}
ca_tsa=("$work/ca-tsa.pem" "$work/ca-tsa.key" "$stamped")
sign expired-publisher sha256 "$sample" "$out/expired.dll"
craft countersign valid "$out/expired.dll" "${ca_tsa[@]}" "$out/expired-countersigned.dll"
rfc3161 expired-publisher ca-tsa "$sample" "$out/expired-rfc3161.dll"
# The genuine ones verify with another implementation as well.
for genuine in expired-countersigned.dll expired-rfc3161.dll; do
  osslsigncode verify -in "$out/$genuine" -CAfile "$work/ca-root.pem" \
    -TSA-CAfile "$work/ca-root.pem" >/dev/null 2>&1 ||
    { echo "make-fixtures: osslsigncode does not verify $genuine" >&2; exit 1; }
done
# Legacy counter-signatures that give no signing time: made by the attacker's own authority,
# random bytes for a signature, an authority without the time-stamping usage, a time before the
# authority's certificate began, the digest of other bytes than the signer's signature.
craft countersign valid "$out/expired.dll" "$work/self-tsa.pem" "$work/self-tsa.key" "$stamped" \
  "$out/countersigned-self-made-tsa.dll"
craft countersign random-signature "$out/expired.dll" "${ca_tsa[@]}" \
  "$out/countersigned-random-signature.dll"
craft countersign valid "$out/expired.dll" "$work/no-usage-tsa.pem" "$work/no-usage-tsa.key" \
  "$stamped" "$out/countersigned-no-usage-tsa.dll"
craft countersign valid "$out/expired.dll" "$work/late-tsa.pem" "$work/late-tsa.key" "$stamped" \
  "$out/countersigned-late-tsa.dll"
craft countersign other-signature "$out/expired.dll" "${ca_tsa[@]}" \
  "$out/countersigned-other-signature.dll"
# RFC 3161 tokens that give none: the token of another signature (the settings stand-in's), one
# signed by the publisher's own certificate, one naming the test authority but signed with another
# key, one from the attacker's own authority, one whose time was changed afterwards; and a signer
# with two timestamps.
rfc3161 expired-publisher ca-tsa "$settings" "$work/settings-rfc3161.dll"
craft move-timestamps "$work/settings-rfc3161.dll" "$out/expired.dll" \
  "$out/rfc3161-other-signature.dll"
craft resign-token "$out/expired-rfc3161.dll" "$work/expired-publisher.pem" \
  "$work/expired-publisher.key" "$out/rfc3161-publisher-signed.dll"
craft resign-token "$out/expired-rfc3161.dll" "$work/ca-tsa.pem" "$work/expired-publisher.key" \
  "$out/rfc3161-wrong-key.dll"
rfc3161 expired-publisher self-tsa "$sample" "$out/rfc3161-self-made-tsa.dll"
craft alter-token-time "$out/expired-rfc3161.dll" "$out/rfc3161-altered-time.dll"
craft countersign valid "$out/expired-rfc3161.dll" "${ca_tsa[@]}" "$out/two-timestamps.dll"
# A forged counter-signature on a certificate that has not expired.
craft countersign random-signature "$out/signed.dll" "${ca_tsa[@]}" \
  "$out/signed-random-countersignature.dll"
# Genuine counter-signatures made with SHA-1, which is not an accepted digest: on a certificate
# that has not expired and on the expired one.
craft countersign sha1 "$out/signed.dll" "${ca_tsa[@]}" "$out/signed-sha1-countersigned.dll"
craft countersign sha1 "$out/expired.dll" "${ca_tsa[@]}" "$out/expired-sha1-countersigned.dll"
# The trusted list signed by the expired certificate: without a timestamp, with either kind, and
# with a forged counter-signature.
sign expired-publisher sha256 "$work/trusted-list.dll" "$out/trusted-expired.js"
craft countersign valid "$out/trusted-expired.js" "${ca_tsa[@]}" \
  "$out/trusted-expired-countersigned.js"
rfc3161 expired-publisher ca-tsa "$work/trusted-list.dll" "$out/trusted-expired-rfc3161.js"
craft countersign random-signature "$out/trusted-expired.js" "${ca_tsa[@]}" \
  "$out/trusted-expired-random-countersignature.js"

# The localisation library VlRtMui.dll, signed (the unsigned builds stay in fixtures/rtmui*).
mkdir -p "$out/rtmui" "$out/rtmui-no-icon-ex"
sign publisher sha256 "$rtmui" "$out/rtmui/VlRtMui.dll"
sign publisher sha256 "$rtmui_no_icon_ex" "$out/rtmui-no-icon-ex/VlRtMui.dll"
rm -rf "$work"
