#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, once:
# the mingw-w64 cross compilers, Wine, the cabinet maker and code signer used by tests,
# GoogleTest's sources, clang for the fuzz build, OpenSSL's libcrypto cross-built for both mingw
# targets and libFuzzer's runtime built for the x86_64 one (the one this machine's tests run), each
# from Debian's own source package. Re-running it is cheap: every step checks first.
# VRX_FUZZ_ARCHES names the targets libFuzzer is built for (default x86_64; "x86_64 i686" both).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/env.sh"

packages=(cmake ninja-build clang-format g++-mingw-w64-i686 g++-mingw-w64-x86-64
          wine64 wine32:i386 gcab osslsigncode openssl googletest python3 python3-pefile
          dpkg-dev make perl wixl lua5.4 git clang-14)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# The shipped DLL is 32-bit: Wine runs it as a WoW64 process of a 64-bit prefix, which needs
# Debian's i386 Wine beside the 64-bit one.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture for 32-bit Wine"
  as_root dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# OpenSSL: Debian ships no mingw build, so build libcrypto from the distribution's
# source package and keep it outside the tree, keyed by target and configuration.
# The library only calls the low-level digests. libcrypto must never read a configuration file:
# no automatic load, and its data folders point at an admin-only Windows folder instead of this
# machine's build paths (which would be a user-creatable folder on the customer's current drive).
openssl_options=(no-shared no-tests no-ssl no-engine no-dso no-module no-autoload-config)
openssl_dirs=(OPENSSLDIR=C:/Windows/System32/ssl ENGINESDIR=C:/Windows/System32/ssl
              MODULESDIR=C:/Windows/System32/ssl)
openssl_stamp="${openssl_options[*]} ${openssl_dirs[*]}"
openssl_built() {
  [ -f "$VRX_DEPS/openssl-$1/lib/libcrypto.a" ] &&
    [ "$(cat "$VRX_DEPS/openssl-$1/configuration" 2>/dev/null)" = "$openssl_stamp" ]
}

# Debian's source packages: the deb-src line goes into a file of its own.
enable_deb_src() {
  grep -rqs '^deb-src .*bookworm main' /etc/apt/sources.list /etc/apt/sources.list.d/ && return 0
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" |
    as_root tee "$src_list" >/dev/null
  as_root apt-get update -qq
}
src_list=/etc/apt/sources.list.d/vrxro-deb-src.list
mkdir -p "$VRX_DEPS/src"

build_openssl() {
  local arch=$1 target=$2 prefix=$VRX_DEPS/openssl-$1 srcdir
  openssl_built "$arch" && return 0
  srcdir=$(ls -d "$VRX_DEPS"/src/openssl-*/ | head -n 1)
  echo "setup: building libcrypto for $arch (a few minutes)"
  local work=$VRX_DEPS/build-openssl-$arch
  rm -rf "$work" && cp -a "$srcdir" "$work"
  (cd "$work" &&
   ./Configure "$target" "${openssl_options[@]}" \
       --cross-compile-prefix="$arch-w64-mingw32-" --prefix="$prefix" >"$work.log" 2>&1 &&
   make -j"$(nproc)" "${openssl_dirs[@]}" build_libs >>"$work.log" 2>&1) ||
    { tail -n 30 "$work.log"; return 1; }
  rm -rf "$prefix"
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$work/libcrypto.a" "$prefix/lib/"
  cp -r "$work/include/openssl" "$prefix/include/"
  echo "$openssl_stamp" >"$prefix/configuration"
  rm -rf "$work" "$work.log"
}
if ! openssl_built x86_64 || ! openssl_built i686; then
  enable_deb_src
  if ! ls -d "$VRX_DEPS"/src/openssl-*/ >/dev/null 2>&1; then
    echo "setup: fetching Debian's openssl source package"
    (cd "$VRX_DEPS/src" && apt-get source --download-only openssl >/dev/null &&
     tar xf openssl_*.orig.tar.gz)
  fi
  build_openssl x86_64 mingw64 &
  build_openssl i686 mingw &
  wait %1 && wait %2
  openssl_built x86_64 && openssl_built i686
