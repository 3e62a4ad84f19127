#!/usr/bin/env bash
# Makes (setup) or removes (cleanup) the Windows suite's test drive in the
# Wine prefix named by WINEPREFIX: "q:" linked to a folder, "q::" to a
# fresh 32 MB FAT16 volume image labelled QV, for raw access.
#   drives.sh setup DIR | drives.sh cleanup
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
links="$WINEPREFIX/dosdevices"
case "${1:-}" in
  setup)
    dir=${2:?folder for the drive}
    mkdir -p "$dir/q-drive" "$links"
    rm -f "$dir/q-volume.img"
    mkfs.fat -C -F 16 -n QV "$dir/q-volume.img" 32768 >/dev/null
    ln -sfn "$dir/q-drive" "$links/q:"
    ln -sfn "$dir/q-volume.img" "$links/q::"
    ;;
  cleanup)
    rm -f "$links/q:" "$links/q::"
    ;;
  *)
    echo "usage: drives.sh setup DIR | cleanup" >&2
    exit 2
    ;;
esac
