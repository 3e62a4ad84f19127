#!/usr/bin/env bash
# The main job: builds everything, restores the demo card image with the
# Linux program (the demo Windows CE installer archive, the sample card
# definitions) and boots the restored card in the emulator, which shows the
# demo BLDR's banner.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh

build=build/linux
demo=$build/demo
card=$demo/card.img

if [[ ! -f $card ]]; then
  # A 512 MB card as it comes: one FAT32 (LBA) partition from sector 2048,
  # no file system yet. Sparse, so it costs only what is written.
  echo "main: making the demo card $card" >&2
  truncate -s 512M "$card.tmp"
  echo 'start=2048, type=c' | sfdisk --quiet "$card.tmp"
  mv "$card.tmp" "$card"
fi

echo "main: restoring the demo card" >&2
build/linux/tessarin --yes --dir "$demo" "$card"

echo "main: booting the restored card in qemu-system-i386" >&2
out=$demo/debugcon.txt
rm -f "$out"
# The demo BLDR ends the emulator through the exit port; a boot that hangs
# is ended by the timeout.
timeout 30 qemu-system-i386 -drive "file=$card,format=raw,if=ide" -display none -no-reboot -m 32 \
  -debugcon "file:$out" -device isa-debug-exit,iobase=0xf4,iosize=0x01 || true
if grep -q "Tessarin demo panel" "$out" 2>/dev/null; then
  echo "main: the card booted; its banner:" >&2
  cat "$out"
else
  echo "main: the card did not reach the demo BLDR; the debug console shows:" >&2
  cat "$out" 2>/dev/null || true
  exit 1
fi
