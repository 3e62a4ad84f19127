#!/usr/bin/env bash
# Builds everything and runs every test suite: the native and the Windows
# builds, the sanitized build (unit and e2e under AddressSanitizer and
# UndefinedBehaviorSanitizer), a short run of every fuzz target and the
# static checks (clang-tidy, cppcheck). Extra
# arguments go to ctest for the native and Windows builds (e.g. -L unit).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
for preset in sanitize fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

status=0
run() {
  local what=$1
  shift
  if ! "$@"; then
    echo "*** $what failed" >&2
    status=1
  fi
}
run "native suites" ctest --preset linux -j2 "$@"
run "Windows suites" ctest --preset windows "$@"
run "sanitized suites" ctest --preset sanitize -j2
run "fuzzing" ctest --preset fuzz
run "static checks" scripts/lint.sh

echo
echo "== What was tried =="
grep -h "^fault injection:" build/linux/Testing/Temporary/LastTest.log 2>/dev/null || true
grep -h "^fuzz [a-z_]*:" build/fuzz/Testing/Temporary/LastTest.log 2>/dev/null || true
sanitized=$(sed -n 's/^[0-9]*\/[0-9]* Testing: //p' build/sanitize/Testing/Temporary/LastTest.log 2>/dev/null | tr '\n' ' ')
echo "sanitized (ASan+UBSan): ${sanitized:-none}"
if [[ $status -eq 0 ]]; then
  echo "all suites passed"
else
  echo "SOME SUITES FAILED" >&2
fi
exit $status
