#!/usr/bin/env bash
# Makes the Wine prefix named by WINEPREFIX ready for 32-bit programs (and,
# made by the 64-bit loader WINE may name, for 64-bit ones). A prefix that a
# 64-bit-only Wine made earlier cannot start 32-bit programs: it is
# thrown away and made again.
#
# Making a prefix takes a minute or more (far more where 32-bit programs run
# emulated), so a fresh one is made once per machine and kept in the
# per-user cache folder ($TESSARIN_CACHE_DIR, else
# ${XDG_CACHE_HOME:-~/.cache}/tessarin), keyed by everything the making
# reads: Wine's loader, version and packages, the DLL overrides, the user
# and this script. A build's prefix is a copy of it: the registry and the
# user's folders copied, the large system folders that nothing writes to
# linked file by file. TESSARIN_WINE_PREFIX_CACHE=0 makes it anew.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEDEBUG=${WINEDEBUG:--all}
wine=${WINE:-wine}

ready() { [[ -f "$1/system.reg" && -d "$1/drive_c/windows/syswow64" ]]; }

make_prefix() {  # folder
  rm -rf "$1"
  mkdir -p "$1"
  WINEPREFIX=$1 "$wine" wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX=$1 wineserver -w || true
}

if ready "$WINEPREFIX"; then
  exit 0
fi
rm -rf "$WINEPREFIX"

if [[ ${TESSARIN_WINE_PREFIX_CACHE:-1} == 0 ]]; then
  make_prefix "$WINEPREFIX"
  ready "$WINEPREFIX"
  exit
fi

key=$(
  {
    echo "wine-prefix-1"
    readlink -f "$(command -v "$wine")"
    "$wine" --version
    dpkg-query -W wine wine64 wine32:i386 libwine libwine:i386 fonts-wine 2>/dev/null || true
    echo "${WINEDLLOVERRIDES:-}"
    id -un
    cat "$0"
  } | sha256sum | cut -c1-32
)
cache=${TESSARIN_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tessarin}/wineprefix
kept=$cache/$key
mkdir -p "$cache"
(
  # One maker at a time; the others wait and copy what it made.
  flock 9
  if ! ready "$kept"; then
    echo "wine-prefix: making the cached prefix $kept" >&2
    make_prefix "$kept.new"
    ready "$kept.new"
    rm -rf "$kept"
    mv "$kept.new" "$kept"
  fi
) 9>"$cache/$key.lock"

mkdir -p "$WINEPREFIX"
shared=(drive_c/windows/system32 drive_c/windows/syswow64 drive_c/windows/winsxs)
tar -C "$kept" "${shared[@]/#/--exclude=./}" -cf - . | tar -C "$WINEPREFIX" -xf -
for folder in "${shared[@]}"; do
  [[ -d $kept/$folder ]] || continue
  # Links where the cache shares the file system, a copy elsewhere.
  cp -al "$kept/$folder" "$WINEPREFIX/$folder" 2>/dev/null || { rm -rf "${WINEPREFIX:?}/$folder" && cp -a "$kept/$folder" "$WINEPREFIX/$folder"; }
done
ready "$WINEPREFIX"
