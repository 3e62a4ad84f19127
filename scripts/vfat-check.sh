#!/usr/bin/env bash
# On demand, not part of the test command (a run takes about half a minute
# per card): the Linux kernel's own vfat driver reads restored cards, and
# what it sees must be what mtools sees, file for file and byte for byte.
#
#   scripts/vfat-check.sh [CARD.img ...]
#
# Without images it restores a card of each system kind with
# build/linux/tessarin (installer archives and a Project folder with long,
# non-ASCII and deeply nested names) and checks those.
#
# This machine's kernel has no vfat and no nested virtualisation, so a
# Debian kernel (linux-image-*-cloud-amd64) and busybox-static are fetched
# with apt-get download (unpacked, not installed) into build/vfat-kernel,
# and booted in qemu-system-x86_64 with a small initramfs that mounts the
# card's first partition read-only and lists it on the serial port.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/linux
kernel_dir=$root/build/vfat-kernel
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8

command -v qemu-system-x86_64 >/dev/null || { echo "vfat-check: qemu-system-x86_64 missing" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/vfat-check-XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- the kernel and the initramfs ------------------------------------------
if [[ ! -f $kernel_dir/initrd.cpio.gz ]]; then
  rm -rf "$kernel_dir"
  mkdir -p "$kernel_dir/debs"
  image=$(apt-cache depends linux-image-cloud-amd64 | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -1)
  [[ -n $image ]] || { echo "vfat-check: no linux-image-cloud-amd64 in the package lists (apt-get update?)" >&2; exit 1; }
  (cd "$kernel_dir/debs" && apt-get download "$image" busybox-static)
  for deb in "$kernel_dir"/debs/*.deb; do dpkg-deb -x "$deb" "$kernel_dir/unpacked"; done
  cp "$kernel_dir"/unpacked/boot/vmlinuz-* "$kernel_dir/vmlinuz"

  initrd=$kernel_dir/initrd
  mkdir -p "$initrd"/{bin,dev,proc,sys,mnt,modules}
  cp "$kernel_dir/unpacked/bin/busybox" "$initrd/bin/busybox"
  modules=$(ls -d "$kernel_dir"/unpacked/lib/modules/*/kernel)
  # In the order of their dependencies.
  order=(drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_modern_dev
    drivers/virtio/virtio_pci_legacy_dev drivers/virtio/virtio_pci drivers/block/virtio_blk
    fs/fat/fat fs/fat/vfat fs/nls/nls_cp437 fs/nls/nls_utf8)
  for m in "${order[@]}"; do cp "$modules/$m.ko" "$initrd/modules/"; done
  printf '%s\n' "${order[@]##*/}" >"$initrd/modules/order"
  cat >"$initrd/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do insmod /modules/$m.ko; done
for i in 1 2 3 4 5 6 7 8 9 10; do [ -b /dev/vda1 ] && break; sleep 0.2; done
echo "VFAT-BEGIN"
if mount -t vfat -o ro,iocharset=utf8,shortname=mixed /dev/vda1 /mnt; then
  cd /mnt
  find . -mindepth 1 -type d | sed 's/^/D /'
  find . -type f | while read -r f; do echo "F $(stat -c %s "$f") $(md5sum < "$f" | cut -d' ' -f1) $f"; done
else
  echo "VFAT-MOUNT-FAILED"
fi
echo "VFAT-END"
poweroff -f
EOF
  chmod +x "$initrd/init"
  # busybox packs it: cpio need not be installed.
  (cd "$initrd" && find . | "$kernel_dir/unpacked/bin/busybox" cpio -o -H newc 2>/dev/null |
    gzip -9 >"$kernel_dir/initrd.cpio.gz")
fi

