#!/usr/bin/env bash
# Makes the test certification authorities of the signing fixtures, once: for each, its key
# (NAME.key), its certificate (NAME.pem, NAME.der). Every build tree configured with the same
# folder signs its fixtures with these authorities, so that a test-trust build, which pins the test
# root by its thumbprint at configure time, accepts the stand-ins of any of those trees.
#
# make-test-ca.sh OUT   (an authority whose three files are all in OUT is kept as it is)
set -euo pipefail
out=$1
mkdir -p "$out"

# ca NAME SUBJECT: a self-signed certification authority.
ca() {
  [ -f "$out/$1.key" ] && [ -f "$out/$1.pem" ] && [ -f "$out/$1.der" ] && return
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=$2" \
    -keyout "$out/$1.key" -out "$out/$1.pem" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    2>/dev/null
  openssl x509 -in "$out/$1.pem" -outform DER -out "$out/$1.der"
}

ca ca-root "VrxRO Test Root CA"
ca ca-other "VrxRO Other Test CA"
ca ca-untrusted "VrxRO Untrusted Test CA"

# tsa NAME SUBJECT CA: a timestamping authority issued by CA (time-stamping usage only, critical,
# as RFC 3161 asks), with the same three files.
tsa() {
  [ -f "$out/$1.key" ] && [ -f "$out/$1.pem" ] && [ -f "$out/$1.der" ] && return
  local work
  work=$(mktemp -d)
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=$2" -keyout "$work/key" -out "$work/csr" \
    2>/dev/null
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=critical,timeStamping" >"$work/ext"
  openssl x509 -req -in "$work/csr" -CA "$out/$3.pem" -CAkey "$out/$3.key" -CAcreateserial \
    -CAserial "$work/serial" -sha256 -days 3650 -extfile "$work/ext" -out "$work/pem" 2>/dev/null
  mv "$work/key" "$out/$1.key"
  openssl x509 -in "$work/pem" -outform DER -out "$out/$1.der"
  mv "$work/pem" "$out/$1.pem"
  rm -rf "$work"
}

tsa ca-tsa "VrxRO Test Timestamping" ca-root
