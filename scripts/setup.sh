#!/usr/bin/env bash
# Installs what the builds and the journeys need on a Debian 12 machine, as root.
# Quick when everything is already there: it asks apt only for what is missing.
#
#   bash scripts/setup.sh           everything: the builds, the checks and the
#                                   journeys under Wine (the i386 side of the
#                                   archive, and QEMU where it is needed)
#   bash scripts/setup.sh --quick   only the builds, the unit tests, the fuzz
#                                   corpora and the built-program checks
#
# A package mirror caught mid-sync is the usual way this fails: an index whose
# size does not match its Release file. `apt-get update` is retried a few
# times, and then set-up goes on with what it has and lets the install decide.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: setup.sh [--quick]" >&2; exit 2 ;;
esac

# What the quick path builds and checks with: the host and 32-bit Windows
# builds, the unit tests, the report service, the fuzz targets (clang with
# libFuzzer and its sanitizer runtimes) and the built-program checks (Python,
# Debian's msexpand).
pkgs=(cmake ninja-build g++ make libgtest-dev googletest libmspack-dev mscompress
      g++-mingw-w64-i686 binutils-mingw-w64-i686 python3
      clang libclang-rt-14-dev
      # The report service: its store and its HTTP server, whose build
      # settings pkg-config gives; libcrypto for its page's cookie and its
      # form tokens (HMAC).
      libsqlite3-dev libcpp-httplib-dev pkgconf libssl-dev)

# What the whole test command and the main job add.
full_pkgs=(
      # The journeys: 32-bit Wine for the program we ship, 64-bit Wine for
      # the x86-64 build of the same sources (a quick stand-in for
      # development), Windows' own dialog fonts, a virtual display, keys,
      # window listings and screenshots.
      wine wine32:i386 libwine:i386 wine64 fonts-wine
      g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
      xvfb xdotool x11-utils imagemagick
      # The crash journeys: a private network (unshare, nsenter; ip) for Wine
      # and the report service.
      util-linux iproute2
      # An independent reader of the shortcuts the installer makes.
      liblnk-utils
      # A small window manager, for the install benchmark's comparison.
      matchbox-window-manager
      # The journeys under code page 932: the Japanese locale (generated
      # below) and a font with its letters, for the screenshots.
      locales fonts-vlgothic
      # The report service's page, read in a real browser.
      chromium
      # Authenticode signing of a maker's build; the signing tests make
      # their throwaway certificates with openssl.
      osslsigncode openssl)

# The virtual machine that runs the journeys where this kernel cannot run
# 32-bit programs (tests/e2e/vm): QEMU, a kernel that can, and what its
# initramfs is made of.
vm_pkgs=(qemu-system-x86 linux-image-amd64 busybox-static cpio kmod)

# Tries, the pause between them and each try's bound; the script test of
# set-up (tests/setup) sets the pause to nothing.
update_tries=${QUIL_APT_UPDATE_TRIES:-3}
update_pause=${QUIL_APT_UPDATE_PAUSE:-20}
update_bound=${QUIL_APT_UPDATE_BOUND:-300}

apt_updated=0
apt_update() {
  [ "$apt_updated" = 0 ] || return 0
  apt_updated=1
  local try
  for ((try = 1; try <= update_tries; try++)); do
    if timeout "$update_bound" apt-get update -qq; then
      return 0
    fi
    if [ "$try" -lt "$update_tries" ]; then
      echo "setup: apt-get update failed (try $try of $update_tries); again in ${update_pause} s" >&2
      sleep "$update_pause"
    fi
  done
  echo "setup: apt-get update failed $update_tries times; going on with the indexes apt has" >&2
}

# Where the archive's security suite is out of step between its amd64 and
# i386 sides (a mirror mid-sync), the i386 packages ask for versions the amd64
# side has already passed, and apt finds no way to install both. The security
# suite pinned below the main archive for this one command makes apt take the
# versions both sides have. A pin under 1000 never downgrades what is
# installed, so the worst it does is fail the same way; nothing is written
# under /etc/apt.
install_pinned() {
  local pin codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  pin=$(mktemp)
  printf 'Package: *\nPin: release n=%s-security\nPin-Priority: 100\n' "$codename" > "$pin"
  echo "setup: trying once more with $codename-security pinned below $codename" >&2
  local code=0
  apt-get -o Dir::Etc::Preferences="$pin" install -y -qq --no-install-recommends "$@" || code=$?
  rm -f "$pin"
  return "$code"
}

install_missing() {
  local missing=() p foreign=0
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  for p in "${missing[@]}"; do
    case "$p" in *:i386) foreign=1 ;; esac
  done
  # wine32 comes from the i386 side of the archive.
  if [ "$foreign" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    apt_updated=0
  fi
  apt_update
  if apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    return 0
  fi
  if [ "$foreign" = 1 ] && install_pinned "${missing[@]}"; then
    echo "setup: installed with the main archive's versions; a later 'apt-get upgrade'" \
         "brings the security updates once the mirror has synced" >&2
    return 0
  fi
  if [ "$foreign" = 1 ]; then
    cat >&2 <<'EOF'
setup: the i386 packages (32-bit Wine) cannot be installed.
  Likely cause: the archive's i386 side is out of step with its amd64 side
  (a mirror mid-sync: look above for "File has unexpected size"), so the
  two sides offer different versions of the same libraries.
  What to do: wait a few minutes and run the command again. The quick path,
  bash scripts/test.sh --quick, needs no i386 packages and works meanwhile.
EOF
  else
    echo "setup: apt-get install failed (see above); run the command again once the archive answers" >&2
  fi
  exit 1
}

install_missing "${pkgs[@]}"
[ "$quick" = 0 ] || exit 0

install_missing "${full_pkgs[@]}"
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
