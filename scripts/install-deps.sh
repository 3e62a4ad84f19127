#!/usr/bin/env bash
# Installs, from Debian's packages, what the build and the test suites need.
# Idempotent: only packages that are missing are installed, and apt is not
# touched at all when everything is present.
set -euo pipefail

need_i386=0
pkgs=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev clang-tidy cppcheck
  g++-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-i686
  nasm
  googletest libgtest-dev libgmock-dev
  libarchive-dev libarchive-tools
  dosfstools mtools fdisk
  qemu-system-x86 syslinux syslinux-common mbr
  wine wine64 wine32:i386 fonts-wine
  xvfb xauth x11-utils imagemagick
  fp-utils
)

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
    [[ "$p" == *:i386 ]] && need_i386=1
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
if ((need_i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
