#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the reference documentation of the driver (namespace TessaraVolt, driver/*.h, and
# common/) with Doxygen into build-reference/html (or the folder given), never into the tree.
# Fails on any warning. Takes a few seconds.
#
#   scripts/build-reference.sh [FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-reference}
command -v doxygen > /dev/null || { echo "doxygen is missing: bash scripts/install-deps.sh" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"
log="$out/warnings.log"
status=0
( cat docs/reference/Doxyfile
  echo "OUTPUT_DIRECTORY = $out"
  echo "WARN_LOGFILE = $log" ) | doxygen - || status=$?
if [ "$status" -ne 0 ] || [ -s "$log" ]; then
  cat "$log" >&2
  echo "FAILED: the reference has warnings (docs/reference/Doxyfile)" >&2
  exit 1
fi
echo "reference: $out/html/index.html"
