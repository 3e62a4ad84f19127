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
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  nasm
  googletest libgtest-dev libgmock-dev
  libarchive-dev libarchive-tools
  dosfstools mtools fdisk
  qemu-system-x86 syslinux syslinux-common mbr
  wine wine64 wine32:i386 fonts-wine
  xvfb xauth x11-utils imagemagick
  fp-utils
  python3
  lintian
)

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
    [[ "$p" == *:i386 ]] && need_i386=1
  fi
done

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi

# Wine runs the Windows program as a 32-bit process. Some kernels are built
# without 32-bit execution: every i386 program fails with "Exec format
# error". There, i386 programs go through qemu's user-mode emulator,
# registered with binfmt_misc, so that the shipped 32-bit program still
# builds and starts; the Wine suites then run on the 64-bit build of the
# same sources (cmake/wine.cmake), since under the emulator Wine takes many
# times as long and its processes hang at times.
ensure_i386_execution() {
  local wine32=/usr/lib/wine/wine
  [[ -x $wine32 ]] || return 0
  if "$wine32" --version >/dev/null 2>&1; then return 0; fi
  echo "install-deps: this kernel runs no 32-bit programs; registering qemu-i386 for them" >&2
  if ! dpkg-query -W -f='${Status}\n' qemu-user-static 2>/dev/null | grep -q '^install ok installed$'; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends qemu-user-static
  fi
  local misc=/proc/sys/fs/binfmt_misc
  [[ -e $misc/register ]] || $SUDO mount -t binfmt_misc binfmt_misc "$misc"
  if [[ ! -e $misc/qemu-i386 ]]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
      $SUDO tee "$misc/register" >/dev/null
  fi
  if ! "$wine32" --version >/dev/null 2>&1; then
    echo "install-deps: 32-bit programs still do not start; the Windows suites cannot run here" >&2
    return 1
  fi
}

if ((${#missing[@]} == 0)); then
  ensure_i386_execution
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
if ((need_i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
ensure_i386_execution
