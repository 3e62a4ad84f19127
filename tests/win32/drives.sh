#!/usr/bin/env bash
# Makes (setup) or removes (cleanup) the Windows suite's test drives in the
# Wine prefix named by WINEPREFIX: "q:" linked to a folder, "q::" to a
# fresh 32 MB FAT16 volume image labelled QV, for raw access, "r::" to
# a small disk image with one FAT32 partition, standing in for the card's
# physical disk, and "p:" to a folder of names Windows would not let a
# program make (a control character, a backslash) and a symbolic link,
# as a damaged card or a hostile folder may show them.
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
    rm -f "$dir/r-disk.img"
    truncate -s 4M "$dir/r-disk.img"
    echo 'start=2048, size=4096, type=c' | sfdisk --quiet "$dir/r-disk.img" >/dev/null
    ln -sfn "$dir/r-disk.img" "$links/r::"
    planted=$dir/planted
    rm -rf "$planted"
    mkdir -p "$planted/Odd/sub" "$planted/Slash" "$planted/Fine" "$planted/QVok" "$planted/QV$(printf '\001')"
    echo odd >"$planted/Odd/sub/ctl$(printf '\001')name"
    echo slash >"$planted/Slash/back\\slash"
    echo fine >"$planted/Fine/fine.txt"
    ln -sfn "$planted/Fine" "$planted/Linked"
    ln -sfn "$planted" "$links/p:"
    ;;
  cleanup)
    rm -f "$links/q:" "$links/q::" "$links/r::" "$links/p:"
    ;;
  *)
    echo "usage: drives.sh setup DIR | cleanup" >&2
    exit 2
    ;;
esac
