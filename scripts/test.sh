#!/usr/bin/env bash
# The test command: builds and runs every test suite. Five builds, each with
# its CTest run:
#   linux     the native build: unit, e2e, sweep, boot, and the static checks
#             (clang-tidy per source, cppcheck; label lint)
#   windows   the Windows program as it ships (MinGW, 32-bit): clang-tidy
#             over its sources (label lint), and under Wine its unit, win32
#             and ui suites where this machine runs 32-bit programs natively
#   windows64 the same sources built for 64-bit: the Wine suites, natively,
#             where 32-bit programs would only run through an emulator
#             (cmake/wine.cmake); elsewhere it has no tests and is not built
#   sanitize  unit and e2e under AddressSanitizer and UndefinedBehaviorSanitizer
#   fuzz      a short run of every fuzz target (label fuzz)
#
#   scripts/test.sh [CTEST FILTER...]     e.g. -L unit, -R e2e.failures, -LE lint
#
# The arguments go to every CTest run. A build whose run the filter leaves
# empty is not built at all, so "-L unit" builds and runs only the native,
# Windows and sanitized builds' unit suites, "-L lint" only the static
# checks, "-L fuzz" only the fuzz targets. A filter that selects nothing
# anywhere is an error. Once a build is done, its run starts in the
# background and the next build goes on beside it; the static checks run
# at a lower priority, so that the builds and the suites that wait on
# them come first. The summary gives every stage's time.
# Exit status 0 only when every build and every selected test passed.
set -uo pipefail
cd "$(dirname "$0")/.."

if [[ ${1:-} == -h || ${1:-} == --help ]]; then
  sed -n '2,/^[^#]/{/^#/{s/^# \{0,1\}//;p}}' "$0"
  exit 0
fi

cores=$(nproc)
presets=(linux windows windows64 sanitize fuzz)
declare -A stage_time stage_result
stages=()
status=0
t0=$(date +%s.%N)

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
record() {  # name seconds result
  stages+=("$1")
  stage_time[$1]=$2
  stage_result[$1]=$3
  [[ $3 == ok || $3 == skipped* ]] || status=1
}
timed() {  # name command...: runs in the foreground and records it
  local name=$1 start rc=0
  shift
  start=$(now)
  "$@" || rc=$?
  record "$name" "$(elapsed "$start" "$(now)")" "$([[ $rc -eq 0 ]] && echo ok || echo "FAILED ($rc)")"
  return $rc
}

children=()
stop_children() {
  for pid in "${children[@]}"; do kill -- "$pid" 2>/dev/null || true; done
}
trap 'stop_children; exit 130' INT TERM

timed "install dependencies" scripts/install-deps.sh || exit 1

# Which builds have tests under this filter.
declare -A selected
total_selected=0
configure_log=$(mktemp)
for p in "${presets[@]}"; do
  selected[$p]=0
  if ! timed "configure $p" cmake --preset "$p" >"$configure_log" 2>&1; then
    cat "$configure_log" >&2
    continue
  fi
  n=$(ctest --preset "$p" -N "$@" 2>/dev/null | sed -n 's/^Total Tests: //p')
  selected[$p]=${n:-0}
  total_selected=$((total_selected + ${n:-0}))
done
rm -f "$configure_log"
if ((total_selected == 0)) && ((status == 0)); then
  echo "test: no test matches the filter: $*" >&2
  exit 1
fi

# A build's tests, in the background: their output goes to the build's
# test-run.log and is shown when they are done.
run_tests() {
  local p=$1
  shift
  local log=build/$p/test-run.log start rc=0
  start=$(now)
  # Most suites spend their time waiting (on the tools, the disk, Wine, the
  # emulator), so two tests per core; the fuzz targets compute all the time.
  local j=$((2 * cores))
  [[ $p == fuzz ]] && j=$cores
  ctest --preset "$p" -j"$j" "$@" >"$log" 2>&1 &
  local pid=$!
  trap 'kill -TERM $pid 2>/dev/null; wait $pid; exit 143' TERM
  wait $pid || rc=$?
  echo "$(elapsed "$start" "$(now)") $rc" >"build/$p/test-run.result"
  echo "test: tests of $p done ($([[ $rc -eq 0 ]] && echo passed || echo FAILED))" >&2
}

for p in "${presets[@]}"; do
  if ((selected[$p] == 0)); then
    [[ ${stage_result["configure $p"]} != ok ]] || record "build $p" 0 "skipped (no test selected)"
    continue
  fi
  echo "== build $p" >&2
  if ! timed "build $p" cmake --build --preset "$p"; then
    continue
  fi
  rm -f "build/$p/test-run.result"
  run_tests "$p" "$@" &
  children+=($!)
done
wait

# The runs' own output, in the order of the builds, and their times.
declare -A labels
for p in "${presets[@]}"; do
  [[ -f build/$p/test-run.log && ${stage_result["build $p"]:-} == ok ]] || continue
  echo
  echo "== tests of $p"
  cat "build/$p/test-run.log"
  read -r secs rc <"build/$p/test-run.result" || { secs=0 rc=1; }
  record "tests $p" "$secs" "$([[ $rc -eq 0 ]] && echo ok || echo "FAILED ($rc)")"
  # CTest's sum of test times per label, e.g. "lint = 80.20 sec*proc (24 tests)".
  labels[$p]=$(sed -n '/^Label Time Summary:/,/^$/{/=/{s/ *= */ /;s/ sec\*proc//;p}}' "build/$p/test-run.log" |
    awk '{printf "%s%s %ss %s %s", sep, $1, $2, $3, $4; sep=", "}')
done

echo
echo "== What was tried =="
[[ ${stage_result["tests linux"]:-} ]] && grep -h "^fault injection:" build/linux/Testing/Temporary/LastTest.log 2>/dev/null
[[ ${stage_result["tests fuzz"]:-} ]] && grep -h "^fuzz [a-z_]*:" build/fuzz/Testing/Temporary/LastTest.log 2>/dev/null
if [[ ${stage_result["tests sanitize"]:-} ]]; then
  sanitized=$(sed -n 's/^[0-9]*\/[0-9]* Testing: //p' build/sanitize/Testing/Temporary/LastTest.log 2>/dev/null |
    sort | tr '\n' ' ')
  echo "sanitized (ASan+UBSan): ${sanitized:-none}"
fi

echo
echo "== Stages (wall time; builds and test runs overlap) =="
for s in "${stages[@]}"; do
  printf '%-22s %7ss  %s\n' "$s" "${stage_time[$s]}" "${stage_result[$s]}"
  if [[ $s == "tests "* && -n ${labels[${s#tests }]:-} ]]; then
    printf '%-22s %s\n' "" "per label, summed over tests: ${labels[${s#tests }]}"
  fi
done
printf '%-22s %7ss\n' "whole command" "$(elapsed "$t0" "$(now)")"

if [[ $status -eq 0 ]]; then
  echo "all selected suites passed${*:+ (filter: $*)}"
else
  echo "SOME STAGES FAILED" >&2
fi
exit $status
