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
#   --harness OPTION...       boot through the test harness (options up to the
#                             next --: deny-ext, fail=vbr|stage2|root, or none)
#   --mutate HOW              spoil the restored card (boot_card_tool mutate)
#   --expect TEXT             the debug console must show TEXT; @FIRSTDATA@ and
#                             @CLUSTER@ stand for the values the card implies
#   --reject TEXT             the debug console must not show TEXT
set -euo pipefail

tool=$1 bins=$2 work=$3
shift 3

kind="" fs=fat32 type="" system_file=1 fillers=0 harness=() use_harness=0 mutate=""
expects=() rejects=()
while (($#)); do
  case $1 in
    --kind) kind=$2; shift 2 ;;
    --fs) fs=$2; shift 2 ;;
    --type) type=$2; shift 2 ;;
    --no-system-file) system_file=0; shift ;;
    --fillers) fillers=$2; shift 2 ;;
    --harness)
      use_harness=1; shift
      while (($#)) && [[ $1 != --* ]]; do
        [[ $1 != none ]] && harness+=("$1")
        shift
      done ;;
    --mutate) mutate=$2; shift 2 ;;
    --expect) expects+=("$2"); shift 2 ;;
    --reject) rejects+=("$2"); shift 2 ;;
    *) echo "boot_case: unknown option $1" >&2; exit 2 ;;
  esac
done
[[ -n $kind ]] || { echo "boot_case: --kind is required" >&2; exit 2; }
[[ -n $type ]] || { [[ $fs == fat16 ]] && type=06 || type=0c; }

export MTOOLS_SKIP_CHECK=1
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# A 64 MB card: one partition at sector 2048, formatted with 16 heads and 63
# sectors per track (the geometry the emulator's BIOS reports for it).
readonly start=2048 total=131072
truncate -s $((total * 512)) card.img
printf 'label: dos\nstart=%d, type=%s\n' $start "$type" | sfdisk -q card.img
fat_bits=32
[[ $fs == fat16 ]] && fat_bits=16
mkfs.fat -F $fat_bits -n QV -g 16/63 -h $start -C vol.img $(((total - start) / 2)) >/dev/null

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

dd if=vol.img of=card.img bs=512 seek=$start conv=notrunc status=none
"$tool" restore card.img "$kind"

first_data=$("$tool" first-data card.img)
cluster=""
case $kind in
  romdos) ((system_file)) && cluster=$("$tool" cluster card.img 'IBMBIO  COM') ;;
esac

[[ -n $mutate ]] && "$tool" mutate card.img "$mutate"
((use_harness)) && "$tool" harness card.img "$bins/harness.bin" "${harness[@]}"

: >debug.txt
status=0
timeout 60 qemu-system-i386 -machine pc -m 32 -display none -no-reboot -boot c \
  -drive file=card.img,format=raw,if=ide \
  -debugcon file:debug.txt -device isa-debug-exit,iobase=0xf4,iosize=0x01 || status=$?

failed=0
for text in "${expects[@]}"; do
  text=${text//@FIRSTDATA@/$first_data}
  text=${text//@CLUSTER@/$cluster}
  if ! grep -qF -- "$text" debug.txt; then
    echo "missing on the debug console: $text"
    failed=1
  fi
done
for text in "${rejects[@]}"; do
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
