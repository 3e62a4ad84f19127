#!/usr/bin/env bash
# Runs the ui suite: the real Tessarin.exe under Wine on a virtual X display
# of its own, driven by ui_driver.exe.
#
#   run_ui_suite.sh <Tessarin.exe> <ui_driver.exe> <state dir> <screenshot dir>
#
# The suite keeps a Wine prefix of its own in the state dir, because it
# rewrites the drive table: C: system, D: CD-ROM, E: removable, F: fixed,
# G: network, Z: (the build machine) network. The screenshots of the
# dialogs land in the screenshot dir as PNG files.
set -euo pipefail

exe=$(realpath "$1")
driver=$(realpath "$2")
state=$(realpath -m "$3")
shots=$(realpath -m "$4")
here=$(cd "$(dirname "$0")" && pwd)
scripts=$(cd "$here/../../scripts" && pwd)

# WINE names the loader for the programs' word size (the build's own).
wine=${WINE:-wine}
export WINEPREFIX="$state/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$state" "$shots"

xvfb_pid=""
service_pid=""
cleanup() {
  [[ -n "$service_pid" ]] && kill "$service_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null || true
  [[ -n "$xvfb_pid" ]] && wait "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

# ---- the X display: the first free one from 87 on
display=""
for n in $(seq 87 140); do
  if [[ ! -e /tmp/.X$n-lock && ! -e /tmp/.X11-unix/X$n ]]; then display=$n; break; fi
done
[[ -n "$display" ]] || { echo "no free X display" >&2; exit 1; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$state/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [[ -e /tmp/.X11-unix/X$display ]] && break; sleep 0.1; done
[[ -e /tmp/.X11-unix/X$display ]] || { echo "Xvfb did not start" >&2; cat "$state/xvfb.log" >&2; exit 1; }
export DISPLAY=":$display"

# ---- the prefix and its drive table
"$scripts/wine-prefix.sh"
wineserver -k 2>/dev/null || true
drives="$state/drives"
rm -rf "$drives" "$state/work"
mkdir -p "$drives"/{d,e,f,g} "$state/work"

# Wine reads the drive types from the 64-bit view of the registry.
set_drives() {  # letter=type ... ; letters not named are removed
  local dd="$WINEPREFIX/dosdevices"
  local key='HKLM\Software\Wine\Drives'
  for l in d e f g; do rm -f "$dd/$l:"; done
  "$wine" reg delete "$key" /f /reg:64 >/dev/null 2>&1 || true
  "$wine" reg add "$key" /v z: /d network /f /reg:64 >/dev/null
  for pair in "$@"; do
    local l=${pair%%=*} t=${pair#*=}
    ln -sfn "$drives/$l" "$dd/$l:"
    "$wine" reg add "$key" /v "$l:" /d "$t" /f /reg:64 >/dev/null
  done
  wineserver -k 2>/dev/null || true
  wineserver -w
}

# Wine's own fonts (MS Sans Serif, Tahoma, Marlett for the caption
# buttons) where the prefix finds them; no window manager: Wine draws the
# window frames itself.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null

# ---- screenshots: the driver asks, the whole screen is taken and cut to
# the window it names
rm -f "$shots"/*.request "$shots"/*.done
(
  while true; do
    for req in "$shots"/*.request; do
      [[ -e "$req" ]] || continue
      name=$(basename "$req" .request)
      geometry=$(tr -d '\r\n' <"$req")
      import -window root -crop "$geometry" +repage "$shots/$name.png" 2>/dev/null || true
      rm -f "$req"
      touch "$shots/$name.done"
    done
    sleep 0.2
  done
) &
service_pid=$!

winpath() { echo "Z:${1//\//\\}"; }
export TS_EXE=$(winpath "$exe")
export TS_WORK=$(winpath "$state/work")
export TS_SHOTS=$(winpath "$shots")

status=0
set_drives d=cdrom e=floppy f=hd g=network
"$wine" "$driver" --gtest_brief=1 --gtest_filter='-NoCardDrive.*' || status=1
wineserver -k 2>/dev/null || true

# A machine whose only drives are the system, a CD-ROM and a network drive.
set_drives d=cdrom g=network
"$wine" "$driver" --gtest_brief=1 --gtest_filter='NoCardDrive.*' || status=1

rm -f "$shots"/*.done
exit $status
