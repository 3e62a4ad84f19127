#!/usr/bin/env bash
# Static checks of our code: clang-tidy (configuration in .clang-tidy) over
# every source of the native build and the Windows program's own sources
# (with the MinGW headers), cppcheck over all sources and tests. Window
# handles and message parameters are integers turned into pointers by
# nature, so performance-no-int-to-ptr is off.
# The drive entry is handed to each card step as a copy on purpose, so
# cppcheck's passedByValue is not reported.
set -euo pipefail
cd "$(dirname "$0")/.."
db=build/linux/compile_commands.json
[[ -f $db ]] || { echo "lint: build the linux preset first" >&2; exit 1; }

files_of() { grep -o '"file": *"[^"]*"' "$1" | sed 's/.*"\([^"]*\)"$/\1/' | grep "^$PWD/$2" | sort -u; }
mapfile -t sources < <(files_of "$db" src/)
status=0
printf '%s\n' "${sources[@]}" | xargs -P2 -n4 clang-tidy -p build/linux --quiet 2>/dev/null >build/linux/clang-tidy.log || status=1

windb=build/windows/compile_commands.json
winsources=()
if [[ -f $windb ]]; then
  mapfile -t winsources < <(files_of "$windb" src/win32/)
  inc=$(ls -d /usr/lib/gcc/i686-w64-mingw32/*-posix/include/c++ | head -1)
  printf '%s\n' "${winsources[@]}" | xargs -P2 -n3 clang-tidy -p build/windows --quiet \
    --extra-arg=--target=i686-w64-mingw32 --extra-arg=-isystem"$inc" --extra-arg=-isystem"$inc/i686-w64-mingw32" \
    --extra-arg=-isystem/usr/i686-w64-mingw32/include 2>/dev/null >>build/linux/clang-tidy.log || status=1
fi
if grep -qE "(warning|error):" build/linux/clang-tidy.log; then
  grep -E "(warning|error):" build/linux/clang-tidy.log | sort -u >&2
  status=1
fi
cppcheck --enable=warning,performance,portability --std=c++20 --library=googletest --library=windows \
  --inline-suppr --quiet --suppress=passedByValue --error-exitcode=1 -I src -I tests src tests || status=1
if [[ $status -eq 0 ]]; then
  echo "lint: clang-tidy ($((${#sources[@]} + ${#winsources[@]})) sources) and cppcheck clean"
fi
exit $status
