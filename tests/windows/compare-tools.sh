#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# uca-info's list of cameras, and uca-info tessaravolt and gen-doc tessaravolt under Wine against
# the Linux output (the files the Linux suite checks the tools against), the plug-in found two
# ways:
#   path     UCA_CAMERA_PATH with Windows' ';' between a missing folder and the plug-in folder;
#   install  an installation's own plug-in folder (lib\uca beside bin\), no UCA_CAMERA_PATH.
# Byte-identical output passes; output that differs only by the line endings passes and says so;
# any other difference fails and is shown.
#
#   compare-tools.sh WINE BUILD_DIR EXPECTED_DIR path|install
set -euo pipefail
wine=$1 build=$2 expected=$3 way=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case "$way" in
  path)
    bin=$build/bin
    # Wine passes the variable on as it is; Windows paths need the drive Wine maps / to.
    export UCA_CAMERA_PATH="Z:$work/no-such-folder;Z:$build/plugins"
    ;;
  install)
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    bin=$work/prefix/bin
    unset UCA_CAMERA_PATH
    [ -f "$work/prefix/lib/uca/libucatessaravolt.dll" ] \
      || { echo "FAILED: the installation has no lib/uca/libucatessaravolt.dll"; exit 1; }
    ;;
  *) echo "usage: $0 WINE BUILD_DIR EXPECTED_DIR path|install" >&2; exit 2 ;;
esac

status=0
# Without a camera name uca-info lists the cameras it finds: here exactly the one plug-in (the
# missing folder adds nothing, and neither does a second search of the same folder).
if ! "$wine" "$bin/uca-info.exe" >"$work/list" 2>"$work/list.log"; then
  echo "FAILED: uca-info ($way) exits with an error:"; cat "$work/list.log"; status=1
elif [ "$(tr -d '\r' <"$work/list")" != "Usage: uca-info [ tessaravolt ]" ]; then
  echo "FAILED: uca-info ($way) lists other cameras than tessaravolt alone:"; cat "$work/list"
  status=1
else
  echo "uca-info ($way) lists tessaravolt"
fi
for run in "uca-info uca-info-tessaravolt.txt" "gen-doc gen-doc-tessaravolt.html"; do
  read -r tool file <<<"$run"
  if ! "$wine" "$bin/$tool.exe" tessaravolt >"$work/$file" 2>"$work/$tool.log"; then
    echo "FAILED: $tool tessaravolt ($way) exits with an error:"; cat "$work/$tool.log"
    status=1; continue
  fi
  if cmp -s "$work/$file" "$expected/$file"; then
    echo "$tool tessaravolt ($way): byte for byte the Linux output"
  elif tr -d '\r' <"$work/$file" | cmp -s - "$expected/$file"; then
    echo "$tool tessaravolt ($way): the Linux output except the line endings, CRLF for LF:" \
         "the Windows C runtime writes a text-mode stdout so"
  else
    echo "FAILED: $tool tessaravolt ($way) differs from the Linux output beyond line endings:"
    diff <(tr -d '\r' <"$work/$file") "$expected/$file" || true
    status=1
  fi
done
exit $status
