#!/usr/bin/env bash
# Installs what the builds and the journeys need on a Debian 12 machine, as root.
# Quick when everything is already there: it asks apt only for what is missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

pkgs=(cmake ninja-build g++ make libgtest-dev googletest libmspack-dev mscompress
      g++-mingw-w64-i686 binutils-mingw-w64-i686 python3
      # The journeys: 32-bit Wine for the program we ship, 64-bit Wine for
      # the x86-64 build of the same sources (a quick stand-in for
      # development), Windows' own dialog fonts, a virtual display, keys,
      # window listings and screenshots.
      wine wine32:i386 libwine:i386 wine64 fonts-wine
      g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
      xvfb xdotool x11-utils imagemagick
      # The crash journeys: a private network (unshare, nsenter; ip) for Wine
      # and the reference report server.
      util-linux iproute2
      # An independent reader of the shortcuts the installer makes.
      liblnk-utils
      # A small window manager, for the install benchmark's comparison.
      matchbox-window-manager
      # The journeys under code page 932: the Japanese locale (generated
      # below) and a font with its letters, for the screenshots.
      locales fonts-vlgothic
      # The fuzz targets: clang with libFuzzer and its sanitizer runtimes.
      clang libclang-rt-14-dev
      # Authenticode signing of a maker's build; the signing tests make
      # their throwaway certificates with openssl.
      osslsigncode openssl)

# The virtual machine that runs the journeys where this kernel cannot run
# 32-bit programs (tests/e2e/vm): QEMU, a kernel that can, and what its
# initramfs is made of.
vm_pkgs=(qemu-system-x86 linux-image-amd64 busybox-static cpio kmod)

install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # wine32 comes from the i386 side of the archive.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing "${pkgs[@]}"
if ! locale -a 2>/dev/null | grep -qx 'ja_JP.utf8'; then
  if [ "$(id -u)" != 0 ]; then
    echo "setup: the ja_JP.UTF-8 locale is missing; run as root to generate it" >&2
    exit 1
  fi
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
# Decided by trying the 32-bit Wine just installed.
if [ "$(python3 "$top/tests/e2e/vm/vm.py" where --quiet)" = guest ]; then
  install_missing "${vm_pkgs[@]}"
fi
