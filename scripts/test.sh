#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds and passes every test: a plain build with the driver's reference documentation (Doxygen,
# no warnings), a sample of planted faults each caught by a test,
# the lock annotations of the driver and the simulated detector checked by clang in a build of
# both, the installed minimal libuca used by a plug-in built outside this tree and as the
# installed libuca of a second build, the driver, the simulator, the plug-in and the tools built
# for Windows and tested under Wine, then the whole suite again under AddressSanitizer with UndefinedBehaviorSanitizer
# and under ThreadSanitizer, and last the fuzz targets, 45 s each. Every lane turns warnings into
# errors.
#
#   scripts/test.sh           everything, as CI runs it
#   scripts/test.sh --quick   the plain build only, without the stress, faults and valgrind tests,
#                             and the reference documentation
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
case "${1:-}" in
  "") ;;
  --quick) quick=true ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh

jobs=$(nproc)

# The tests that start processes or wait on time: the recorder's with its stream's, and the
# stress table. The plain lane runs them three times, so that a flaky one does not land.
timed_labels="record|stress"

build_and_test() {
  local dir=$1 sanitizer=$2 exclude=$3 repeated=${4:-} started=$SECONDS
  echo "== ${dir}: build (sanitizer: ${sanitizer:-none})"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARAVOLT_SANITIZE="$sanitizer" \
        -DTESSARAVOLT_BUILD_BENCHMARKS=ON -DTESSARAVOLT_WERROR=ON
  cmake --build "$dir" -j "$jobs"
  echo "== ${dir}: tests"
  if [ -z "$repeated" ]; then
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --no-tests=error ${exclude:+-LE "$exclude"})
  else
    local others=$repeated${exclude:+|$exclude}
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --no-tests=error -LE "$others")
    echo "== ${dir}: tests labelled ${repeated}, three times each"
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --no-tests=error --repeat until-fail:3 \
                        -L "$repeated" ${exclude:+-LE "$exclude"})
  fi
  echo "== ${dir}: took $((SECONDS - started)) s"
}

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
        -DTESSARAVOLT_LIBUCA=SYSTEM -DTESSARAVOLT_BUILD_BENCHMARKS=ON -DTESSARAVOLT_WERROR=ON
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

# clang's -Wthread-safety checks that every member a mutex of the driver or the simulated
# detector guards is touched with that mutex held. The core-only tree (driver, simulated detector and their tests, no GLib) is built
# with clang, warnings as errors, and its tests run.
thread_safety_lane() {
  local dir=build-clang started=$SECONDS
  echo "== ${dir}: core-only build with clang -Wthread-safety"
  cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARAVOLT_CORE_ONLY=ON \
        -DTESSARAVOLT_BUILD_BENCHMARKS=OFF -DTESSARAVOLT_WERROR=ON
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest -j "$jobs" --output-on-failure --no-tests=error)
  echo "== ${dir}: took $((SECONDS - started)) s"
}

# 64-bit Windows: the driver, the simulated detector and their test programs cross-built with
# MinGW-w64 and run under Wine in a throw-away prefix, each program with its ctest bound. With
# GLib built for MinGW-w64 (scripts/build-windows-deps.sh, once per machine) also the minimal
# libuca, the plug-in, uca-info and gen-doc, the plug-in's suite, a C client and the tools'
# output against Linux's; without its sources only the former, saying so.
windows_lane() {
  local dir=build-windows started=$SECONDS deps status=0 core_only=ON
  echo "== ${dir}: cross build for 64-bit Windows, tests under Wine"
  bash scripts/install-deps.sh windows
  deps=$(bash scripts/build-windows-deps.sh) || status=$?
  if [ "$status" -eq 0 ]; then
    deps=$(tail -n 1 <<<"$deps")
    core_only=OFF
    echo "== ${dir}: GLib for Windows in ${deps} (ready after $((SECONDS - started)) s)"
  elif [ "$status" -eq 3 ]; then
    echo "== ${dir}: skipping libuca, the plug-in and the tools: ${deps}"
    deps=""
  else
    return "$status"
  fi
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARAVOLT_WERROR=ON \
        -DTESSARAVOLT_CORE_ONLY="$core_only" -DTESSARAVOLT_WINDOWS_DEPS="$deps"
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

# Five faults of the fault list (tests/faults/), chosen by the commit, planted one at a time into
# a tree of their own: each must fail a test. The plain lane has just passed the whole suite on
# this commit, so the unpatched tree's tests are not run again. A few faults hang a test until
# ctest's own limit; 240 s bounds each fault instead, and a fault still running then is caught.
fault_sample_lane() {
  local started=$SECONDS
  echo "== build-faults: a sample of the fault list"
  bash scripts/faults.sh --quick --jobs "$jobs" --bound 240 --clean-suite-passed
  echo "== build-faults: took $((SECONDS - started)) s"
}

# The driver's reference documentation, generated by Doxygen from its headers: a few seconds,
# and any warning fails it.
reference_lane() {
  echo "== build-reference: the driver's reference (Doxygen)"
  bash scripts/build-reference.sh build-reference
}

if $quick; then
  build_and_test build "" "stress|faults|valgrind" "$timed_labels"
  reference_lane
  exit 0
fi

build_and_test build "" "" "$timed_labels"
reference_lane
fault_sample_lane
thread_safety_lane

if grep -q '^TESSARAVOLT_BUNDLED_LIBUCA:INTERNAL=ON' build/CMakeCache.txt; then
  echo "== installed minimal libuca serves a plug-in built outside this tree"
  bash tests/libuca/out-of-tree/check-installed-libuca.sh build
  system_libuca_lane build build-system
fi

windows_lane

# valgrind does not run under the sanitizers' runtimes.
build_and_test build-asan address valgrind
build_and_test build-tsan thread valgrind

# libFuzzer with clang (build-fuzz): each target replays its seed corpus, crashes once found
# included, then fuzzes from it for a bounded time.
started=$SECONDS
bash scripts/fuzz-long.sh --seconds 45
echo "== build-fuzz: took $((SECONDS - started)) s"
