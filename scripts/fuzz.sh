#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (the newest of versions 14
# to 19, found or installed by clang.sh; AddressSanitizer and UndefinedBehavior-
# Sanitizer included) in build-fuzz, and runs each for a bounded time from its
# committed seed corpus, tests/fuzz/corpus/<target>/. A crash, a
# sanitizer report, a broken property, a timeout or running out of memory fails
# the run; the input that caused it is kept in build-fuzz/artifacts/.
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET (default 60)] [TARGET...]
# Without targets, every tests/fuzz/*.cpp that defines a target is run.
set -euo pipefail
vorlane_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$vorlane_root/scripts/setup.sh"
source "$vorlane_root/scripts/clang.sh"
cd "$vorlane_root"

seconds="${1:-60}"
[ $# -gt 0 ] && shift
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz: the time per target must be a whole number of seconds, not '$seconds'" >&2
  exit 2
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source_file in tests/fuzz/*.cpp; do
    targets+=("$(basename "$source_file" .cpp)")
  done
fi

build_dir="$vorlane_root/build-fuzz"
mkdir -p "$build_dir"
CC="$vorlane_clang_cc" CXX="$vorlane_clang_cxx" cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORLANE_FUZZ=ON -DVORLANE_BUILD_MODULE=OFF -DVORLANE_BUILD_TESTS=OFF > "$build_dir/configure.log" 2>&1 \
  || { cat "$build_dir/configure.log"; exit 1; }
echo "== building fuzz targets: ${targets[*]}"
cmake --build "$build_dir" --target "${targets[@]}" -j2

mkdir -p "$build_dir/artifacts" "$build_dir/logs"
failed=()
for target in "${targets[@]}"; do
  seeds="tests/fuzz/corpus/$target"
  if [ ! -d "$seeds" ] || [ -z "$(ls -A "$seeds")" ]; then
    echo "fuzz: $target has no seed corpus in $seeds" >&2
    failed+=("$target")
    continue
  fi
  # New inputs go to the first corpus directory, which lives in the build
  # directory, so the committed seeds stay as they are.
  work_corpus="$build_dir/corpus/$target"
  log="$build_dir/logs/$target.log"
  mkdir -p "$work_corpus"
  echo "== fuzzing $target for $seconds s"
  status=0
  "$build_dir/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build_dir/artifacts/$target-" \
    "$work_corpus" "$seeds" > "$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz: $target failed (exit status $status); log: $log" >&2
    failed+=("$target")
  else
    grep -E '^Done [0-9]+ runs' "$log" || true
    grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' "$log" | tr '\n' ' '
    echo
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} target(s) ran $seconds s each without a failure"
