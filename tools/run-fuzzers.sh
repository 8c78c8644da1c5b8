#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Runs every fuzz target of a fuzzing build for a bounded time, starting from its committed seed
# corpus. New inputs go to a work folder in the build, never into the committed corpus.
# Usage: run-fuzzers.sh BUILD_DIR SECONDS_PER_TARGET
set -euo pipefail
build=$1
seconds=$2
here=$(cd "$(dirname "$0")/.." && pwd)
status=0
for binary in "$build"/tests/fuzz/fuzz_*; do
  [[ -x "$binary" ]] || continue
  name=$(basename "$binary")
  target=${name#fuzz_}
  work="$build/fuzz-work/$target"
  mkdir -p "$work"
  log="$build/fuzz-work/$target.log"
  if "$binary" "$work" "$here/tests/fuzz/corpus/$target" -max_total_time="$seconds" -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$build/fuzz-work/$target-" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    echo "fuzz $target: $runs executions in ${seconds} s, nothing found"
  else
    echo "fuzz $target: FAILED, see $log and the crash input in $build/fuzz-work/" >&2
    tail -n 30 "$log" >&2
    status=1
  fi
done
exit $status
