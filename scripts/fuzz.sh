#!/usr/bin/env bash
# Runs one fuzz target for a bounded time on its seed corpus:
#   scripts/fuzz.sh TARGET SECONDS [BINARY]
# New inputs go to build/fuzz/corpus/TARGET; the seeds in the repo stay as
# they are. A crash, a hang, an out-of-bounds access or a leak fails the run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
target=$1
seconds=${2:-60}
binary=${3:-$top/build/fuzz/tests/fuzz/fuzz_$target}
work=$top/build/fuzz/corpus/$target
mkdir -p "$work" "$top/build/fuzz/artifacts"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$top/build/fuzz/artifacts/$target-" "$work" "$top/tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
if [[ $status -ne 0 ]]; then
  tail -40 "$log" >&2
  echo "fuzz $target: FAILED after ${runs:-?} inputs" >&2
  exit 1
fi
echo "fuzz $target: ${runs:-?} inputs in ${seconds}s, no crash, no hang, no leak"
