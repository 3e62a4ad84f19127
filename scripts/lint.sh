#!/usr/bin/env bash
# Static checks of our code: clang-tidy (configuration in .clang-tidy) over
# every source of the native build, cppcheck over all sources and tests.
# The drive entry is handed to each card step as a copy on purpose, so
# cppcheck's passedByValue is not reported.
set -euo pipefail
cd "$(dirname "$0")/.."
db=build/linux/compile_commands.json
[[ -f $db ]] || { echo "lint: build the linux preset first" >&2; exit 1; }

mapfile -t sources < <(grep -o '"file": *"[^"]*"' "$db" | sed 's/.*"\([^"]*\)"$/\1/' | grep "^$PWD/src/" | sort -u)
status=0
printf '%s\n' "${sources[@]}" | xargs -P2 -n4 clang-tidy -p build/linux --quiet 2>/dev/null >build/linux/clang-tidy.log || status=1
if grep -qE "(warning|error):" build/linux/clang-tidy.log; then
  grep -E "(warning|error):" build/linux/clang-tidy.log | sort -u >&2
  status=1
fi
cppcheck --enable=warning,performance,portability --std=c++20 --library=googletest --library=windows \
  --inline-suppr --quiet --suppress=passedByValue --error-exitcode=1 -I src -I tests src tests || status=1
if [[ $status -eq 0 ]]; then
  echo "lint: clang-tidy (${#sources[@]} sources) and cppcheck clean"
fi
exit $status
