#!/usr/bin/env bash
# One boot of a restored card in the emulator.
#
#   boot_case.sh TOOL BIN_DIR WORK_DIR [options]
#
#   --kind romdos|dos|wince   system kind the card is restored for (required)
#   --fs fat32|fat16          file system of the card's volume (fat32)
#   --type HEX                partition type (0c for FAT32, 06 for FAT16)
#   --no-system-file          leave out BLDR, IBMBIO.COM or the sector-12 stage
#   --fillers N               N files in the root directory before the system file
#   --card-mb N               size of the card (64)
#   --cluster-sectors N       sectors per cluster (mkfs.fat's choice)
#   --harness OPTION...       boot through the test harness (options up to the
#                             next --: deny-ext, start-drive=81,
#                             fail=vbr|stage2|root, or none)
#   --mutate HOW              spoil the restored card (boot_card_tool mutate)
#   --expect TEXT             the debug console must show TEXT; @FIRSTDATA@,
#                             @CLUSTER@ and @ROOT@ (the root directory's first
#                             sector) stand for the values the card implies
#   --reject TEXT             the debug console must not show TEXT (same
#                             placeholders)
#   --expect-count N TEXT     exactly N lines of the debug console show TEXT
#   --first-dir-sector has|lacks NAME
#                             fixture check: the root directory's first
#                             sector holds (or does not hold) the 8.3 NAME
set -euo pipefail

tool=$1 bins=$2 work=$3
shift 3
for arg in "$@"; do
  # An unbalanced '[' makes CMake run list items together.
  [[ $arg != *';'* ]] || { echo "boot_case: malformed argument '$arg'" >&2; exit 2; }
done

kind="" fs=fat32 card_mb=64 cluster_sectors="" type="" system_file=1 fillers=0 harness=() use_harness=0 mutate=""
expects=() rejects=() counts=() dir_checks=()
while (($#)); do
  case $1 in
    --kind) kind=$2; shift 2 ;;
    --fs) fs=$2; shift 2 ;;
    --type) type=$2; shift 2 ;;
    --no-system-file) system_file=0; shift ;;
    --fillers) fillers=$2; shift 2 ;;
    --card-mb) card_mb=$2; shift 2 ;;
    --cluster-sectors) cluster_sectors=$2; shift 2 ;;
    --harness)
      use_harness=1; shift
      while (($#)) && [[ $1 != --* ]]; do
        [[ $1 != none ]] && harness+=("$1")
        shift
      done ;;
    --mutate) mutate=$2; shift 2 ;;
    --expect) expects+=("$2"); shift 2 ;;
    --reject) rejects+=("$2"); shift 2 ;;
    --expect-count) counts+=("$2" "$3"); shift 3 ;;
    --first-dir-sector) dir_checks+=("$2" "$3"); shift 3 ;;
    *) echo "boot_case: unknown option $1" >&2; exit 2 ;;
  esac
done
[[ -n $kind ]] || { echo "boot_case: --kind is required" >&2; exit 2; }
[[ -n $type ]] || { [[ $fs == fat16 ]] && type=06 || type=0c; }

export MTOOLS_SKIP_CHECK=1
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# The card: one partition at sector 2048. The emulated disk has 16 heads and
# 63 sectors per track without translation; the partition entry's CHS fields
# and the volume's BPB say the same.
readonly start=2048 total=$((card_mb * 2048)) heads=16 sectors=63
readonly cylinders=$((total / (heads * sectors)))
truncate -s $((total * 512)) card.img
printf 'label: dos\nstart=%d, type=%s\n' $start "$type" | sfdisk -q card.img
"$tool" chs card.img $heads $sectors
fat_bits=32
[[ $fs == fat16 ]] && fat_bits=16
mkfs.fat -F $fat_bits -n QV -g $heads/$sectors -h $start ${cluster_sectors:+-s $cluster_sectors} -C vol.img $(((total - start) / 2)) >/dev/null

for ((i = 1; i <= fillers; i++)); do
  printf 'filler %d\n' "$i" >"FILLER$i.TXT"
  mcopy -i vol.img "FILLER$i.TXT" ::
done

if ((system_file)); then
  case $kind in
    wince)
      # BLDR: the payload and 69 numbered sectors behind it.
      cp "$bins/payload_bldr.bin" BLDR
      for ((i = 1; i < 70; i++)); do
        { printf 'SECT'; printf "\\x$(printf %02x $((i & 255)))\\x$(printf %02x $((i >> 8)))"; head -c 506 /dev/zero; } >>BLDR
      done
      mcopy -i vol.img BLDR ::BLDR ;;
    romdos)
      { cat "$bins/payload_romdos.bin"; head -c 1024 /dev/zero; } >IBMBIO.COM
      mcopy -i vol.img IBMBIO.COM ::IBMBIO.COM ;;
    dos)
      # What FORMAT would leave in the volume's sector 12.
      dd if="$bins/payload_dos.bin" of=vol.img bs=512 seek=12 conv=notrunc status=none ;;
  esac
fi

# Sparse, so that the cases' images take little room in the build tree.
dd if=vol.img of=card.img bs=512 seek=$start conv=notrunc,sparse status=none
rm vol.img
"$tool" restore card.img "$kind"

for ((i = 0; i < ${#dir_checks[@]}; i += 2)); do
  found=1
  "$tool" cluster card.img "${dir_checks[i + 1]}" first-sector >/dev/null 2>&1 || found=0
  if { [[ ${dir_checks[i]} == has ]] && ((!found)); } || { [[ ${dir_checks[i]} == lacks ]] && ((found)); }; then
    echo "fixture: the root directory's first sector ${dir_checks[i]} not '${dir_checks[i + 1]}'" >&2
    exit 2
  fi
done

first_data=$("$tool" first-data card.img)
root_sector=$("$tool" root-sector card.img)
cluster=""
case $kind in
  romdos) ((system_file)) && cluster=$("$tool" cluster card.img 'IBMBIO  COM') ;;
esac

[[ -n $mutate ]] && "$tool" mutate card.img "$mutate"
((use_harness)) && "$tool" harness card.img "$bins/harness.bin" "${harness[@]}"

: >debug.txt
status=0
timeout 20 qemu-system-i386 -machine pc -m 32 -display none -no-reboot -boot c -net none \
  -drive file=card.img,format=raw,if=none,id=card \
  -device ide-hd,drive=card,cyls=$cylinders,heads=$heads,secs=$sectors,bios-chs-trans=none \
  -debugcon file:debug.txt -device isa-debug-exit,iobase=0xf4,iosize=0x01 || status=$?

values() {
  local text=${1//@FIRSTDATA@/$first_data}
  text=${text//@CLUSTER@/$cluster}
  printf '%s' "${text//@ROOT@/$root_sector}"
}

failed=0
for text in "${expects[@]}"; do
  text=$(values "$text")
  if ! grep -qF -- "$text" debug.txt; then
    echo "missing on the debug console: $text"
    failed=1
  fi
done
for ((i = 0; i < ${#counts[@]}; i += 2)); do
  have=$(grep -cF -- "${counts[i + 1]}" debug.txt || true)
  if ((have != counts[i])); then
    echo "on the debug console $have times, want ${counts[i]}: ${counts[i + 1]}"
    failed=1
  fi
done
for text in "${rejects[@]}"; do
  text=$(values "$text")
  if grep -qF -- "$text" debug.txt; then
    echo "unexpected on the debug console: $text"
    failed=1
  fi
done
if ((failed)); then
  echo "--- emulator exit status $status; debug console:"
  cat debug.txt
  exit 1
fi
