#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Checks that the C and C++ lines a change touches follow the nearest .clang-format (C++ style at
# the top, GLib style in libuca/, plugin/, tools/ and recorder/). Every C file is GLib style, so C files
# elsewhere (the test plug-ins) take libuca/'s style file. Lines nobody touched are left alone,
# so that older code is reformatted only when it is next edited.
#
#   scripts/check-format.sh [--base REV] [--fix]
#
# The change is everything between REV and the working tree. Without --base, REV is the newest
# commit at least 3 hours older than HEAD's commit: the change is the last working session's
# (the root commit when the history is younger). Exits 1 and prints the diff that would format
# the touched lines; --fix applies that diff instead.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: $0 [--base REV] [--fix]" >&2
  exit 2
}

base="" fix=false
while [ $# -gt 0 ]; do
  case "$1" in
    --base) [ $# -ge 2 ] || usage; base=$2; shift 2 ;;
    --fix) fix=true; shift ;;
    *) usage ;;
  esac
done

session_gap=$((3 * 3600))
if [ -z "$base" ]; then
  head_time=$(git log -1 --format=%ct HEAD)
  base=$(git rev-list -1 --before="$((head_time - session_gap))" HEAD)
  if [ -z "$base" ]; then
    base=$(git rev-list --max-parents=0 HEAD | tail -n 1)
  fi
fi
if ! commit=$(git rev-parse --quiet --verify "${base}^{commit}"); then
  echo "$0: no commit named '${base}'" >&2
  exit 2
fi
base=$commit
if [ "$(git rev-parse --is-shallow-repository)" = true ]; then
  echo "$0: warning: shallow clone; lines changed before its oldest commit are not checked" >&2
fi
echo "Checking the format of lines changed since $(git log -1 --format='%h (%s)' "$base")"

format_diff() {
  local diff
  diff=$(git diff -U0 --no-color "$base" --)
  clang-format-diff-14 -p1 -binary clang-format-14 -regex '.*\.(cpp|h)' "$@" <<< "$diff"
  clang-format-diff-14 -p1 -binary clang-format-14 -regex '.*\.c' \
    -style "file:$PWD/libuca/.clang-format" "$@" <<< "$diff"
}

if $fix; then
  format_diff -i
  exit 0
fi
changes=$(format_diff)
if [ -n "$changes" ]; then
  printf '%s\n' "$changes"
  echo "Touched lines are not formatted; scripts/check-format.sh --base $(git rev-parse --short "$base") --fix formats them." >&2
  exit 1
fi
echo "Touched lines are formatted."
