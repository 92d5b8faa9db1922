#!/usr/bin/env bash
# Runs a Windows program in the test prefix; ctest uses it as the cross-compiling emulator.
# A failing run names its exit status on stderr: a program that dies before flushing its output
# would otherwise leave nothing to go by.
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"
export WINEPREFIX=${WINEPREFIX:-$VRX_TEST_PREFIX} WINEDEBUG=${WINEDEBUG:--all}
status=0
"$WINE64" "$@" || status=$?
if [ "$status" -ne 0 ]; then
    printf 'wine-run: %s exited with status %d (0x%08x)\n' "$1" "$status" "$status" >&2
fi
exit "$status"
