#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The share of tests: lines of test code (C, C++, Python and shell under tests/) over lines of
# code (C and C++ outside tests/), both without blank lines and comment lines. The share comes
# first, so that scripts can read it with `head -n 1`.
#
#   scripts/test-share.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# Counted as the project's figures always were: in test files every line that starts with #
# is left out (Python and shell comments, and with them C preprocessor lines).
count() {
  xargs -r cat | grep -c -v -E "$1" || true
}

code=$(git ls-files -co --exclude-standard | grep -E '\.(c|cc|cpp|h|hpp)$' \
  | grep -v -E '^(tests?/|build)' | count '^\s*($|//|/\*|\*)')
tests=$(git ls-files -co --exclude-standard | grep -E '\.(c|cc|cpp|h|hpp|py|sh)$' \
  | grep -E '^tests?/' | count '^\s*($|//|/\*|\*|#)')

awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.2f\n", (c > 0 ? t / c : 0) }'
echo "test lines: $tests"
echo "code lines: $code"
