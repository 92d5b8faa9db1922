#!/usr/bin/env bash
# Whether a release holds the files that a build gave: a signed file is compared by what its
# Authenticode signature covers (the file without its signature, its padding and the header's
# checksum), the debug file byte for byte. Prints one line per file; exits 1 when one differs.
#
# compare-release.sh DIST [BIN]   (BIN: default build/win32/bin)
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"
[ $# -ge 1 ] && [ $# -le 2 ] || vrx_usage "$0"
dist=$1 bin=${2:-$VRX_BUILD/win32/bin}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# signed_content FILE OUT: the SHA-256 Authenticode content of FILE, signed or not (OUT must not
# exist: osslsigncode overwrites nothing).
signed_content() { osslsigncode extract-data -h sha256 -in "$1" -out "$2" >/dev/null; }

differ=0
for f in VrxRO.dll vrxconf.exe VrxRO.dll.debug; do
    case $f in
    *.debug) cmp -s "$dist/$f" "$bin/$f" && same=1 || same=0 ;;
    *) signed_content "$dist/$f" "$work/$f.released" && signed_content "$bin/$f" "$work/$f.built" &&
           cmp -s "$work/$f.released" "$work/$f.built" && same=1 || same=0 ;;
    esac
    if [ "$same" = 1 ]; then
        echo "  same       $f"
    else
        echo "  DIFFERENT  $f (release $dist, build $bin)"
        differ=1
    fi
done
exit "$differ"
