#!/usr/bin/env bash
# Builds everything and runs one restore of a card held in memory, printing
# the log as the dialog shows it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
exec build/linux/tests/unit/memory_restore_demo
