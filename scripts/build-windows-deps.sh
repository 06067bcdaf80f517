#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Cross-builds GLib (GObject, GModule, GIO) and what it needs (zlib, pcre2, libffi) for 64-bit
# Windows with MinGW-w64's POSIX-thread compilers, from source tarballs checked against their
# SHA256SUMS. Nothing is downloaded.
#
#   scripts/build-windows-deps.sh [SOURCE_FOLDER]    (default: ../shared/third-party)
#
# The prefix lies outside the clone, under $TESSARAVOLT_CACHE (default /var/cache/tessaravolt, or
# ~/.cache/tessaravolt where that cannot be written), named after the checksums and the recipe
# version below, so that a second run, from any clone, reuses it. windows-deps-current there
# points at the last one built; cmake/mingw-w64-x86_64.cmake finds it through that link.
# The last line of output is the prefix. Exit status 3: the source folder is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

# Bump when the build steps below change, so that an old prefix is not reused.
recipe=1
triplet=x86_64-w64-mingw32
cc=$triplet-gcc-posix
cxx=$triplet-g++-posix

sources=${1:-../shared/third-party}
if [ ! -f "$sources/SHA256SUMS" ]; then
  echo "no Windows dependency sources: $sources/SHA256SUMS is missing; pass the folder holding" \
       "the GLib, pcre2, zlib, libffi, proxy-libintl and gvdb tarballs and their SHA256SUMS:" \
       "scripts/build-windows-deps.sh SOURCE_FOLDER"
  exit 3
fi
sources=$(cd "$sources" && pwd)
(cd "$sources" && sha256sum --check --quiet SHA256SUMS) >&2

tarball() {  # the one tarball of SHA256SUMS whose name starts with $1
  local name
  name=$(awk -v p="$1" 'index($2, p) == 1 { print $2 }' "$sources/SHA256SUMS")
  [ -n "$name" ] && [ "$(wc -l <<<"$name")" -eq 1 ] || { echo "no single $1 tarball in SHA256SUMS" >&2; exit 1; }
  echo "$sources/$name"
}

cache=${TESSARAVOLT_CACHE:-/var/cache/tessaravolt}
if ! mkdir -p "$cache" 2>/dev/null || [ ! -w "$cache" ]; then
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/tessaravolt
  mkdir -p "$cache"
fi
key=$( (cat "$sources/SHA256SUMS"; echo "recipe $recipe"; $cc --version | head -1) | sha256sum | cut -c1-16)
prefix=$cache/windows-deps-$key

# One builder per prefix; a second run waits for the first and then reuses its result.
exec 9>"$prefix.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
  echo "reusing $prefix" >&2
  ln -sfn "$prefix" "$cache/windows-deps-current"
  echo "$prefix"
  exit 0
fi

started=$SECONDS
jobs=${JOBS:-2}
rm -rf "$prefix"
work=$(mktemp -d "${TMPDIR:-/tmp}/tessaravolt-windows-deps.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$prefix/bin" "$prefix/include" "$prefix/lib/pkgconfig"
log=$work/log
step() {  # step NAME COMMAND...: runs quietly, shows the log's end on failure
  echo "== windows deps: $1" >&2
  shift
  "$@" >"$log" 2>&1 || { tail -n 60 "$log" >&2; echo "FAILED: $*" >&2; exit 1; }
}

tar -xzf "$(tarball zlib-)" -C "$work"
tar -xzf "$(tarball pcre2-)" -C "$work"
tar -xzf "$(tarball libffi-)" -C "$work"
tar -xzf "$(tarball glib-)" -C "$work"
glib_src=$(echo "$work"/glib-*)
rm -rf "$glib_src/subprojects/gvdb"
tar -xzf "$(tarball gvdb-)" -C "$glib_src/subprojects"
tar -xzf "$(tarball proxy-libintl-)" -C "$glib_src/subprojects"

# zlib: its Makefile for MinGW builds zlib1.dll and its import library; it writes no .pc file.
zlib_src=$(echo "$work"/zlib-*)
step zlib make -C "$zlib_src" -f win32/Makefile.gcc -j"$jobs" PREFIX=$triplet- CC="$cc" \
  SHARED_MODE=1 BINARY_PATH="$prefix/bin" INCLUDE_PATH="$prefix/include" \
  LIBRARY_PATH="$prefix/lib" all install
zlib_version=$(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/\1/p' "$zlib_src/zlib.h")
cat >"$prefix/lib/pkgconfig/zlib.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: zlib
Description: zlib compression library
Version: $zlib_version
Libs: -L\${libdir} -lz
Cflags: -I\${includedir}
EOF

step pcre2-configure cmake -S "$(echo "$work"/pcre2-*)" -B "$work/pcre2-build" \
  -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER="$cc" -DCMAKE_RC_COMPILER=$triplet-windres \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=ON \
  -DBUILD_STATIC_LIBS=OFF -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_BUILD_PCRE2_16=OFF \
  -DPCRE2_BUILD_PCRE2_32=OFF -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF \
  -DPCRE2_SUPPORT_JIT=OFF -DPCRE2_SUPPORT_LIBZ=OFF -DPCRE2_SUPPORT_LIBBZ2=OFF \
  -DPCRE2_SUPPORT_LIBREADLINE=OFF -DPCRE2_SUPPORT_LIBEDIT=OFF \
  -DCMAKE_FIND_ROOT_PATH="/usr/$triplet" -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER \
  -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY
step pcre2 cmake --build "$work/pcre2-build" -j "$jobs" --target install

libffi_src=$(echo "$work"/libffi-*)
step libffi-autogen bash -c "cd '$libffi_src' && ./autogen.sh"
step libffi-configure bash -c "cd '$libffi_src' && ./configure --host=$triplet CC='$cc' \
  CXX='$cxx' --prefix='$prefix' --disable-docs --disable-static --enable-shared"
step libffi make -C "$libffi_src" -j"$jobs" install

cat >"$work/cross.ini" <<EOF
[binaries]
c = '$cc'
cpp = '$cxx'
ar = '$triplet-ar'
strip = '$triplet-strip'
windres = '$triplet-windres'
pkgconfig = 'pkg-config'

[properties]
pkg_config_libdir = ['$prefix/lib/pkgconfig']

[host_machine]
system = 'windows'
cpu_family = 'x86_64'
cpu = 'x86_64'
endian = 'little'
EOF
step glib-configure meson setup "$work/glib-build" "$glib_src" --cross-file "$work/cross.ini" \
  --prefix "$prefix" --libdir lib --buildtype release --wrap-mode=nodownload \
  -Dtests=false -Dgtk_doc=false -Dman=false -Dnls=disabled -Dlibelf=disabled \
  -Dselinux=disabled -Dxattr=false -Dlibmount=disabled -Dsysprof=disabled
step glib ninja -C "$work/glib-build" -j "$jobs" install

touch "$prefix/.complete"
ln -sfn "$prefix" "$cache/windows-deps-current"
echo "== windows deps: built in $((SECONDS - started)) s" >&2
echo "$prefix"
