#!/usr/bin/env bash
# Checks which build the rehearsal's packages carry: the test-trust tree's DLL and stand-ins when
# that tree holds a DLL, the shipped tree's otherwise; and that a package is rebuilt when the
# choice changes, although no file of the shipped tree did.
#
# check_msi_payload.sh TESTBED SHIPPED_BIN WORK
set -euo pipefail
testbed=$1 shipped=$2 work=$3
rm -rf "$work"
trust=$work/win32-testtrust/bin
failures=0

# A test-trust tree made up of the shipped tree's files, each DLL marked so that it differs.
make_testtrust() {
    mkdir -p "$trust/fixtures/signing/settings" "$trust/fixtures/signing/autofill"
    for f in VrxRO.dll fixtures/signing/settings/VrxSet.dll \
             fixtures/signing/autofill/VRXAutoFillRes.dll; do
        { cat "$shipped/$f"; printf 'test-trust'; } >"$trust/$f"
    done
}

# case NAME EXPECTED_KIND EXPECTED_BIN
case_() {
    local name=$1 kind=$2 bin=$3 out=$work/msi
    bash "$testbed/msi/build-packages.sh" "$out" "$testbed" "$shipped" "$trust" "$shipped" >/dev/null
    local got ok=1
    got=$(cut -f1 "$out/payload.txt")
    [ "$got" = "$kind" ] || { echo "$name: payload.txt says '$got', expected '$kind'"; ok=0; }
    for f in VrxRO.dll:VrxRO.dll VrxSet.dll:fixtures/signing/settings/VrxSet.dll \
             VRXAutoFillRes.dll:fixtures/signing/autofill/VRXAutoFillRes.dll; do
        cmp -s "$out/payload/${f%%:*}" "$bin/${f#*:}" ||
            { echo "$name: ${f%%:*} is not the one of $bin"; ok=0; }
    done
    for p in VrxRO-12.0 VrxRO VrxRO-missing-dll VrxRO-damaged-dll; do
        [ -s "$out/$p.msi" ] || { echo "$name: $p.msi not built"; ok=0; }
    done
    # The damaged DLL is the carried one cut short, so a loader refuses it.
    [ "$(wc -c <"$out/payload/VrxRO-damaged.dll")" -lt "$(wc -c <"$out/payload/VrxRO.dll")" ] ||
        { echo "$name: the damaged DLL is not cut short"; ok=0; }
    if [ "$ok" = 1 ]; then echo "ok      $name"; else failures=$((failures + 1)); fi
}

case_ "no test-trust tree: the shipped build" shipped "$shipped"
make_testtrust
case_ "a test-trust tree appears: its build" test-trust "$trust"
rm "$trust/VrxRO.dll"
case_ "a test-trust tree without its DLL: the shipped build" shipped "$shipped"
rm -rf "$work"
[ "$failures" -eq 0 ]
