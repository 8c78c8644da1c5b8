#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Runs every fuzz target of a fuzzing build for a bounded time, starting from its committed seed
# corpus. New inputs go to a work folder in the build, never into the committed corpus. Targets run
# side by side, one per processor (each fuzzer is single-threaded), so every target still gets its
# whole time while the run takes a fraction of it.
# Usage: run-fuzzers.sh BUILD_DIR SECONDS_PER_TARGET [TARGETS_AT_ONCE]
set -euo pipefail
build=$1
seconds=$2
at_once=${3:-$(nproc)}
here=$(cd "$(dirname "$0")/.." && pwd)

# One target; its verdict line goes to $build/fuzz-work/<target>.verdict.
run_target() {
  local binary=$1
  local name target work log runs
  name=$(basename "$binary")
  target=${name#fuzz_}
  work="$build/fuzz-work/$target"
  mkdir -p "$work"
  log="$build/fuzz-work/$target.log"
  if "$binary" "$work" "$here/tests/fuzz/corpus/$target" -max_total_time="$seconds" -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$build/fuzz-work/$target-" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    echo "fuzz $target: $runs executions in ${seconds} s, nothing found" >"$build/fuzz-work/$target.verdict"
  else
    echo "FAILED" >"$build/fuzz-work/$target.verdict"
  fi
}

targets=()
for binary in "$build"/tests/fuzz/fuzz_*; do
  [[ -x "$binary" ]] && targets+=("$binary")
done
mkdir -p "$build/fuzz-work"
rm -f "$build"/fuzz-work/*.verdict

running=0
for binary in "${targets[@]}"; do
  if ((running >= at_once)); then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$binary" &
  running=$((running + 1))
done
wait

# The verdicts in the targets' order; a failure shows the end of its log.
status=0
for binary in "${targets[@]}"; do
  target=$(basename "$binary")
  target=${target#fuzz_}
  verdict=$(cat "$build/fuzz-work/$target.verdict" 2>/dev/null || echo "FAILED")
  if [[ $verdict == FAILED ]]; then
    echo "fuzz $target: FAILED, see $build/fuzz-work/$target.log and the crash input in $build/fuzz-work/" >&2
    tail -n 30 "$build/fuzz-work/$target.log" >&2
    status=1
  else
    echo "$verdict"
  fi
done
exit $status
