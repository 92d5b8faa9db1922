#!/usr/bin/env bash
# Runs a Windows program in the test prefix; ctest uses it as the cross-compiling emulator.
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"
export WINEPREFIX=${WINEPREFIX:-$VRX_TEST_PREFIX} WINEDEBUG=${WINEDEBUG:--all}
exec "$WINE64" "$@"
