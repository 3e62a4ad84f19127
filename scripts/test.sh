#!/usr/bin/env bash
# The test command: builds and runs every test suite. Five builds, each with
# its CTest run:
#   linux     the native build: unit, e2e, sweep, boot, and the static checks
#             (clang-tidy per source, cppcheck, clang-format; label lint)
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
# empty is not built at all, and with a filter a build makes only what its
# selected tests name (scripts/test_targets.py: their programs, with what
# those depend on), so "-L unit" builds the unit programs and no Windows
# program, "-L lint" nothing but the configure steps. Without a filter every
# build is made whole (with its include check). A filter that selects
# nothing anywhere is an error. Once a build is done, its run starts in the
# background and the next build goes on beside it; the builds whose suites
# wait longest go first, and the static checks run at a lower priority, so
# that the builds and the suites that wait on them come first.
#
# Compiler output (ccache), clean clang-tidy verdicts and the Wine prefix are
# kept between runs in $TESSARIN_CACHE_DIR (default
# ${XDG_CACHE_HOME:-~/.cache}/tessarin), each keyed by what it was made
# from. The summary gives every stage's wall and processor time and the
# caches' hits. Exit status 0 only when every build and every selected
# test passed.
set -uo pipefail
cd "$(dirname "$0")/.."

if [[ ${1:-} == -h || ${1:-} == --help ]]; then
  sed -n '2,/^[^#]/{/^#/{s/^# \{0,1\}//;p}}' "$0"
  exit 0
fi

cores=$(nproc)
# The builds in the order they are made: those whose suites run longest
# (waiting on the disk, the tools, Wine, the emulator) first, the 32-bit
# Windows program, whose tests need none of its outputs, last.
presets=(linux sanitize windows64 fuzz windows)
declare -A stage_time stage_result stage_cpu
stages=()
notes=()
status=0
t0=$(date +%s.%N)

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
record() {  # name seconds result [cpu seconds]
  stages+=("$1")
  stage_time[$1]=$2
  stage_result[$1]=$3
  stage_cpu[$1]=${4:-}
  [[ $3 == ok || $3 == skipped* || $3 == "nothing to build"* ]] || status=1
}
# Processor time (user + system) of a command and all it waited for, as
# /usr/bin/time measures it (package time; absent before the first install).
cputime() {  # file command...
  local file=$1
  shift
  if [[ -x /usr/bin/time ]]; then
    /usr/bin/time -q -f '%U %S' -o "$file" "$@"
  else
    "$@"
  fi
}
cpu_of() {  # file: reads what cputime wrote
  awk 'NR == 1 { printf "%.1f", $1 + $2 }' "$1" 2>/dev/null
}
timed() {  # name command...: runs in the foreground and records it
  local name=$1 start rc=0 cpu_file
  shift
  cpu_file=$(mktemp)
  start=$(now)
  cputime "$cpu_file" "$@" || rc=$?
  record "$name" "$(elapsed "$start" "$(now)")" "$([[ $rc -eq 0 ]] && echo ok || echo "FAILED ($rc)")" \
    "$(cpu_of "$cpu_file")"
  rm -f "$cpu_file"
  return $rc
}

children=()
stop_children() {
  for pid in "${children[@]}"; do kill -- "$pid" 2>/dev/null || true; done
}
trap 'stop_children; exit 130' INT TERM

timed "install dependencies" scripts/install-deps.sh || exit 1

cache_dir=${TESSARIN_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tessarin}
export TESSARIN_CACHE_DIR=$cache_dir
ccache_stats() {  # prints "hits misses" of the compiler cache so far
  command -v ccache >/dev/null || { echo "0 0"; return; }
  CCACHE_DIR=$cache_dir/ccache ccache --print-stats 2>/dev/null |
    awk -F'\t' '$1 ~ /^(direct|preprocessed)_cache_hit$/ { h += $2 } $1 ~ /^cache_miss$/ { m += $2 } END { print h + 0, m + 0 }'
}
read -r ccache_hits0 ccache_misses0 < <(ccache_stats)

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
  # What this build leaves out on this machine, and why (cmake/wine.cmake).
  while read -r line; do notes+=("$p: $line"); done < <(sed -n 's/^-- \(Wine suites: not run .*\)$/\1/p' "$configure_log")
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
  cputime "build/$p/test-run.cpu" ctest --preset "$p" -j"$j" "$@" >"$log" 2>&1 &
  local pid=$!
  trap 'kill -TERM $pid 2>/dev/null; wait $pid; exit 143' TERM
  wait $pid || rc=$?
  echo "$(elapsed "$start" "$(now)") $rc $(cpu_of "build/$p/test-run.cpu")" >"build/$p/test-run.result"
  echo "test: tests of $p done ($([[ $rc -eq 0 ]] && echo passed || echo FAILED))" >&2
}

