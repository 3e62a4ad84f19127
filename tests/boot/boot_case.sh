#!/usr/bin/env bash
# One boot of a restored card in the emulator.
#
#   boot_case.sh TOOL BIN_DIR BOOTCODE_DIR WORK_DIR [options]
#
#   --kind romdos|dos|wince   system kind the card is restored for (required)
#   --fs fat32|fat16          file system of the card's volume (fat32)
#   --type HEX                partition type (0c for FAT32, 06 for FAT16)
#   --no-system-file          leave out BLDR, IBMBIO.COM, BOOTMGR or the
#                             sector-12 stage
#   --bootmgr BYTES           DOS: our own second stage in the volume's
#                             sector 12 (as the Linux program writes it) and a
#                             BOOTMGR of BYTES bytes in the root folder,
#                             instead of a stand-in for FORMAT's sector 12
#   --fillers N               N files in the root directory before the system file
#   --card-mb N               size of the card (64); the image is sparse
#   --cluster-sectors N       sectors per cluster (mkfs.fat's choice)
#   --relocate NAME FIRST STEP
#                             moves a root folder entry's clusters (or the root
#                             folder's, NAME "/") once the files are on the
#                             card (boot_card_tool relocate); may be repeated
#   --cut-chain NAME          ends the entry's FAT chain at its first cluster
#   --program TESSARIN MAKE_SFX STUB
#                             the Linux program restores the card (formatting
#                             it too) from an installer archive of the kind
#                             holding its system file, instead of the
#                             boot-record steps alone
#   --syslinux                the volume gets Debian's syslinux (its boot
#                             record, ldlinux.sys, cat.c32 showing a file on
#                             the serial port, then a boot sector payload);
#                             only the master boot record step runs
#   --standard-mbr syslinux|mbr
#                             after the restore, the master boot code is
#                             Debian's syslinux mbr.bin or the mbr package's
#                             (install-mbr), in place of ours
#   --volume-payload          after the restore, the volume's first sector is a
#                             payload that reports what the master boot code
#                             handed over
#   --harness OPTION...       boot through the test harness (options up to the
#                             next --: deny-ext, start-drive=81,
#                             fail=vbr|stage2|root, or none)
#   --mutate HOW              spoil the restored card (boot_card_tool mutate)
#   --expect TEXT             the debug console or the serial port must show
#                             TEXT; @FIRSTDATA@, @CLUSTER@ and @ROOT@ (the
#                             root directory's first sector) stand for the
#                             values the card implies
#   --reject TEXT             they must not show TEXT (same placeholders)
#   --expect-count N TEXT     exactly N lines show TEXT
#   --first-dir-sector has|lacks NAME
#                             fixture check: the root directory's first
#                             sector holds (or does not hold) the 8.3 NAME
set -euo pipefail

tool=$1 bins=$2 bootcode=$3 work=$4
shift 4
for arg in "$@"; do
  # An unbalanced '[' makes CMake run list items together.
  [[ $arg != *';'* ]] || { echo "boot_case: malformed argument '$arg'" >&2; exit 2; }
done

kind="" fs=fat32 card_mb=64 cluster_sectors="" type="" system_file=1 fillers=0 harness=() use_harness=0 mutate=""
bootmgr="" program=() syslinux=0 standard_mbr="" volume_payload=0 relocations=() cut_chain=""
expects=() rejects=() counts=() dir_checks=()
while (($#)); do
  case $1 in
    --kind) kind=$2; shift 2 ;;
    --fs) fs=$2; shift 2 ;;
    --type) type=$2; shift 2 ;;
    --no-system-file) system_file=0; shift ;;
    --bootmgr) bootmgr=$2; shift 2 ;;
    --fillers) fillers=$2; shift 2 ;;
    --card-mb) card_mb=$2; shift 2 ;;
    --cluster-sectors) cluster_sectors=$2; shift 2 ;;
    --relocate) relocations+=("$2" "$3" "$4"); shift 4 ;;
    --cut-chain) cut_chain=$2; shift 2 ;;
    --program) program=("$2" "$3" "$4"); shift 4 ;;
    --syslinux) syslinux=1; shift ;;
    --standard-mbr) standard_mbr=$2; shift 2 ;;
    --volume-payload) volume_payload=1; shift ;;
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
# and the volume's BPB say the same. The image is sparse and formatted in
# place, so that large cards cost little time and room.
readonly start=2048 total=$((card_mb * 2048)) heads=16 sectors=63
cylinders=$((total / (heads * sectors)))
((cylinders <= 16383)) || cylinders=16383  # what an IDE disk can report
readonly volume="card.img@@$((start * 512))"
truncate -s $((total * 512)) card.img
printf 'label: dos\nstart=%d, type=%s\n' $start "$type" | sfdisk -q card.img
"$tool" chs card.img $heads $sectors
fat_bits=32
[[ $fs == fat16 ]] && fat_bits=16
mkfs.fat -F $fat_bits -n QV -g $heads/$sectors -h $start --offset=$start ${cluster_sectors:+-s $cluster_sectors} \
  card.img $(((total - start) / 2)) >/dev/null

for ((i = 1; i <= fillers; i++)); do
  printf 'filler %d\n' "$i" >"FILLER$i.TXT"
  mcopy -i "$volume" "FILLER$i.TXT" ::
done

