#!/usr/bin/env bash
# Static checks of our code: clang-tidy (configuration in .clang-tidy) over
# every source of the native build and the Windows program's own sources
# (with the MinGW headers), cppcheck over all sources and tests, and
# clang-format (.clang-format) over every source of src/ and tests/. Window
# handles and message parameters are integers turned into pointers by
# nature, so performance-no-int-to-ptr is off.
# The drive entry is handed to each card step as a copy on purpose, so
# cppcheck's passedByValue is not reported.
#
#   scripts/lint.sh                          everything, one clang-tidy per core
#   scripts/lint.sh clang-tidy BUILD FILE... these sources with BUILD's compile commands
#   scripts/lint.sh cppcheck                 cppcheck alone
#   scripts/lint.sh clang-format             the formatting alone (nothing rewritten)
#
# The test suites run the same checks as CTest tests labelled lint (one per
# source, registered by cmake/static_checks.cmake), so that they share the
# cores with the other suites; this script is their one implementation.
# A clean clang-tidy verdict is kept in the per-user cache folder
# ($TESSARIN_CACHE_DIR, else ${XDG_CACHE_HOME:-~/.cache}/tessarin) and
# trusted while the source as clang sees it, the configuration, the tools and
# the flags are unchanged; TESSARIN_TIDY_CACHE=0 checks every source anew.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

# clang-tidy over the files with the compile commands of the build folder.
# Any diagnostic fails, also one that the configuration does not turn into
# an error.
tidy() {
  local build=$1
  shift
  local db=$build/compile_commands.json
  [[ -f $db ]] || { echo "lint: $db missing: configure that preset first" >&2; return 1; }
  local extra=()
  if grep -q -m1 'w64-mingw32' "$db"; then
    local inc
    inc=$(ls -d /usr/lib/gcc/i686-w64-mingw32/*-posix/include/c++ | head -1)
    extra=(--extra-arg=--target=i686-w64-mingw32 --extra-arg=-isystem"$inc"
      --extra-arg=-isystem"$inc/i686-w64-mingw32" --extra-arg=-isystem/usr/i686-w64-mingw32/include)
  fi
  # A clean verdict is kept, keyed by everything it depends on
  # (scripts/tidy_key.py), and trusted while none of it changes; a source
  # with faults is always checked again, so its report is shown.
  local cache key=""
  cache=${TESSARIN_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tessarin}/clang-tidy
  if [[ $# -eq 1 && ${TESSARIN_TIDY_CACHE:-1} != 0 ]] && key=$(python3 "$top/scripts/tidy_key.py" "$build" "$1" "${extra[@]}"); then
    if [[ -f $cache/${key:0:2}/$key ]]; then
      echo "lint: clang-tidy: $1 unchanged since its clean verdict (cached)"
      return 0
    fi
  fi
  local out status=0
  out=$(clang-tidy -p "$build" --quiet "${extra[@]}" "$@" 2>/dev/null) || status=1
  if grep -qE "(warning|error):" <<<"$out"; then status=1; fi
  if [[ $status -ne 0 ]]; then
    printf '%s\n' "$out" >&2
    echo "lint: clang-tidy found faults in $*" >&2
  elif [[ -n $key ]]; then
    mkdir -p "$cache/${key:0:2}"
    printf '%s\n' "$1" >"$cache/${key:0:2}/$key.$$" && mv "$cache/${key:0:2}/$key.$$" "$cache/${key:0:2}/$key"
  fi
  return $status
}

run_cppcheck() {
  cppcheck --enable=warning,performance,portability --std=c++20 --library=googletest --library=windows \
    --inline-suppr --quiet --suppress=passedByValue --error-exitcode=1 -I src -I tests src tests
}

# Every C and C++ file of src/ and tests/ formatted as .clang-format says:
# clang-format names each place that differs, and rewrites nothing.
run_clang_format() {
  local files
  mapfile -t files < <(find src tests -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' \
    -o -name '*.cpp' \) | sort)
  if ! clang-format --dry-run -Werror "${files[@]}"; then
    echo "lint: clang-format: the files named above differ from .clang-format (clang-format -i FILE...)" >&2
    return 1
  fi
}

# The sources under a folder that a build compiles.
files_of() {
  grep -o '"file": *"[^"]*"' "$1" | sed 's/.*"\([^"]*\)"$/\1/' | grep "^$top/$2" | sort -u
}

case "${1:-all}" in
  clang-tidy)
    shift
    [[ $# -ge 2 ]] || { echo "usage: scripts/lint.sh clang-tidy BUILD FILE..." >&2; exit 2; }
    tidy "$@"
    exit
    ;;
  cppcheck)
    run_cppcheck
    exit
    ;;
  clang-format)
    run_clang_format
    exit
    ;;
  all) ;;
  *)
    echo "usage: scripts/lint.sh [clang-tidy BUILD FILE... | cppcheck | clang-format]" >&2
    exit 2
    ;;
esac

db=build/linux/compile_commands.json
[[ -f $db ]] || { echo "lint: build the linux preset first" >&2; exit 1; }
windb=build/windows/compile_commands.json
[[ -f $windb ]] || { echo "lint: build the windows preset first" >&2; exit 1; }
jobs=$(nproc)
status=0
mapfile -t sources < <(files_of "$db" src/)
mapfile -t winsources < <(files_of "$windb" src/win32/)
export -f tidy
export top
printf '%s\n' "${sources[@]}" | xargs -P"$jobs" -n1 bash -c 'tidy build/linux "$0"' || status=1
printf '%s\n' "${winsources[@]}" | xargs -P"$jobs" -n1 bash -c 'tidy build/windows "$0"' || status=1
run_cppcheck || status=1
run_clang_format || status=1
if [[ $status -eq 0 ]]; then
  echo "lint: clang-tidy ($((${#sources[@]} + ${#winsources[@]})) sources), cppcheck and clang-format clean"
fi
exit $status
