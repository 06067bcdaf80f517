#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Plants each fault of tests/faults/ in turn and says whether the tests catch it: the fault list
# keeps shrinking or reworking the suite from silently weakening it.
#
#   scripts/faults.sh [--quick] [--jobs N] [--bound SECONDS] [FAULT...]
#
# Each fault is a small patch (git diff) whose first lines say what it is:
#   # layer: recorder          where it lives
#   # labels: record           ctest label regex of the tests that should catch it
#   # what: ...                the bug, as a developer could make it
#   # missed: ...              (only for a gap the tests are known to leave) why they miss it
# The patches apply, one at a time, to a git worktree of HEAD's commit (build-faults/tree, reused
# so that builds stay incremental; commit first what should be measured), which `git checkout
# -- .` restores afterwards. Its plain build (build-faults/build, warnings as errors, without
# benchmarks) must succeed; then the labels' tests run, valgrind's left out, each with its own
# ctest bound and all of them within --bound seconds (default 600).
#
# One line per fault: caught (with the tests that failed), MISSED, or BROKEN (the patch does not
# apply or does not build: fix the patch, it proves nothing). A test counts only if it passed
# before any fault was planted. The last line starts with caught/total and names the missed and
# broken faults; the exit status is 1 when any was missed or broken.
#
# FAULT is a patch's name without .patch (e.g. driver-deadline-without-readout) or its path.
# --quick runs five faults chosen by HEAD's commit among those not marked missed: the same five
# for a commit however often it runs, and another five for the next commit.
# --clean-suite-passed skips the tests of the unpatched tree; for a caller that has just run the
# whole suite on the same commit (scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started_all=$SECONDS

usage() {
  echo "usage: $0 [--quick] [--jobs N] [--bound SECONDS] [--clean-suite-passed] [FAULT...]" >&2
  exit 2
}

quick=false jobs=$(nproc) bound=600 clean_run=true
names=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=true; shift ;;
    --jobs) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
    --bound) [ $# -ge 2 ] || usage; bound=$2; shift 2 ;;
    --clean-suite-passed) clean_run=false; shift ;;
    -*) usage ;;
    *) names+=("$1"); shift ;;
  esac
done

faults_dir=$root/tests/faults
work=$root/build-faults
tree=$work/tree
build=$work/build
logs=$work/logs
revision=$(git rev-parse HEAD)

