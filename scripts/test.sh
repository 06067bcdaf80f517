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

# The system path: the bundled build's minimal libuca, installed alone into a prefix, stands
# in for an installed libuca 2.4. A second plain build finds it through pkg-config, must be
# warning-free, passes its suite without the tests that rely on the minimal libuca's
# repairs, and installs the plug-in into that libuca's plugindir, where libuca finds it.
system_libuca_lane() {
  local bundled=$1 dir=$2 started=$SECONDS
  local prefix="$PWD/$dir/libuca-prefix"
  echo "== ${dir}: installed libuca from ${bundled}"
  rm -rf "$prefix"
  cmake --install "$bundled" --component libuca --prefix "$prefix" > /dev/null
  local pcdir
  pcdir=$(dirname "$(find "$prefix" -name libuca.pc -print -quit)")

  echo "== ${dir}: build against it"
  PKG_CONFIG_PATH="$pcdir" cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTESSARAVOLT_LIBUCA=SYSTEM -DTESSARAVOLT_BUILD_BENCHMARKS=ON
  cmake --build "$dir" -j "$jobs" 2>&1 | tee "$dir/build.log"
  if grep -q 'warning:' "$dir/build.log"; then
    echo "FAILED: the build against an installed libuca has warnings" >&2
    return 1
  fi

  echo "== ${dir}: tests (without bundled-libuca)"
  (cd "$dir" && ctest -j "$jobs" --output-on-failure --no-tests=error -LE bundled-libuca)

  echo "== ${dir}: the plug-in goes to libuca's plugindir"
  local plugindir
  plugindir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=plugindir libuca)
  cmake --install "$dir" --prefix "$prefix" > /dev/null
  if [ ! -f "$plugindir/libucatessaravolt.so" ]; then
    echo "FAILED: libucatessaravolt.so is not in $plugindir" >&2
    return 1
  fi
  UCA_CAMERA_PATH="$plugindir" XISL_SIM= "$prefix/bin/uca-info" tessaravolt > /dev/null
  echo "== ${dir}: took $((SECONDS - started)) s"
}

if [ -f build/CMakeCache.txt ] && grep -q '^TESSARAVOLT_BUNDLED_LIBUCA:INTERNAL=ON' build/CMakeCache.txt; then
  system_libuca_lane build build-system
fi

# valgrind does not run under the sanitizers' runtimes.
build_and_test build-asan address valgrind
build_and_test build-tsan thread valgrind