fi

# libFuzzer: the coverage-guided engine of the fuzz build (scripts/fuzz.sh). Debian builds its
# runtime for Linux only, so its sources are taken from Debian's llvm-toolchain-14 source package
# (only compiler-rt/lib/fuzzer is unpacked) and compiled with Debian's clang for each mingw target.
# The fuzz targets are linked with it; nothing of it enters the tree. The files for other systems
# compile to nothing.
llvm_source=llvm-toolchain-14
# -femulated-tls: thread-local variables as GCC's libstdc++ keeps them.
fuzzer_flags=(-O2 -fno-omit-frame-pointer -std=c++17 -femulated-tls)
fuzzer_stamp() {
  echo "$(cat "$VRX_DEPS/src/$llvm_source.version" 2>/dev/null) $(clang++-14 --version | head -n 1) ${fuzzer_flags[*]}"
}
fuzzer_built() {
  [ -f "$VRX_DEPS/libfuzzer-$1/libFuzzer.a" ] &&
    [ "$(cat "$VRX_DEPS/libfuzzer-$1/configuration" 2>/dev/null)" = "$(fuzzer_stamp)" ]
}
build_fuzzer() {
  local arch=$1 prefix=$VRX_DEPS/libfuzzer-$1 gcc=/usr/lib/gcc/$1-w64-mingw32/12-posix
  fuzzer_built "$arch" && return 0
  echo "setup: building libFuzzer's runtime for $arch"
  local work=$VRX_DEPS/build-libfuzzer-$arch source
  rm -rf "$work" && mkdir -p "$work"
  for source in "$VRX_DEPS"/src/llvm-fuzzer/*/compiler-rt/lib/fuzzer/Fuzzer*.cpp; do
    clang++-14 --target="$arch-w64-mingw32" --sysroot="/usr/$arch-w64-mingw32" -nostdinc++ \
        -isystem "$gcc/include/c++" -isystem "$gcc/include/c++/$arch-w64-mingw32" \
        -isystem "$gcc/include/c++/backward" "${fuzzer_flags[@]}" \
        -c "$source" -o "$work/$(basename "$source" .cpp).o" 2>>"$work.log" ||
      { tail -n 30 "$work.log"; return 1; }
  done
  rm -rf "$prefix" && mkdir -p "$prefix"
  "$arch-w64-mingw32-ar" rcs "$prefix/libFuzzer.a" "$work"/*.o
  fuzzer_stamp >"$prefix/configuration"
  rm -rf "$work" "$work.log"
}
fuzz_arches=(${VRX_FUZZ_ARCHES:-x86_64})
need_fuzzer=0
for arch in "${fuzz_arches[@]}"; do fuzzer_built "$arch" || need_fuzzer=1; done
if [ "$need_fuzzer" = 1 ] && ! ls -d "$VRX_DEPS"/src/llvm-fuzzer/*/compiler-rt/lib/fuzzer >/dev/null 2>&1; then
  enable_deb_src
  echo "setup: fetching Debian's $llvm_source source package (about 130 MB, once)"
  (cd "$VRX_DEPS/src" && apt-get source --download-only "$llvm_source" >/dev/null &&
   mkdir -p llvm-fuzzer &&
   tar xf "$llvm_source"_*.orig.tar.xz -C llvm-fuzzer --wildcards '*/compiler-rt/lib/fuzzer/*' &&
   ls "$llvm_source"_*.dsc | sed -e "s/^${llvm_source}_//" -e 's/\.dsc$//' >"$llvm_source.version" &&
   rm -f "$llvm_source"_*.orig*.tar.* "$llvm_source"_*.debian.tar.*)
fi
for arch in "${fuzz_arches[@]}"; do build_fuzzer "$arch"; done