for p in "${presets[@]}"; do
  if ((selected[$p] == 0)); then
    [[ ${stage_result["configure $p"]} != ok ]] || record "build $p" 0 "skipped (no test selected)"
    continue
  fi
  if (($# > 0)); then
    # Filtered: only what the selected tests name.
    if ! mapfile -t targets < <(python3 scripts/test_targets.py "$p" "build/$p" "$@"); then
      record "build $p" 0 "FAILED (could not tell what the selected tests need)"
      continue
    fi
    if ((${#targets[@]} == 0)); then
      record "build $p" 0 "nothing to build (the selected tests read only sources and configured files)"
    else
      echo "== build $p: ${targets[*]}" >&2
      timed "build $p" cmake --build "build/$p" --target "${targets[@]}" || continue
    fi
  else
    echo "== build $p" >&2
    timed "build $p" cmake --build --preset "$p" || continue
  fi
  rm -f "build/$p/test-run.result"
  run_tests "$p" "$@" &
  children+=($!)
done
wait

# The runs' own output, in the order of the builds, and their times.
declare -A labels
for p in "${presets[@]}"; do
  [[ -f build/$p/test-run.log && ${stage_result["build $p"]:-} == @(ok|nothing to build*) ]] || continue
  echo
  echo "== tests of $p"
  cat "build/$p/test-run.log"
  read -r secs rc cpu <"build/$p/test-run.result" || { secs=0 rc=1 cpu=""; }
  record "tests $p" "$secs" "$([[ $rc -eq 0 ]] && echo ok || echo "FAILED ($rc)")" "$cpu"
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
echo "== Caches ($cache_dir) =="
read -r ccache_hits ccache_misses < <(ccache_stats)
if command -v ccache >/dev/null; then
  echo "compiler (ccache): $((ccache_hits - ccache_hits0)) hits, $((ccache_misses - ccache_misses0)) misses"
else
  echo "compiler: no ccache installed, nothing kept"
fi
for p in "${presets[@]}"; do
  log=build/$p/Testing/Temporary/LastTest.log
  [[ ${stage_result["tests $p"]:-} && -f $log ]] || continue
  checked=$(grep -c '^[0-9]*/[0-9]* Testing: lint.tidy:' "$log")
  ((checked > 0)) || continue
  cached=$(grep -c 'unchanged since its clean verdict (cached)' "$log")
  echo "clang-tidy ($p): $cached of $checked sources unchanged since a clean verdict, $((checked - cached)) checked"
done
for p in "${presets[@]}"; do
  log=build/$p/Testing/Temporary/LastTest.log
  [[ ${stage_result["tests $p"]:-} && -f $log ]] && grep -q '^[0-9]*/[0-9]* Testing: wine_prefix$' "$log" || continue
  if grep -q 'wine-prefix: making the cached prefix' "$log"; then
    echo "Wine prefix ($p): made and kept (miss)"
  else
    echo "Wine prefix ($p): from the cache or already in the build (hit)"
  fi
done

if ((${#notes[@]} > 0)); then
  echo
  echo "== Left out on this machine =="
  printf '%s\n' "${notes[@]}"
fi

echo
echo "== Stages (wall and processor time; builds and test runs overlap) =="
printf '%-22s %8s %8s  %s\n' stage wall cpu result
for s in "${stages[@]}"; do
  cpu=${stage_cpu[$s]:+${stage_cpu[$s]}s}
  printf '%-22s %7ss %8s  %s\n' "$s" "${stage_time[$s]}" "${cpu:--}" "${stage_result[$s]}"
  if [[ $s == "tests "* && -n ${labels[${s#tests }]:-} ]]; then
    printf '%-22s %s\n' "" "per label, summed over tests: ${labels[${s#tests }]}"
  fi
done
# The shell's own processor time and that of everything it waited for (Wine's
# server and an emulator's detached processes are nobody's children: their
# time shows in no stage).
times_file=$(mktemp)
times >"$times_file"
whole_cpu=$(tr 'ms' '  ' <"$times_file" | awk '{ for (i = 1; i < NF; i += 2) t += $i * 60 + $(i + 1) } END { printf "%.1f", t }')
rm -f "$times_file"
printf '%-22s %7ss %7ss\n' "whole command" "$(elapsed "$t0" "$(now)")" "$whole_cpu"

if [[ $status -eq 0 ]]; then
  echo "all selected suites passed${*:+ (filter: $*)}"
else
  echo "SOME STAGES FAILED" >&2
fi
exit $status
