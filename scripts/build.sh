#!/usr/bin/env bash
# Configures and builds both trees: build/win32 (the shipped DLL) and build/win64 (the same sources
# for x86_64), each with its tests and the stand-ins they drive; then build/win32-testtrust, the
# 32-bit DLL accepting the test publisher whose stand-ins lie beside it (for the demo and install
# rehearsals, never for release). All three sign and trust with the test authorities in
# build/test-ca.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$VRX_ROOT"

# A compiler cache, when the machine has one, lets several work trees share compiled objects: paths
# below the tree's root are hashed relative to the build directory, and the directory itself is not.
launcher=()
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$VRX_ROOT} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# Both trees build the tests and stand-ins: win32 is the shipped build and its suite runs first.
configure() {
    local arch=$1 dir=$2
    shift 2
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake" \
        -DVRX_OPENSSL_ROOT="$VRX_DEPS/openssl-$arch" -DVRX_TEST_CA_DIR="$VRX_BUILD/test-ca" \
        "$@" >/dev/null
}
configure i686 "$VRX_BUILD/win32" -DVRX_BUILD_TESTS=ON
configure x86_64 "$VRX_BUILD/win64" -DVRX_BUILD_TESTS=ON
configure i686 "$VRX_BUILD/win32-testtrust" -DVRX_TEST_TRUST=ON
# clangd reads the tree's own build; builds elsewhere (VRX_BUILD) leave the link alone.
if [ "$VRX_BUILD" = "$VRX_ROOT/build" ]; then
    ln -sf build/win64/compile_commands.json compile_commands.json
fi
jobs=$(nproc)
# The test-trust tree first: the win32 tree's install packages carry its DLL and stand-ins.
cmake --build "$VRX_BUILD/win32-testtrust" -j "$jobs" --target all vrx_signing_fixtures
cmake --build "$VRX_BUILD/win32" -j "$jobs"
cmake --build "$VRX_BUILD/win64" -j "$jobs"
