#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Streams from the camera on the simulated detector for a long time (default an hour) and prints
# frames, losses and resident memory every minute. Not run in CI.
#
# Usage: bench/soak/soak.sh [SECONDS] [BUILD_DIR] [soak options...]
#   e.g. bench/soak/soak.sh 120 build --mode async
# Exit status 0 when no frame was repeated, out of order or corrupted and no grab failed.
set -euo pipefail
cd "$(dirname "$0")/../.."

duration=${1:-3600}
build=${2:-build}
shift $(( $# > 2 ? 2 : $# ))

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target soak -j2 >/dev/null

echo "soak: $(nproc) cores, $(uname -m), started $(date -u +%FT%TZ)"
exec "$build/bench/soak/soak" --duration "$duration" --interval 60 "$@"
