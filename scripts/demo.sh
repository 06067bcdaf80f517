#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The main job: build everything, show the simulated detector's properties, then record frames
# from it in phantom mode as 16-bit TIFF files with an 8-bit PNG preview of the last frame.
# Run again, it replaces its own earlier recording.
set -euo pipefail
cd "$(dirname "$0")/.."
output=${1:-demo-output}
bash scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"

export UCA_CAMERA_PATH="$PWD/build/plugins"
export XISL_SIM="content=phantom"
build/tools/uca-info tessaravolt
build/recorder/uca-record tessaravolt exposure-time=0.05 --mode continuous --frames 20 --output "$output" \
    --overwrite
echo "Frames and preview are in $output/"
echo "To watch a recording live, add --monitor 8080 and open http://127.0.0.1:8080/ in a browser on this"
echo "machine, e.g.: build/recorder/uca-record tessaravolt exposure-time=0.05 --duration 60 --monitor 8080"