# --- the cards --------------------------------------------------------------
cards=("$@")
if ((${#cards[@]} == 0)); then
  [[ -x $build/tessarin ]] || { echo "vfat-check: build the linux preset first" >&2; exit 1; }
  stub=$build/demo/sfx_stub.bin
  project=$work/project
  mkdir -p "$project/Bildschirme/Übersicht der Maße" "$project/a/b/c/d/e/f/g/h"
  printf 'main\n' >"$project/main.prj"
  printf 'long\n' >"$project/Bildschirme/A rather long file name with blanks.txt"
  head -c 70000 /dev/urandom >"$project/Bildschirme/Übersicht der Maße/Grüße.bmp"
  printf 'deep\n' >"$project/a/b/c/d/e/f/g/h/deep.csv"
  for kind in wincesys:BLDR romdossys:IBMBIO.COM dossys:BOOTMGR; do
    archive=${kind%%:*}.exe system=${kind#*:}
    dir=$work/${kind%%:*}
    mkdir -p "$dir/installer/System Files"
    head -c 40000 /dev/urandom >"$dir/installer/$system"
    printf 'read me\n' >"$dir/installer/System Files/Liesmich ä.txt"
    src/linux/demo/make_sfx.sh "$stub" "$dir/$archive" "$dir/installer" "$system" "System Files"
    truncate -s 128M "$dir/card.img"
    echo 'start=2048, type=c' | sfdisk -q "$dir/card.img"
    mkfs.fat -F 32 -h 2048 --offset=2048 "$dir/card.img" 130048 >/dev/null
    mmd -i "$dir/card.img@@1048576" ::/Project
    for entry in "$project"/*; do mcopy -s -i "$dir/card.img@@1048576" "$entry" ::/Project/; done
    (cd "$dir" && TMPDIR=$dir "$build/tessarin" --yes card.img >restore.log 2>&1) ||
      { cat "$dir/restore.log"; echo "vfat-check: the restore of $dir/card.img failed" >&2; exit 1; }
    cards+=("$dir/card.img")
  done
fi

# --- what mtools sees against what the kernel sees ---------------------------
failed=0
for card in "${cards[@]}"; do
  start=$(sfdisk -d "$card" | sed -n 's/.*start= *\([0-9]*\).*/\1/p' | head -1)
  copy=$work/mtools-copy
  rm -rf "$copy"
  mkdir -p "$copy"
  if ! mcopy -s -n -i "$card@@$((start * 512))" '::/*' "$copy/"; then
    echo "FAIL $card: mtools cannot read the card's volume"
    failed=1
    continue
  fi
  (cd "$copy" && { find . -mindepth 1 -type d | sed 's/^/D /'
    find . -type f | while read -r f; do echo "F $(stat -c %s "$f") $(md5sum <"$f" | cut -d' ' -f1) $f"; done; }) |
    sort >"$work/mtools.txt"

  timeout 180 qemu-system-x86_64 -m 256 -nographic -no-reboot -kernel "$kernel_dir/vmlinuz" \
    -initrd "$kernel_dir/initrd.cpio.gz" -append "console=ttyS0 quiet panic=-1" \
    -drive "file=$card,format=raw,if=virtio,readonly=on" -serial "file:$work/serial.txt" -monitor none -net none \
    -display none >/dev/null 2>&1 || true
  # The firmware's screen codes may lead the first line; kernel messages
  # may come between the listing's lines.
  tr -d '\r' <"$work/serial.txt" | sed -n '/VFAT-BEGIN$/,/^VFAT-END$/p' >"$work/kernel-raw.txt"
  grep -E '^(D|F) ' "$work/kernel-raw.txt" | sort >"$work/kernel.txt" || true

  if ! grep -q '^VFAT-END$' "$work/kernel-raw.txt" || grep -q VFAT-MOUNT-FAILED "$work/kernel-raw.txt"; then
    echo "FAIL $card: the kernel could not mount the card's volume"
    tail -20 "$work/serial.txt"
    failed=1
  elif ! diff -u "$work/mtools.txt" "$work/kernel.txt"; then
    echo "FAIL $card: the kernel's vfat sees something else than mtools (- mtools, + kernel)"
    failed=1
  else
    echo "ok   $card: $(grep -c '^F' "$work/kernel.txt") files, $(grep -c '^D' "$work/kernel.txt") folders read alike"
  fi
done
exit $failed