# The kind's system file, made from its payload.
system_name=""
if ((system_file)); then
  case $kind in
    wince)
      # BLDR: the payload and 69 numbered sectors behind it.
      system_name=BLDR
      "$tool" numbered-file BLDR "$bins/payload_bldr.bin" $((70 * 512)) ;;
    romdos)
      system_name=IBMBIO.COM
      { cat "$bins/payload_romdos.bin"; head -c 1024 /dev/zero; } >IBMBIO.COM ;;
    dos)
      if [[ -n $bootmgr ]]; then
        system_name=BOOTMGR
        "$tool" numbered-file BOOTMGR "$bins/payload_bootmgr.bin" "$bootmgr"
      fi ;;
  esac
fi

if ((${#program[@]})); then
  # The Linux program formats the card and installs from the archive.
  archive=$(case $kind in wince) echo wincesys.exe ;; romdos) echo romdossys.exe ;; dos) echo dossys.exe ;; esac)
  mkdir -p installer/SYSTEM
  printf 'not a system file\n' >installer/SYSTEM/README.TXT
  [[ -n $system_name ]] && mv "$system_name" installer/
  # The system file first, as the kind's boot code searches the root
  # folder's first entries.
  names=()
  [[ -n $system_name ]] && names+=("$system_name")
  names+=(SYSTEM)
  "${program[1]}" "${program[2]}" "$archive" installer "${names[@]}"
  TMPDIR=$PWD "${program[0]}" --yes --no-preserve card.img >restore.log 2>&1 || {
    echo "the Linux program failed:"
    cat restore.log
    exit 1
  }
else
  if [[ -n $system_name ]]; then
    mcopy -i "$volume" "$system_name" "::$system_name"
  elif [[ $kind == dos ]] && ((system_file)) && [[ -z $bootmgr ]]; then
    # What FORMAT would leave in the volume's sector 12.
    dd if="$bins/payload_dos.bin" of=card.img bs=512 seek=$((start + 12)) conv=notrunc status=none
  fi
  if [[ $kind == dos && -n $bootmgr ]]; then
    # What the Linux program writes where the formatter left sector 12 empty.
    dd if="$bootcode/dos_stage2.bin" of=card.img bs=512 seek=$((start + 12)) conv=notrunc status=none
  fi
  if ((syslinux)); then
    printf '%s\n' 'SERIAL 0 115200' 'PROMPT 0' 'TIMEOUT 1' 'DEFAULT show' \
      'LABEL show' '  COM32 cat.c32' '  APPEND hello.txt' 'LABEL payload' '  KERNEL vbr.bs' \
      'ONTIMEOUT payload' >syslinux.cfg
    printf 'syslinux read this from the card\n' >hello.txt
    cp "$bins/payload_vbr.bin" vbr.bs
    modules=/usr/lib/syslinux/modules/bios
    mcopy -i "$volume" syslinux.cfg hello.txt vbr.bs "$modules/cat.c32" "$modules/libcom32.c32" \
      "$modules/libutil.c32" ::
    syslinux --install --offset $((start * 512)) card.img
  fi
  for ((i = 0; i < ${#relocations[@]}; i += 3)); do
    "$tool" relocate card.img "${relocations[i]}" "${relocations[i + 1]}" "${relocations[i + 2]}"
  done
  [[ -n $cut_chain ]] && "$tool" cut-chain card.img "$cut_chain"
  if ((syslinux)); then
    "$tool" mbr card.img
  else
    "$tool" restore card.img "$kind"
  fi
fi

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

case $standard_mbr in
  "") ;;
  syslinux) dd if=/usr/lib/syslinux/mbr/mbr.bin of=card.img bs=440 count=1 conv=notrunc status=none ;;
  mbr) install-mbr --force --timeout 0 card.img ;;
  *) echo "boot_case: unknown master boot record $standard_mbr" >&2; exit 2 ;;
esac
if [[ -n $standard_mbr ]] && cmp -s -n 440 card.img "$bootcode/mbr_code.bin"; then
  echo "fixture: the master boot code is still ours" >&2
  exit 2
fi
((volume_payload)) && dd if="$bins/payload_vbr.bin" of=card.img bs=512 seek=$start conv=notrunc status=none
[[ -n $mutate ]] && "$tool" mutate card.img "$mutate"
((use_harness)) && "$tool" harness card.img "$bins/harness.bin" "${harness[@]}"

: >debug.txt
: >serial.txt
status=0
timeout 20 qemu-system-i386 -machine pc -m 32 -display none -no-reboot -boot c -net none \
  -drive file=card.img,format=raw,if=none,id=card \
  -device ide-hd,drive=card,cyls=$cylinders,heads=$heads,secs=$sectors,bios-chs-trans=none \
  -debugcon file:debug.txt -serial file:serial.txt \
  -device isa-debug-exit,iobase=0xf4,iosize=0x01 || status=$?
cat debug.txt serial.txt >console.txt

values() {
  local text=${1//@FIRSTDATA@/$first_data}
  text=${text//@CLUSTER@/$cluster}
  printf '%s' "${text//@ROOT@/$root_sector}"
}

failed=0
for text in "${expects[@]}"; do
  text=$(values "$text")
  if ! grep -qF -- "$text" console.txt; then
    echo "missing on the debug console: $text"
    failed=1
  fi
done
for ((i = 0; i < ${#counts[@]}; i += 2)); do
  text=$(values "${counts[i + 1]}")
  have=$(grep -cF -- "$text" console.txt || true)
  if ((have != counts[i])); then
    echo "on the debug console $have times, want ${counts[i]}: $text"
    failed=1
  fi
done
for text in "${rejects[@]}"; do
  text=$(values "$text")
  if grep -qF -- "$text" console.txt; then
    echo "unexpected on the debug console: $text"
    failed=1
  fi
done
if ((failed)); then
  echo "--- emulator exit status $status; debug console and serial port:"
  cat -v console.txt
  exit 1
fi
