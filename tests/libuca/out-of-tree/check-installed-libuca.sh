#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs a build of this project into a temporary prefix and checks that the installed
# libuca serves a third-party plug-in: the plug-in and a loader are compiled only with
# pkg-config's flags, and the loader finds the plug-in through UCA_CAMERA_PATH.
# Usage: check-installed-libuca.sh BUILD_DIR
set -euo pipefail

if [[ $# -ne 1 || ! -d $1 ]]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build_dir=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cc=${CC:-cc}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/libuca-installed.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

step() { echo "== $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

step "installing $build_dir into a temporary prefix"
# DESTDIR keeps rules with absolute destinations (which --prefix does not move) inside
# the temporary folder too; the relocatable libuca.pc does not mind the extra level.
DESTDIR="$tmp/destdir" cmake --install "$build_dir" --prefix "$tmp/prefix" > "$tmp/install.log" ||
    { cat "$tmp/install.log" >&2; fail "cmake --install"; }

pc_file=$(find "$tmp/destdir" -name libuca.pc -print -quit)
[[ -n $pc_file ]] || fail "no libuca.pc was installed"
export PKG_CONFIG_PATH="$(dirname "$pc_file")"
libdir=$(pkg-config --variable=libdir libuca)

step "checking the pkg-config module"
version=$(pkg-config --modversion libuca)
[[ $version == 2.4.0 ]] || fail "libuca version is $version, not 2.4.0"
[[ $(pkg-config --variable=plugindir libuca) == "$libdir/uca" ]] || fail "plugindir is not \${libdir}/uca"
# Exactly what libuca installs, so code built against this libuca builds against any.
headers=$(cd "$(pkg-config --variable=includedir libuca)/uca" && echo *)
[[ $headers == "uca-camera.h uca-plugin-manager.h uca-ring-buffer.h" ]] ||
    fail "installed headers are '$headers'"
[[ -e $libdir/libuca.so.2 ]] || fail "libuca.so.2 missing in $libdir"
echo "  version $version, plugindir and headers ok"

step "building the plug-in libucaoot.so against the installed libuca"
mkdir -p "$tmp/plugins"
# shellcheck disable=SC2046  # pkg-config's output is a list of words
"$cc" -std=c11 -shared -fPIC -Wall -Wextra -Werror -o "$tmp/plugins/libucaoot.so" \
    "$source_dir/uca-oot-camera.c" $(pkg-config --cflags --libs libuca)

step "building the loader against the installed libuca"
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Wextra -Werror -o "$tmp/load-oot-camera" \
    "$source_dir/load-oot-camera.c" $(pkg-config --cflags --libs libuca)

step "loading the plug-in through the plug-in manager"
UCA_CAMERA_PATH="$tmp/plugins" LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    "$tmp/load-oot-camera" || fail "the loader reported a failure"

step "installed libuca works out of tree"
