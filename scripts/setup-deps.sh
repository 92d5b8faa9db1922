#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, once:
# the mingw-w64 cross compilers, Wine, the cabinet maker and code signer used by tests,
# GoogleTest's sources, and OpenSSL's libcrypto cross-built for both mingw targets
# from Debian's own source package. Re-running it is cheap: every step checks first.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/env.sh"

packages=(cmake ninja-build clang-format g++-mingw-w64-i686 g++-mingw-w64-x86-64
          wine64 wine32:i386 gcab osslsigncode openssl googletest python3 python3-pefile
          dpkg-dev make perl wixl lua5.4 git)

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
if openssl_built x86_64 && openssl_built i686; then
  exit 0
fi

src_list=/etc/apt/sources.list.d/vrxro-deb-src.list
if ! grep -rqs '^deb-src .*bookworm main' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" |
    as_root tee "$src_list" >/dev/null
  as_root apt-get update -qq
fi

mkdir -p "$VRX_DEPS/src"
cd "$VRX_DEPS/src"
if ! ls -d openssl-*/ >/dev/null 2>&1; then
  echo "setup: fetching Debian's openssl source package"
  apt-get source --download-only openssl >/dev/null
  tar xf openssl_*.orig.tar.gz
fi
srcdir=$(ls -d "$VRX_DEPS"/src/openssl-*/ | head -n 1)

build_openssl() {
  local arch=$1 target=$2 prefix=$VRX_DEPS/openssl-$1
  openssl_built "$arch" && return 0
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
build_openssl x86_64 mingw64 &
build_openssl i686 mingw &
wait %1 && wait %2
openssl_built x86_64 && openssl_built i686
