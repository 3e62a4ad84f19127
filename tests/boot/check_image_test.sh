#!/usr/bin/env bash
# The build's image check must pass the images as assembled and refuse each
# of them with one binding byte changed (or the last byte cut off).
#
#   check_image_test.sh BIN_DIR CHECK_SCRIPT WORK_DIR
set -euo pipefail
bins=$1 check=$2 work=$3
rm -rf "$work"
mkdir -p "$work"

# image kind offset ("size": one byte short)
cases=(
  "mbr_code mbr size"
  "mbr_code mbr 437"          # offset of the first message
  "mbr_code mbr 439"          # offset of the third message
  "fat32_boot fat32 size"
  "fat32_boot fat32 1"        # jump
  "fat32_boot fat32 3"        # OEM name
  "fat32_boot fat32 62"       # reserved
  "fat32_boot fat32 64"       # drive number
  "fat32_boot fat32 66"       # extended boot signature
  "fat32_boot fat32 70"       # serial number
  "fat32_boot fat32 71"       # label
  "fat32_boot fat32 89"       # file system type
  "fat32_boot fat32 361"      # BOOTMGR
  "fat32_boot fat32 430"      # first message
  "fat32_boot fat32 506"      # offset of the second message
  "fat32_boot fat32 511"      # signature
  "fat16_boot fat16 size"
  "fat16_boot fat16 1"        # jump
  "fat16_boot fat16 441"      # IBMBIO  COM
  "fat16_boot fat16 500"      # message
  "fat16_boot fat16 510"      # signature
  "bldr_loader bldr size"
  "bldr_loader bldr 421"      # signature
  "dos_stage2 stage2 size"
)

check() { cmake -DIMAGE="$1" -DKIND="$2" -P "$check" >/dev/null 2>&1; }

failed=0
for image in "mbr_code mbr" "fat32_boot fat32" "fat16_boot fat16" "bldr_loader bldr" "dos_stage2 stage2"; do
  read -r name kind <<<"$image"
  cp "$bins/$name.bin" "$work/$name.bin"
  if ! check "$work/$name.bin" "$kind"; then
    echo "$name.bin as assembled is refused"
    failed=1
  fi
done

for case in "${cases[@]}"; do
  read -r name kind offset <<<"$case"
  copy="$work/$name-$offset.bin"
  cp "$bins/$name.bin" "$copy"
  if [[ $offset == size ]]; then
    truncate -s -1 "$copy"
  else
    byte=$(od -An -tu1 -j "$offset" -N1 "$copy" | tr -d ' ')
    printf "\\$(printf %03o $(((byte + 1) % 256)))" | dd of="$copy" bs=1 seek="$offset" conv=notrunc status=none
  fi
  if cmp -s "$copy" "$bins/$name.bin"; then
    echo "$name.bin: the change at $offset did not happen"
    failed=1
  elif check "$copy" "$kind"; then
    echo "$name.bin with byte $offset changed passes the check"
    failed=1
  fi
done
exit $failed
