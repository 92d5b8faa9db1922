# Shared locations for the project's scripts; sourced, never run.
VRX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Cross-built dependencies live outside the tree so that clean clones reuse them.
VRX_DEPS=${VRX_DEPS:-$HOME/.cache/vrxro-deps}
# Build trees: $VRX_BUILD/win32 (the shipped DLL) and $VRX_BUILD/win64 (tests run this one).
VRX_BUILD=${VRX_BUILD:-$VRX_ROOT/build}
# The test prefix belongs to the build tree; the demo gets a prefix of its own.
VRX_TEST_PREFIX=${VRX_TEST_PREFIX:-$VRX_BUILD/wineprefix-test}
VRX_DEMO_PREFIX=${VRX_DEMO_PREFIX:-$VRX_BUILD/wineprefix-demo}
WINE64=${WINE64:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
WINESERVER64=${WINESERVER64:-$(command -v wineserver64 || echo /usr/lib/wine/wineserver64)}
export VRX_ROOT VRX_BUILD VRX_DEPS VRX_TEST_PREFIX VRX_DEMO_PREFIX WINE64 WINESERVER64

# vrx_usage SCRIPT: prints the script's opening comment, its usage, and exits 2 (bad arguments).
vrx_usage() { sed -n '2,/^set -e/p' "$1" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
