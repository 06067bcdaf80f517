#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs a build of this project into a temporary prefix and checks that the installed libuca
# serves a third-party plug-in: the plug-in is compiled only with pkg-config's flags, and the
# installed uca-info finds it through UCA_CAMERA_PATH and reads its name.
# Usage: check-installed-libuca.sh BUILD_DIR
set -euo pipefail
[[ $# -eq 1 && -d $1 ]] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build_dir=$(cd "$1" && pwd)
source=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/oot-camera.c
tmp=$(mktemp -d "${TMPDIR:-/tmp}/libuca-installed.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# DESTDIR keeps rules with absolute destinations (which --prefix does not move) inside the
# temporary folder too; the relocatable libuca.pc does not mind the extra level.
DESTDIR="$tmp/destdir" cmake --install "$build_dir" --prefix "$tmp/prefix" > "$tmp/install.log" ||
    { cat "$tmp/install.log" >&2; fail "cmake --install"; }
pc_file=$(find "$tmp/destdir" -name libuca.pc -print -quit)
[[ -n $pc_file ]] || fail "no libuca.pc was installed"
export PKG_CONFIG_PATH="$(dirname "$pc_file")"
libdir=$(pkg-config --variable=libdir libuca)
[[ $(pkg-config --modversion libuca) == 2.4.0 ]] || fail "libuca version is not 2.4.0"
[[ $(pkg-config --variable=plugindir libuca) == "$libdir/uca" ]] || fail "plugindir is not \${libdir}/uca"
# Exactly what libuca installs, so code built against this libuca builds against any.
headers=$(cd "$(pkg-config --variable=includedir libuca)/uca" && echo *)
[[ $headers == "uca-camera.h uca-plugin-manager.h uca-ring-buffer.h" ]] || fail "installed headers are '$headers'"
[[ -e $libdir/libuca.so.2 ]] || fail "libuca.so.2 missing in $libdir"

mkdir "$tmp/plugins"
# shellcheck disable=SC2046  # pkg-config's output is a list of words
"${CC:-cc}" -std=c11 -Wall -Wextra -Werror -shared -fPIC -o "$tmp/plugins/libucaoot.so" "$source" \
    $(pkg-config --cflags --libs libuca)
info=$(find "$tmp/destdir" -name uca-info -type f -print -quit)
UCA_CAMERA_PATH="$tmp/plugins" LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$info" oot \
    > "$tmp/info.txt" 2>&1 || { cat "$tmp/info.txt" >&2; fail "uca-info oot"; }
grep -qx ' RO | name *| "out-of-tree"' "$tmp/info.txt" || { cat "$tmp/info.txt" >&2; fail "the camera's name"; }
echo "installed libuca works out of tree"
