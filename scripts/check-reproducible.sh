#!/usr/bin/env bash
# Shows that the shipped files are reproducible: brings the build tree's shipped targets up to date,
# builds them a second time from a copy of the sources in a scratch folder, compiling everything
# anew (no compiler cache), and compares the two byte for byte. Both builds take the PE time stamp
# from SOURCE_DATE_EPOCH, by default the time of the last commit. Prints one line per file and,
# for a file that differs, where; exits 1 when one does.
#
# check-reproducible.sh [--tree win32|win64] [--dll-only] [--keep]
#   --tree      the shipped i686 tree (default) or its x86_64 twin
#   --dll-only  VrxRO.dll and its debug file only (builds only the DLL's target), not vrxconf.exe
#   --keep      keep the scratch folder and say where it is
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/env.sh"

tree=win32 targets=(VrxRO vrxconf) keep=0
while [ $# -gt 0 ]; do
    case $1 in
    --tree) tree=${2:?--tree needs win32 or win64}; shift ;;
    --dll-only) targets=(VrxRO) ;;
    --keep) keep=1 ;;
    *) vrx_usage "$0" ;;
    esac
    shift
done
case $tree in win32 | win64) ;; *) vrx_usage "$0" ;; esac
files=(VrxRO.dll VrxRO.dll.debug)
[ ${#targets[@]} -eq 1 ] || files+=(vrxconf.exe)

bash "$here/build.sh" "$tree" "${targets[@]}" >/dev/null
# The copy of the sources below is no git checkout: it is given the time stamp that the build
# tree takes from the last commit.
stamp=${SOURCE_DATE_EPOCH:-$(git -C "$VRX_ROOT" log -1 --format=%ct)}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vrxro-reproducible.XXXXXX")
if [ "$keep" = 1 ]; then
    trap 'echo "check-reproducible: the second build is in $scratch/src/build/$tree"' EXIT
else
    trap 'rm -rf "$scratch"' EXIT
fi
# The sources as the work tree holds them: its tracked files and the new ones it does not ignore.
mkdir "$scratch/src"
git -C "$VRX_ROOT" ls-files -z --cached --others --exclude-standard |
    tar -C "$VRX_ROOT" --null -T - --ignore-failed-read -cf - 2>/dev/null |
    tar -C "$scratch/src" -xf -
started=$(date +%s)
SOURCE_DATE_EPOCH=$stamp VRX_BUILD=$scratch/src/build CCACHE_DISABLE=1 \
    bash "$scratch/src/scripts/build.sh" "$tree" "${targets[@]}" >"$scratch/build.log" 2>&1 ||
    { tail -n 30 "$scratch/build.log" >&2; echo "check-reproducible: second build failed" >&2; exit 1; }
echo "check-reproducible: second build of $tree (${targets[*]}) in $scratch/src:" \
     "$(($(date +%s) - started)) s"

differ=0
for f in "${files[@]}"; do
    first=$VRX_BUILD/$tree/bin/$f second=$scratch/src/build/$tree/bin/$f
    if cmp -s "$first" "$second"; then
        echo "  identical  $f  sha256 $(sha256sum "$first" | cut -d' ' -f1)"
    else
        echo "  DIFFERENT  $f"
        /usr/bin/python3 "$here/pe_diff.py" "$first" "$second" | sed 's/^/      /'
        differ=1
    fi
done
if [ "$differ" = 0 ]; then
    echo "check-reproducible: $tree's shipped files are identical in both builds" \
         "(PE time stamp $stamp)"
fi
exit "$differ"
