#!/usr/bin/env bash
# Builds and passes every test: a plain build, the installed minimal libuca used by a plug-in
# built outside this tree, then the whole suite again under AddressSanitizer with
# UndefinedBehaviorSanitizer and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)

build_and_test() {
  local dir=$1 sanitizer=$2 exclude=$3
  echo "== ${dir}: build (sanitizer: ${sanitizer:-none})"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARAVOLT_SANITIZE="$sanitizer" \
        -DTESSARAVOLT_BUILD_BENCHMARKS=ON
  cmake --build "$dir" -j "$jobs"
  echo "== ${dir}: tests"
  (cd "$dir" && ctest -j "$jobs" --output-on-failure --no-tests=error ${exclude:+-LE "$exclude"})
}

build_and_test build "" ""

if [ -f build/CMakeCache.txt ] && grep -q '^TESSARAVOLT_BUNDLED_LIBUCA:INTERNAL=ON' build/CMakeCache.txt; then
  echo "== installed minimal libuca serves a plug-in built outside this tree"
  bash tests/libuca/out-of-tree/check-installed-libuca.sh build
fi

# valgrind does not run under the sanitizers' runtimes.
build_and_test build-asan address valgrind
build_and_test build-tsan thread valgrind
