#!/usr/bin/env bash
# Builds the 32-bit Quil.exe twice from the same sources, each time from
# nothing, in folders at different paths, at different times, under different
# time zones and locales, and holds the two to the same bytes. The host-built
# packer is shared; everything it packs is built anew each time.
# Usage: reproducible.sh SZDD_TOOL WORK_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
source "$top/scripts/lib.sh"
szdd=$1 work=$2

rm -rf "$work"
first=$work/first/win32
second=$work/another/path/for/the/second/win32

build() {  # build FOLDER: the shipping build, Quil.exe alone
  quil_configure win32 "$1" -DSZDD_TOOL="$szdd" -DQUIL_TEST_HELPERS=OFF >/dev/null
  cmake --build "$1" --target Quil >"$1.log" 2>&1 || { cat "$1.log"; return 1; }
}
TZ=UTC LC_ALL=C build "$first"
TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 build "$second"

sha256sum "$first/Quil.exe" "$second/Quil.exe"
if cmp "$first/Quil.exe" "$second/Quil.exe"; then
  echo "1 passed, 0 failed"
else
  # Name the carried files that differ too: they usually tell why.
  for f in "$first"/payload/* "$first"/packed/*; do
    rel=${f#"$first"/}
    cmp -s "$f" "$second/$rel" || echo "differs too: $rel"
  done
  echo "FAILED: two builds of the same sources differ"
  echo "0 passed, 1 failed"
  exit 1
fi
rm -rf "$work"
