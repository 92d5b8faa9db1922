#!/usr/bin/env bash
# The install rehearsal with what a release ships: the release rehearsal's signed VrxRO.dll and
# vrxconf.exe (scripts/release.sh) in the packages.
#
# msi_signed_release.sh ROOT WORK
set -euo pipefail
root=$1 work=$2
bash "$root/scripts/release.sh" --no-build --out "$work/dist" >/dev/null
bash "$root/scripts/msi-rehearsal.sh" --release "$work/dist"
