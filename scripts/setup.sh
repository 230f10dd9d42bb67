#!/usr/bin/env bash
# Installs what the builds and the journeys need on a Debian 12 machine, as root.
# Quick when everything is already there: it asks apt only for what is missing.
set -euo pipefail

pkgs=(cmake ninja-build g++ make libgtest-dev googletest libmspack-dev mscompress
      g++-mingw-w64-i686 binutils-mingw-w64-i686 python3
      # The journeys: the x86-64 build that stands in where 32-bit Wine cannot
      # run, 64-bit Wine with Windows' own dialog fonts, a virtual display,
      # keys, window listings and screenshots.
      g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 fonts-wine
      xvfb xdotool x11-utils imagemagick)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
