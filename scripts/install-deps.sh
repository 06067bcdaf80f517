#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the Debian 12 packages the build, the tests, the format check and the demonstration
# need; with the argument "windows", those of the Windows cross build and of its tests under Wine.
# hdf5-tools: h5clear, which the recorder names for an HDF5 file whose writer was killed.
# Debian's python3-dxchange imports pandas, tifffile and scipy without depending on them. chromium
# runs the live view's page in the browser test (which skips, saying so, where it is missing).
# doxygen: the driver's reference documentation (scripts/build-reference.sh).
set -euo pipefail

packages=(g++ cmake make pkg-config libglib2.0-dev libspdlog-dev libfmt-dev libgtest-dev
          libtiff-dev libpng-dev libhdf5-dev hdf5-tools python3-h5py valgrind
          gobject-introspection libgirepository1.0-dev python3-gi python3-numpy
          clang clang-format libclang-rt-14-dev libcbor-dev
          libzmq3-dev liblz4-dev libjson-glib-dev libsoup-3.0-dev python3-zmq python3-cbor2 python3-lz4 bitshuffle
          python3-dxchange python3-pandas python3-tifffile python3-scipy
          doxygen)
if [ "${1:-}" = windows ]; then
  # GLib for MinGW-w64 is built from source (scripts/build-windows-deps.sh): meson, ninja,
  # MinGW's pkg-config, and autotools for libffi's git export.
  packages+=(g++-mingw-w64-x86-64-posix wine64 googletest meson ninja-build mingw-w64-tools
             autoconf automake libtool)
else
  packages+=(chromium)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
