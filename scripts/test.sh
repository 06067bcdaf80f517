#!/usr/bin/env bash
# Builds and passes every test: a plain build, the installed minimal libuca used by a plug-in
# built outside this tree, the driver's and the simulator's tests built for Windows and run under
# Wine, then the whole suite again under AddressSanitizer with UndefinedBehaviorSanitizer and
# under ThreadSanitizer.
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

# 64-bit Windows: the driver, the simulated detector and their test programs cross-built with
# MinGW-w64 and run under Wine in a throw-away prefix, each program with its ctest bound.
windows_lane() {
  local dir=build-windows started=$SECONDS
  echo "== ${dir}: cross build for 64-bit Windows, tests under Wine"
  bash scripts/install-deps.sh windows
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$dir" -j "$jobs"
  (
    WINEPREFIX=$(mktemp -d /tmp/tessaravolt-wine.XXXXXX)
    export WINEPREFIX WINEDEBUG=-all
    trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
    # The prefix is made once, here, so that no test's bound pays for it. Its log (a 64-bit-only
    # Wine complains about the missing 32-bit half) is shown only when that fails.
    timeout 300 /usr/lib/wine/wine64 wineboot --init >"$dir/wineboot.log" 2>&1 \
      || { cat "$dir/wineboot.log"; exit 1; }
    cd "$dir" && ctest -j "$jobs" --output-on-failure --no-tests=error
  )
  echo "== ${dir}: done in $((SECONDS - started)) s"
}

build_and_test build "" ""

if [ -f build/CMakeCache.txt ] && grep -q '^TESSARAVOLT_BUNDLED_LIBUCA:INTERNAL=ON' build/CMakeCache.txt; then
  echo "== installed minimal libuca serves a plug-in built outside this tree"
  bash tests/libuca/out-of-tree/check-installed-libuca.sh build
fi

windows_lane

# valgrind does not run under the sanitizers' runtimes.
build_and_test build-asan address valgrind
build_and_test build-tsan thread valgrind
