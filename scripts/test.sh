#!/usr/bin/env bash
# Builds everything and runs every test suite of both builds. Extra
# arguments go to ctest (for example: -L unit).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
status=0
ctest --preset linux -j2 "$@" || status=1
ctest --preset windows "$@" || status=1
exit $status
