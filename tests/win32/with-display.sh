#!/usr/bin/env bash
# Runs a Windows program under Wine on a virtual display of its own: the
# program and the helpers it starts create windows. The Wine server is let
# go before and after, so that no server outlives the display it was
# started with, and a helper left running shows as a time-out.
#   with-display.sh WINE PROGRAM [ARGS...]
set -uo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
wineserver -w
exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
  bash -c '"$@"; status=$?; wineserver -w; exit $status' run "$@"
