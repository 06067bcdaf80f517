#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demonstration need.
set -euo pipefail

packages=(g++ cmake make pkg-config libglib2.0-dev libspdlog-dev libfmt-dev libgtest-dev
          libtiff-dev libpng-dev libhdf5-dev python3-h5py valgrind)

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
