#!/usr/bin/env bash
# Times SignalContentUpdate run through rundll32, as the installer runs it, against the
# update-manager stand-in, and prints min / median / max wall-clock milliseconds per case:
#   absent   no update manager: the date is written, the mutex cannot be opened (start-up cost);
#   ignore   a manager that never takes the request: the action polls the event to the end;
#   take     a manager that takes the request at once and holds its mutex for --hold ms.
# Usage: scripts/bench-signal.sh [runs per case, default 5] [hold ms for take, default 0]
# Measures the shipped 32-bit DLL through SysWOW64's rundll32 unless VRX_BENCH_BUILD=win64 names
# its x86_64 twin. Needs the built trees (scripts/build.sh). Runs in the test prefix, so
# not while the tests run; the product key it needs is removed again when it created it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/env.sh"
. "$here/wine-prefix.sh"

runs=${1:-5}
hold=${2:-0}
build=${VRX_BENCH_BUILD:-win32}
bin=$VRX_BUILD/$build/bin
if [ "$build" = win32 ]; then
    rundll32='C:\windows\syswow64\rundll32.exe'
    vrx_key='HKLM\SOFTWARE\Wow6432Node\Varlen\VRX'
else
    rundll32=rundll32
    vrx_key='HKLM\SOFTWARE\Varlen\VRX'
fi
standin=$bin/vrx_updmgr_standin.exe
dll="Z:${bin//\//\\}\\VrxRO.dll"
for f in "$bin/VrxRO.dll" "$standin"; do
    [ -f "$f" ] || { echo "bench: $f missing; run scripts/build.sh first" >&2; exit 1; }
done

work=$(mktemp -d)
manager_pid=
cleanup() {
    if [ -n "$manager_pid" ]; then kill "$manager_pid" 2>/dev/null || true; fi
    if [ "${created_key:-0}" = 1 ]; then
        "$WINE64" reg delete "$vrx_key" /f >/dev/null 2>&1 || true
    fi
    vrx_prefix_stop "$VRX_TEST_PREFIX"
    rm -rf "$work"
}
trap cleanup EXIT
vrx_prefix_start "$VRX_TEST_PREFIX"

# The date write needs the product key in the DLL's own view; create it only when it is missing.
created_key=0
if ! "$WINE64" reg query "$vrx_key" >/dev/null 2>&1; then
    "$WINE64" reg add "$vrx_key" /f >/dev/null 2>&1
    created_key=1
fi

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# start_manager MODE: starts the stand-in in the background and waits for its "ready" line.
start_manager() {
    : >"$work/manager.log"
    "$WINE64" "$standin" --mode "$1" --hold "$hold" --timeout 60000 --stop vrx-bench-stop \
        >"$work/manager.log" 2>&1 </dev/null &
    manager_pid=$!
    for _ in $(seq 200); do
        grep -q "ready" "$work/manager.log" && return 0
        sleep 0.05
    done
    echo "bench: the stand-in did not get ready:" >&2
    cat "$work/manager.log" >&2
    exit 1
}

# stop_manager EXPECTED: ends the stand-in and checks that it saw the request.
stop_manager() {
    "$WINE64" "$standin" --signal vrx-bench-stop >/dev/null 2>&1 || true
    local code=0
    wait "$manager_pid" || code=$?
    manager_pid=
    if [ "$code" != "$1" ]; then
        echo "bench: the stand-in ended with $code, expected $1:" >&2
        cat "$work/manager.log" >&2
        exit 1
    fi
}

time_action() {
    local start end
    start=$(now_ms)
    "$WINE64" "$rundll32" "$dll,SignalContentUpdate" </dev/null >/dev/null 2>&1
    end=$(now_ms)
    echo $((end - start))
}

report() {
    local name=$1; shift
    sorted=($(printf '%s\n' "$@" | sort -n))
    local n=${#sorted[@]}
    printf '%-8s runs=%d  min=%5d ms  median=%5d ms  max=%5d ms   (%s)\n' "$name" "$n" \
        "${sorted[0]}" "${sorted[$((n / 2))]}" "${sorted[$((n - 1))]}" "$*"
}

echo "SignalContentUpdate of $bin/VrxRO.dll through $rundll32 under $("$WINE64" --version), $runs runs per case"
declare -a absent ignore take
for _ in $(seq "$runs"); do
    absent+=("$(time_action)")
done
report absent "${absent[@]}"

for _ in $(seq "$runs"); do
    start_manager ignore
    ignore+=("$(time_action)")
    stop_manager 3
done
report ignore "${ignore[@]}"

for _ in $(seq "$runs"); do
    start_manager take
    take+=("$(time_action)")
    stop_manager 0
done
report take "${take[@]}"
