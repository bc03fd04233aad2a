#!/usr/bin/env bash
# Builds the decoders' C libraries for the release wheel: Debian bookworm's
# source packages, the releases behind the -dev packages that source builds
# use (so both builds decode the same content to the same bytes), compiled
# as static, position-independent libraries with the release toolchain (zig
# cc for glibc 2.28) and their symbols hidden, into a prefix that CMake
# reads through pkg-config (-DBATCHAUGMENTOR_DECODERS_PREFIX=ROOT/prefix).
#
#   ZIG=/path/to/zig tools/static-decoders.sh ROOT
#
# ROOT/prefix is reused as long as this file, zig and the target stay the
# same; downloads stay in ROOT/sources. Each package is fetched with apt-get
# source at a pinned version into a private apt state (the system's apt
# configuration is not touched), its .dsc checked against a pinned SHA-256,
# and dpkg-source checks the tarballs against the .dsc and applies Debian's
# patches. Needs apt-get, dpkg-source (Debian: dpkg-dev), nasm (libjpeg-
# turbo's SIMD code), make, and CMAKE and NINJA (default: from PATH).
set -euo pipefail

# One line a library, in build order (libpng needs zlib). A pinned version
# leaves bookworm when Debian replaces it in a point release: then take the
# new version and its .dsc's SHA-256 from `apt-cache showsrc PACKAGE` (after
# a deb-src line for bookworm) and check the licence files again.
#
# name          Debian source  Debian version       SHA-256 of the .dsc                                               licence texts
LIBRARIES="
zlib            zlib           1:1.2.13.dfsg-1      3fa1e6b2fc525062aa88207dda52fed8e045373c809d362fe8a2bfbf7cf515a8  LICENSE
libdeflate      libdeflate     1.14-1               1f82791c5ac5623ed110e09cc991471deebfe4c419414392d1242e122c6f4c19  COPYING
libjpeg-turbo   libjpeg-turbo  1:2.1.5-2            d718ead0dfbcbc8523665c02a7f7152e31039ded641d022868722623bb3b486d  LICENSE.md,README.ijg
libpng          libpng1.6      1.6.39-2+deb12u5     7b86211030a34deb6b0a2cd7e1d9db0fe92443fd30cab537fb89b1e7f7c9f188  LICENSE
libwebp         libwebp        1.2.4-0.2+deb12u1    d9ed0b59e2010f255c28d0869fd15b31f9b08aed757bfc91862d43aa9ec1aa99  COPYING,PATENTS
"
TARGET=${BA_ZIG_TARGET:-x86_64-linux-gnu.2.28}
MIRROR=${BA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
JOBS=${JOBS:-2}
CMAKE=${CMAKE:-cmake}
NINJA=${NINJA:-ninja}

die() { echo "static-decoders: $*" >&2; exit 1; }

[ $# -eq 1 ] || die "usage: ZIG=/path/to/zig $0 ROOT"
[ -n "${ZIG:-}" ] && [ -x "$ZIG" ] || die "set ZIG to a zig executable"
for tool in apt-get dpkg-source nasm make "$CMAKE" "$NINJA"; do
  command -v "$tool" >/dev/null || die "no $tool on PATH (Debian: apt-get install dpkg-dev nasm make)"
done
mkdir -p "$1"
root=$(cd "$1" && pwd)
prefix=$root/prefix
key=$( { sha256sum "$0" | cut -d' ' -f1; "$ZIG" version; echo "$TARGET"; } | sha256sum | cut -d' ' -f1)
if [ -f "$prefix/.key" ] && [ "$(cat "$prefix/.key")" = "$key" ]; then
  echo "static-decoders: $prefix is up to date"
  exit 0
fi

# Fetching: a private apt state under ROOT with only bookworm's sources.
apt_state=$root/apt
apt_opts=(-o "Dir::Etc::SourceList=$apt_state/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$apt_state/lists" -o "Dir::Cache=$apt_state/cache" -o APT::Sandbox::User=root)
apt_ready=""
apt_update() {
  [ -z "$apt_ready" ] || return 0
  mkdir -p "$apt_state/lists/partial" "$apt_state/cache/archives/partial"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $MIRROR bookworm main" \
    >"$apt_state/sources.list"
  apt-get "${apt_opts[@]}" -qq update
  apt_ready=1
}

# fetch SOURCE VERSION SHA256: the .dsc and its files into ROOT/sources;
# sets dsc to the .dsc's path.
fetch() {
  local source=$1 version=$2 sha=$3
  dsc=$root/sources/${source}_${version#*:}.dsc
  if [ ! -f "$dsc" ] || ! echo "$sha  $dsc" | sha256sum --quiet -c - 2>/dev/null; then
    mkdir -p "$root/sources"
    apt_update
    (cd "$root/sources" && apt-get "${apt_opts[@]}" -qq source --download-only "$source=$version") \
      || die "cannot fetch $source $version from bookworm; if Debian replaced it, update the table in $0"
  fi
  echo "$sha  $dsc" | sha256sum --quiet -c - || die "$dsc is not the pinned one (SHA-256 $sha)"
}

# The release toolchain as plain programs, for CMake and make alike. The
# libraries install into the prefix itself (their .pc files name it); the
# key written last marks it complete.
work=$root/work
rm -rf "$work" "$prefix"
mkdir -p "$work/bin" "$prefix"
printf '#!/bin/sh\nexec "%s" cc -target %s "$@"\n' "$ZIG" "$TARGET" >"$work/bin/cc"
printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$ZIG" >"$work/bin/ar"
printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$ZIG" >"$work/bin/ranlib"
chmod +x "$work/bin/"*
CC=$work/bin/cc
AR=$work/bin/ar
RANLIB=$work/bin/ranlib
# Hidden symbols: the module exports its PyInit_ functions, not the
# libraries' API. libwebp marks its API visible unless WEBP_EXTERN is given.
CFLAGS="-O2 -fPIC -fvisibility=hidden -DWEBP_EXTERN=extern"

cmake_build() {
  local name=$1 src=$2
  shift 2
  # CMAKE_POLICY_VERSION_MINIMUM: these releases ask for CMake versions that
  # CMake 4 no longer emulates; their scripts work under 3.5's rules.
  "$CMAKE" -S "$src" -B "$work/build-$name" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
    -DCMAKE_C_COMPILER="$CC" -DCMAKE_AR="$AR" -DCMAKE_RANLIB="$RANLIB" -DCMAKE_C_FLAGS="$CFLAGS" \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR="$prefix/lib" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF "$@"
  "$CMAKE" --build "$work/build-$name" -j "$JOBS"
  "$CMAKE" --install "$work/build-$name"
}

build_zlib() {
  (cd "$1" && CC=$CC AR=$AR RANLIB=$RANLIB CFLAGS=$CFLAGS ./configure --static --prefix="$prefix" --libdir="$prefix/lib" \
    && make -j "$JOBS" install)
}

build_libdeflate() {
  make -C "$1" -j "$JOBS" install DISABLE_SHARED=1 PREFIX="$prefix" LIBDIR="$prefix/lib" \
    CC="$CC" AR="$AR" CFLAGS="$CFLAGS"
}

build_libjpeg-turbo() {
  # REQUIRE_SIMD: without nasm the build stops instead of quietly leaving
  # out the SIMD code, which is most of the decoding speed.
  cmake_build libjpeg-turbo "$1" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
    -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DCMAKE_ASM_NASM_COMPILER="$(command -v nasm)"
}

build_libpng() {
  cmake_build libpng "$1" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
    -DZLIB_INCLUDE_DIR="$prefix/include" -DZLIB_LIBRARY="$prefix/lib/libz.a"
}

build_libwebp() {
  local tool options=()
  for tool in ANIM_UTILS CWEBP DWEBP GIF2WEBP IMG2WEBP VWEBP WEBPINFO LIBWEBPMUX WEBPMUX EXTRAS; do
    options+=("-DWEBP_BUILD_$tool=OFF")
  done
  # The image libraries are only for libwebp's own tools, which are off.
  for tool in PNG JPEG TIFF GIF OpenGL GLUT; do
    options+=("-DCMAKE_DISABLE_FIND_PACKAGE_$tool=ON")
  done
  cmake_build libwebp "$1" "${options[@]}"
}

# The table comes in on descriptor 3, so that no build step reads it as input.
while read -r name source version sha licences <&3; do
  [ -n "$name" ] || continue
  echo "static-decoders: $name $version"
  fetch "$source" "$version" "$sha"
  src=$work/src-$name
  dpkg-source -q -x "$dsc" "$src" >/dev/null
  "build_$name" "$src"
  upstream=${version#*:}
  upstream=${upstream%-*}
  upstream=${upstream%.dfsg}
  mkdir -p "$prefix/share/licenses/$name-$upstream"
  for file in ${licences//,/ }; do
    cp "$src/$file" "$prefix/share/licenses/$name-$upstream/" || die "$name has no $file: check the table"
  done
done 3<<<"$LIBRARIES"

# Only static archives: nothing for the module's link to pick up at run time.
rm -rf "$prefix/bin" "$prefix/share/man" "$prefix/share/doc"
shared=$(find "$prefix" -name '*.so*')
[ -z "$shared" ] || die "shared libraries in $prefix: $shared"
rm -rf "$work"
echo "$key" >"$prefix/.key"
echo "static-decoders: built $prefix"
