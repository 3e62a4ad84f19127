#!/usr/bin/env bash
# Makes the Wine prefix named by WINEPREFIX ready for 32-bit programs (and,
# made by the 64-bit loader WINE may name, for 64-bit ones). A prefix that a
# 64-bit-only Wine made earlier cannot start 32-bit programs: it is
# thrown away and made again.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEDEBUG=${WINEDEBUG:--all}
if [[ -f "$WINEPREFIX/system.reg" && ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]]; then
  rm -rf "$WINEPREFIX"
fi
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  mkdir -p "$WINEPREFIX"
  "${WINE:-wine}" wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
test -f "$WINEPREFIX/system.reg"
