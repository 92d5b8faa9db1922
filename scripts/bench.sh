#!/usr/bin/env bash
# Benchmarks of what an installer waits on, for the shipped i686 DLL (build/win32/bin/VrxRO.dll)
# under Wine, each side by side with its floor in the same run, printing min / median / max and
# the ratio of the medians:
#   DLL load             LoadLibrary + FreeLibrary against an empty DLL, in one process;
#   file sink            records per second through the facade against a bare open/append/close;
#   ConvertUFilters      milliseconds per user for 1,000 and 10,000 users against a bare MSXML
#                        load plus the two transforms of the same documents, and the peak working
#                        set of the action and of the store's own walk at both sizes;
#   AdjustFiltLevel      10,000 users against the settings store's own walk of them;
#   SignalContentUpdate  rundll32 of the action (no update manager) against rundll32 of an export
#                        that does nothing.
# The two settings actions run through the library with the test-signed settings stand-in; the
# test root CAs are in the prefix's root store while they run.
# Usage: scripts/bench.sh [runs, default 7] [win32|win64]. Runs in the test prefix, so not while
# tests run. The tree defaults to the shipped win32 one; on a machine that cannot run 32-bit
# programs it falls back, saying so, to the x86_64 twin.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/env.sh"
. "$here/wine-prefix.sh"

runs=${1:-7}
arch=${2:-win32}
[ -f "$VRX_BUILD/$arch/build.ninja" ] || bash "$here/build.sh"
if [ "$arch" = win32 ] && ! "$here/wine-run.sh" "$VRX_BUILD/win32/bin/vrx_arch_probe.exe" \
    >/dev/null 2>&1; then
    echo "bench: this machine cannot run 32-bit Windows programs; measuring the x86_64 twin" >&2
    arch=win64
fi
tree=$VRX_BUILD/$arch
bin=$tree/bin
cmake -DVRX_BUILD_BENCH=ON "$tree" >/dev/null
cmake --build "$tree" --target VrxRO vrx_bench_empty vrx_bench_load vrx_bench_filesink \
    vrx_bench_convertufilters vrx_bench_adjustfiltlevel vrx_signing_fixtures vrx_test_roots >/dev/null

win() { echo "Z:${1//\//\\}"; }
roots=("$(win "$bin/fixtures/signing/ca-root.der")" "$(win "$bin/fixtures/signing/ca-other.der")")
if [ "$arch" = win32 ]; then
    vrx_key='HKLM\SOFTWARE\Wow6432Node\Varlen\VRX'
    rundll32='C:\windows\syswow64\rundll32.exe'
else
    vrx_key='HKLM\SOFTWARE\Varlen\VRX'
    rundll32='C:\windows\system32\rundll32.exe'
fi
created_key=0
roots_added=0
cleanup() {
    if [ "$roots_added" = 1 ]; then
        "$WINE64" "$bin/vrx_test_roots.exe" remove "${roots[@]}" >/dev/null 2>&1 || true
    fi
    if [ "$created_key" = 1 ]; then
        "$WINE64" reg delete "$vrx_key" /f >/dev/null 2>&1 || true
    fi
    vrx_prefix_stop "$VRX_TEST_PREFIX"
}
trap cleanup EXIT
vrx_prefix_start "$VRX_TEST_PREFIX"

echo "Benchmarks of $(win "$bin/VrxRO.dll") ($(stat -c %s "$bin/VrxRO.dll") bytes) under" \
    "$("$WINE64" --version), $(nproc) cores, $(date -u +%F)"
"$WINE64" "$bin/vrx_bench_load.exe" "$(win "$bin/VrxRO.dll")" "$(win "$bin/BenchEmpty.dll")" \
    "$runs" 20
"$WINE64" "$bin/vrx_bench_filesink.exe" "$runs" 500

"$WINE64" "$bin/vrx_test_roots.exe" add "${roots[@]}" >/dev/null
roots_added=1
for users in 1000 10000; do
    "$WINE64" "$bin/vrx_bench_convertufilters.exe" time "$users" "$runs"
done
for users in 1000 10000; do
    for what in action walk; do
        "$WINE64" "$bin/vrx_bench_convertufilters.exe" peak "$what" "$users"
    done
done
"$WINE64" "$bin/vrx_bench_adjustfiltlevel.exe" 10000 "$runs"

# SignalContentUpdate writes its date under the product key in the DLL's own view: create
# it only when it is missing.
if ! "$WINE64" reg query "$vrx_key" >/dev/null 2>&1; then
    "$WINE64" reg add "$vrx_key" /f >/dev/null 2>&1
    created_key=1
fi
run_ms() {
    local start end
    start=$(date +%s%N)
    "$WINE64" "$rundll32" "$1" </dev/null >/dev/null 2>&1
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}
summary() {
    local label=$1; shift
    local sorted=($(printf '%s\n' "$@" | sort -n))
    local n=${#sorted[@]}
    printf '%-34s min %10d  median %10d  max %10d  ms\n' "$label" "${sorted[0]}" \
        "${sorted[$((n / 2))]}" "${sorted[$((n - 1))]}" >&2
    echo "${sorted[$((n / 2))]}"
}
floor=() action=()
for _ in $(seq "$runs"); do
    floor+=("$(run_ms "$(win "$bin/BenchEmpty.dll"),Nothing")")
    action+=("$(run_ms "$(win "$bin/VrxRO.dll"),SignalContentUpdate")")
done
floor_median=$(summary "rundll32, export doing nothing" "${floor[@]}")
action_median=$(summary "rundll32, SignalContentUpdate" "${action[@]}")
printf '%-34s %d ms beyond the floor (target <= 50 ms), ratio %s\n' "SignalContentUpdate" \
    $((action_median - floor_median)) "$(awk "BEGIN{printf \"%.2fx\", $action_median/$floor_median}")"