# The chosen patches.
patches=()
if [ ${#names[@]} -gt 0 ]; then
  for name in "${names[@]}"; do
    if [ -f "$name" ]; then
      patches+=("$(cd "$(dirname "$name")" && pwd)/$(basename "$name")")
    elif [ -f "$faults_dir/$name.patch" ]; then
      patches+=("$faults_dir/$name.patch")
    else
      echo "faults.sh: no fault $name in tests/faults" >&2
      exit 2
    fi
  done
else
  patches=("$faults_dir"/*.patch)
fi
if $quick; then
  # Ordered by a hash of the commit and the name: a fixed sample per commit. A known gap would
  # fail every commit that draws it.
  mapfile -t patches < <(for patch in "${patches[@]}"; do
    grep -q '^# missed:' "$patch" && continue
    printf '%s %s\n' "$(printf '%s %s' "$revision" "$(basename "$patch")" | sha256sum | cut -c1-16)" "$patch"
  done | sort | head -n 5 | cut -d' ' -f2-)
  echo "== faults: the sample of five for commit ${revision:0:12}"
fi

header() { sed -n "s/^# $1: *//p" "$2" | head -n 1; }
fault_name() { basename "$1" .patch; }

for patch in "${patches[@]}"; do
  if [ -z "$(header labels "$patch")" ]; then
    echo "faults.sh: $(fault_name "$patch") has no '# labels:' line" >&2
    exit 2
  fi
done

# The worktree of HEAD's commit, made once and moved to each new commit.
mkdir -p "$work" "$logs"
if ! git -C "$tree" rev-parse --git-dir > /dev/null 2>&1; then
  git worktree prune
  git worktree add --detach --quiet "$tree" "$revision"
fi
git -C "$tree" checkout --quiet -- .
git -C "$tree" clean -fdq
git -C "$tree" checkout --quiet --detach "$revision"
# Interrupted or not, the tree is left unpatched.
trap 'git -C "$tree" checkout --quiet -- . 2> /dev/null || true' EXIT

build_tree() {
  cmake --build "$build" -j "$jobs" > "$1" 2>&1
}

echo "== faults: the unpatched tree at ${revision:0:12}, built in $build"
cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARAVOLT_WERROR=ON \
      -DTESSARAVOLT_BUILD_BENCHMARKS=OFF > "$logs/configure.log" 2>&1 \
  || { cat "$logs/configure.log"; exit 2; }
build_tree "$logs/clean-build.log" || { tail -n 40 "$logs/clean-build.log"; exit 2; }

# Names of the tests that failed, from ctest's summary.
failed_tests() {
  sed -n '/^The following tests FAILED:/,$ s/^[[:space:]]*[0-9][0-9]* - \(.*\) ([^()]*)$/\1/p' "$1" \
    | sed 's/  # GetParam() = .*//'
}

# "a, b, c and 4 more"
first_three() {
  local count
  count=$(wc -l <<< "$1")
  head -n 3 <<< "$1" | paste -sd, | sed 's/,/, /g'
  [ "$count" -le 3 ] || echo " and $((count - 3)) more"
}

# The union of the labels: a test that fails without any fault proves nothing about one.
label_union=$(for patch in "${patches[@]}"; do header labels "$patch" | tr '|' '\n'; done | sort -u | paste -sd'|')
: > "$logs/clean-failures.txt"
if $clean_run; then
  echo "== faults: the tests of the unpatched tree (labels $label_union)"
  if ! (cd "$build" && timeout "$bound" ctest -L "$label_union" -LE valgrind -j "$jobs" \
          --no-tests=error > "$logs/clean-tests.log" 2>&1); then
    failed_tests "$logs/clean-tests.log" > "$logs/clean-failures.txt"
    echo "faults.sh: warning: without any fault these tests fail; they count for no fault:" >&2
    sed 's/^/  /' "$logs/clean-failures.txt" >&2
  fi
fi

caught=0 missed=() broken=()
for patch in "${patches[@]}"; do
  name=$(fault_name "$patch")
  labels=$(header labels "$patch")
  log=$logs/$name.log
  started=$SECONDS
  git -C "$tree" checkout --quiet -- .

  if ! git -C "$tree" apply "$patch" > "$log" 2>&1; then
    printf '%-8s %s: the patch does not apply\n' BROKEN "$name"
    broken+=("$name")
    continue
  fi
  if ! build_tree "$log"; then
    printf '%-8s %s: the build fails (%s)\n' BROKEN "$name" "$log"
    broken+=("$name")
    git -C "$tree" checkout --quiet -- .
    continue
  fi

  status=0
  (cd "$build" && timeout "$bound" ctest -L "$labels" -LE valgrind -j "$jobs" \
     --no-tests=error > "$log" 2>&1) || status=$?
  git -C "$tree" checkout --quiet -- .
  seconds=$((SECONDS - started))

  failed=$(failed_tests "$log" | grep -v -x -F -f "$logs/clean-failures.txt" || true)
  if [ "$status" -eq 124 ]; then
    printf '%-8s %s: tests still running after the bound of %s s (%s s)\n' caught "$name" "$bound" "$seconds"
    caught=$((caught + 1))
  elif grep -q 'No tests were found' "$log"; then
    printf '%-8s %s: no test carries the labels %s\n' BROKEN "$name" "$labels"
    broken+=("$name")
  elif [ -n "$failed" ]; then
    printf '%-8s %s: %s (%s s)\n' caught "$name" "$(first_three "$failed" | paste -sd '' -)" "$seconds"
    caught=$((caught + 1))
  else
    printf '%-8s %s: labels %s pass (%s s)\n' MISSED "$name" "$labels" "$seconds"
    missed+=("$name")
  fi
done

total=${#patches[@]}
summary="$caught/$total caught in $((SECONDS - started_all)) s"
[ ${#missed[@]} -eq 0 ] || summary+="; missed: ${missed[*]}"
[ ${#broken[@]} -eq 0 ] || summary+="; broken: ${broken[*]}"
echo "$summary"
[ ${#missed[@]} -eq 0 ] && [ ${#broken[@]} -eq 0 ]
