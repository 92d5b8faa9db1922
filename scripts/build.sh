#!/usr/bin/env bash
# Configures and builds both trees: build/win32 (the shipped DLL) and build/win64 (the same sources
# for x86_64), each with its tests and the stand-ins they drive; then build/win32-testtrust, the
# 32-bit DLL accepting the test publisher whose stand-ins lie beside it (for the demo and install
# rehearsals, never for release). All three sign and trust with the test authorities in
# build/test-ca.
#
# build.sh                     all three trees
# build.sh TREE [TARGET...]    one tree (win32, win64 or win32-testtrust), only TARGETs if named
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

# configure TREE: each tree's configuration. The toolchain is named only when the tree is made:
# CMake reads it then and warns that it went unused on every later run.
configure() {
    local dir=$VRX_BUILD/$1 arch=i686 options=(-DVRX_BUILD_TESTS=ON)
    case $1 in
    win32) ;;
    win64) arch=x86_64 ;;
    win32-testtrust) options=(-DVRX_TEST_TRUST=ON) ;;
    *) echo "build: no tree '$1' (win32, win64 or win32-testtrust)" >&2; return 2 ;;
    esac
    [ -f "$dir/CMakeCache.txt" ] ||
        options+=(-DCMAKE_TOOLCHAIN_FILE="$VRX_ROOT/cmake/toolchain-$arch-w64-mingw32.cmake")
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
        -DVRX_OPENSSL_ROOT="$VRX_DEPS/openssl-$arch" -DVRX_TEST_CA_DIR="$VRX_BUILD/test-ca" \
        "${options[@]}" >/dev/null
}
jobs=$(nproc)

if [ $# -gt 0 ]; then
    tree=$1
    shift
    configure "$tree"
    targets=()
    [ $# -eq 0 ] || targets=(--target "$@")
    cmake --build "$VRX_BUILD/$tree" -j "$jobs" "${targets[@]}"
    exit 0
fi

# Both trees build the tests and stand-ins: win32 is the shipped build and its suite runs first.
configure win32
configure win64
configure win32-testtrust
# clangd reads the tree's own build; builds elsewhere (VRX_BUILD) leave the link alone.
if [ "$VRX_BUILD" = "$VRX_ROOT/build" ]; then
    ln -sf build/win64/compile_commands.json compile_commands.json
fi
# The test-trust tree first: the win32 tree's install packages carry its DLL and stand-ins.
cmake --build "$VRX_BUILD/win32-testtrust" -j "$jobs" --target all vrx_signing_fixtures
cmake --build "$VRX_BUILD/win32" -j "$jobs"
cmake --build "$VRX_BUILD/win64" -j "$jobs"
