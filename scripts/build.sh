#!/usr/bin/env bash
# Installs what is missing, then configures and builds both presets.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in linux windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
