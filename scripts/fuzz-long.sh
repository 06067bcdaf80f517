#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the fuzz targets (build-fuzz: clang, libFuzzer, AddressSanitizer with
# UndefinedBehaviorSanitizer), replays their seed corpora, then runs each target for a while, one
# after the other, and reports its executions, libFuzzer's coverage (cov: edges reached, ft:
# features) and what it found.
#
#   scripts/fuzz-long.sh                              30 minutes a target
#   scripts/fuzz-long.sh --seconds 45                 what scripts/test.sh runs
#   scripts/fuzz-long.sh --seconds 600 fuzz-camera-sequence
#
# A target's corpus grows in build-fuzz/fuzz-corpus/TARGET from its seeds in
# tests/fuzz/corpus/NAME. A crash, hang, leak or memory excess leaves its input in
# build-fuzz/fuzz-artifacts/ and fails the script once every target has run; copied into the
# seed corpus, it becomes a regression case that CTest replays (ctest --test-dir build-fuzz -L fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=1800
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    fuzz-*) targets+=("$1"); shift ;;
    *) echo "usage: $0 [--seconds N] [fuzz-TARGET ...]" >&2; exit 2 ;;
  esac
done
# By default every target: one seed corpus each.
if [ ${#targets[@]} -eq 0 ]; then
  for corpus in tests/fuzz/corpus/*/; do
    targets+=("fuzz-$(basename "$corpus")")
  done
fi

dir=build-fuzz
echo "== ${dir}: fuzz targets with clang and libFuzzer"
mkdir -p "$dir"
cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARAVOLT_SANITIZE=fuzzer -DTESSARAVOLT_WERROR=ON \
      > "$dir/configure.log" || { cat "$dir/configure.log"; exit 1; }
cmake --build "$dir" -j "$(nproc)"
echo "== ${dir}: seed corpora, crashes once found included"
(cd "$dir" && ctest --output-on-failure --no-tests=error -L fuzz)

mkdir -p "$dir/fuzz-artifacts"
report=()
failed=()
for target in "${targets[@]}"; do
  name=${target#fuzz-}
  corpus="$dir/fuzz-corpus/$target"
  log="$dir/fuzz-artifacts/$target.log"
  mkdir -p "$corpus"
  options=(-max_total_time="$seconds" -timeout=120 -print_final_stats=1
           -artifact_prefix="$dir/fuzz-artifacts/$target-")
  [ -f "tests/fuzz/$name.dict" ] && options+=(-dict="tests/fuzz/$name.dict")
  # A sequence holds at most 64 operations of a few bytes each. Its leak check after each input
  # runs while the simulator's and GLib's threads come and go: it reports GLib's per-thread slice
  # memory of a thread that is just ending. Leaks are the AddressSanitizer lane's to find, where
  # every test ends with its threads joined.
  [ "$target" = fuzz-camera-sequence ] && options+=(-max_len=512 -detect_leaks=0)
  echo "== $target: ${seconds} s"
  status=0
  "$dir/tests/fuzz/$target" "${options[@]}" "$corpus" "tests/fuzz/corpus/$name" > "$log" 2>&1 \
    || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<< "$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<< "$last")
  units=$(find "$corpus" -type f | wc -l)
  result=clean
  if [ "$status" -ne 0 ]; then
    result="FAILED (exit $status)"
    failed+=("$target")
    grep -E 'fuzz check failed|ERROR: |SUMMARY: |Test unit written' "$log" | head -n 8 || true
  fi
  report+=("$(printf '%-22s %6s s %12s %8s/s %7s %8s %7s  %s' "$target" "$seconds" \
              "${executions:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$units" "$result")")
done

echo
printf '%-22s %8s %12s %10s %7s %8s %7s  %s\n' target time executions rate cov ft corpus result
printf '%s\n' "${report[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}; logs and inputs in $dir/fuzz-artifacts/" >&2
  exit 1
fi
