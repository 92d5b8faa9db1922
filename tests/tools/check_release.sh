#!/usr/bin/env bash
# The release rehearsal (scripts/release.sh without a signer): it says it is one; its two
# executables carry signatures and timestamps that verify against the test root and not against
# another root; SHA256SUMS holds for all its files; its files are the build's; the signed DLL still
# passes the DLL's file checks; and an output folder holding anything else is left alone.
#
# check_release.sh ROOT BIN CA_DIR WORK BUDGET_KB [DELAY_LOADED_DLL...]
set -euo pipefail
root=$1 bin=$2 ca=$3 work=$4 budget=$5
shift 5
rm -rf "$work"
mkdir -p "$work"
dist=$work/dist failures=0
# check DESCRIPTION COMMAND...: runs the command, prints ok/FAILED with the description.
check() {
    local what=$1
    shift
    if "$@" >"$work/check.log" 2>&1; then
        echo "ok      $what"
    else
        echo "FAILED  $what"
        sed 's/^/        /' "$work/check.log"
        failures=$((failures + 1))
    fi
}
release() { bash "$root/scripts/release.sh" --no-build --out "$dist" >"$work/release.log" 2>&1; }
says_rehearsal() {
    grep -q '^release: REHEARSAL' "$work/release.log" && grep -q '^REHEARSAL' "$dist/BUILDINFO"
}
# verifies FILE ROOT_CA: the signature and its timestamp verify against that root alone.
verifies() {
    osslsigncode verify -CAfile "$2" -TSA-CAfile "$2" -in "$1" >"$work/verify.log" &&
        grep -q 'Subject: /CN=VrxRO Test Signing' "$work/verify.log" &&
        grep -q 'Subject: /CN=VrxRO Test Timestamping' "$work/verify.log" &&
        grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log"
}
refused() { ! verifies "$@"; }
sums_hold() {
    (cd "$dist" && sha256sum --strict --quiet -c SHA256SUMS) &&
        [ "$(cut -d' ' -f3 "$dist/SHA256SUMS" | sort | paste -sd' ')" = \
          "BUILDINFO VrxRO.dll VrxRO.dll.debug vrxconf.exe" ]
}
foreign_file_kept() {
    echo notes >"$dist/notes.txt"
    ! release && [ -f "$dist/notes.txt" ] && [ -f "$dist/VrxRO.dll" ]
}

check "the rehearsal runs" release
check "it says it is a rehearsal" says_rehearsal
for f in VrxRO.dll vrxconf.exe; do
    check "$f: signed by the test publisher, timestamped, both verified against the test root" \
        verifies "$dist/$f" "$ca/ca-root.pem"
    check "$f: refused against another root" refused "$dist/$f" "$ca/ca-other.pem"
done
check "SHA256SUMS holds for the three files and BUILDINFO" sums_hold
check "the signed files and the debug file are the build's" \
    bash "$root/scripts/compare-release.sh" "$dist" "$bin"
check "the signed DLL passes the size budget and the DLL's file checks" \
    /usr/bin/python3 "$root/tests/tools/check_lean_dll.py" "$dist/VrxRO.dll" "$budget" "$@"
check "an output folder holding another file is refused and left as it was" foreign_file_kept
rm -rf "$work"
[ "$failures" -eq 0 ]
