#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Records from the simulated detector for a long time (default an hour) at 30 frames/s into an
# HDF5 file while streaming every frame to a local consumer, and prints the recorder's resident
# memory every minute. Frames come from the camera's callback (--mode async), so a busy machine
# that delays the recorder's threads costs no frame; another --mode after the build folder
# overrides it. Not run in CI: it shows that nothing is lost and memory stays flat over
# hours, which no test can afford.
#
# Usage: bench/soak/soak-record.sh [SECONDS] [BUILD_DIR] [camera PROPERTY=VALUE ...]
#   e.g. bench/soak/soak-record.sh 600 build roi-width=1024
# The frames go into a fresh folder under $TMPDIR (or /tmp), removed at the end; 512 × 256 frames
# at 30 frames/s fill about 27 GB an hour.
# Exit status 0 when the recorder, the consumer and the file all hold every frame in order.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

duration=${1:-3600}
build=${2:-build}
shift $(( $# > 2 ? 2 : $# ))
build=$(cd "$build" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/soak-record.XXXXXX")
endpoint="ipc://$work/frames"
recorder_pid=""
consumer_pid=""
cleanup() {
  [ -z "$recorder_pid" ] || kill "$recorder_pid" 2> /dev/null || true
  [ -z "$consumer_pid" ] || kill "$consumer_pid" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "soak-record: $(nproc) cores, $(uname -m), ${duration} s, started $(date -u +%FT%TZ)"
/usr/bin/python3 "$root/examples/stream_consumer.py" "$endpoint" --quiet --timeout 120 \
  > "$work/consumer.txt" 2>&1 &
consumer_pid=$!

UCA_CAMERA_PATH="$build/plugins" "$build/recorder/uca-record" tessaravolt \
  roi-width=512 roi-height=256 frames-per-second=30 --mode async "$@" \
  --duration "$duration" --output "$work/scan" --format hdf5 --stream "$endpoint" \
  --frame-counter sim-pattern --buffer 256M \
  > "$work/recorder.txt" 2> "$work/recorder-err.txt" &
recorder_pid=$!

# Resident memory once a minute, and at the end its range over the run after the first minute.
started=$SECONDS
rss_values=()
while kill -0 "$recorder_pid" 2> /dev/null; do
  sleep 5
  if [ $(( (SECONDS - started) % 60 )) -lt 5 ] && [ $((SECONDS - started)) -ge 60 ]; then
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$recorder_pid/status" 2> /dev/null || true)
    [ -z "$rss" ] && continue
    rss_values+=("$rss")
    echo "soak-record: $(( (SECONDS - started) / 60 )) min, resident $((rss / 1024)) MiB"
  fi
done
recorder_status=0
wait "$recorder_pid" || recorder_status=$?
recorder_pid=""
consumer_status=0
wait "$consumer_pid" || consumer_status=$?
consumer_pid=""

echo "== recorder (exit $recorder_status)"
cat "$work/recorder.txt"
grep -v '^$' "$work/recorder-err.txt" | tail -n 5 || true
echo "== consumer (exit $consumer_status)"
tail -n 5 "$work/consumer.txt"
file_frames=$(/usr/bin/python3 -c '
import sys, h5py
with h5py.File(sys.argv[1], "r") as f:
    print(f["/exchange/data"].shape[0])' "$work/scan/frames.h5")
echo "== file: $file_frames frames in frames.h5"
if [ ${#rss_values[@]} -gt 0 ]; then
  sorted=$(printf '%s\n' "${rss_values[@]}" | sort -n)
  echo "resident memory after the first minute: $(( $(head -n 1 <<< "$sorted") / 1024 ))" \
       "to $(( $(tail -n 1 <<< "$sorted") / 1024 )) MiB over ${#rss_values[@]} samples"
fi
[ "$recorder_status" -eq 0 ] && [ "$consumer_status" -eq 0 ]
