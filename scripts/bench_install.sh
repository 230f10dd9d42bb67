#!/usr/bin/env bash
# Times one default install under Wine, split from the Enter on "Accept" to the
# installed program's window, beside a bare start of that program, on Wine's
# own desktop (as the journeys run), on a bare X display and on one with a
# window manager, and times the dialogs' window calls and Quil.exe's check of
# its own resources alone.
# Runs the 32-bit Quil.exe where 32-bit Wine runs, the x86-64 stand-in
# otherwise, and says which. Prints figures; sets no limits.
#   bash scripts/bench_install.sh [RUNS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${QUIL_BUILD:-$top/build}"

bash "$top/scripts/setup.sh" >&2
cmake -S "$top" -B "$build/host" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build/host" --target szdd >/dev/null
for arch in win32:i686 win64:x86_64; do
  cmake -S "$top" -B "$build/${arch%%:*}" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/${arch##*:}-w64-mingw32.cmake" \
        -DSZDD_TOOL="$build/host/tools/szdd/szdd" >/dev/null
  cmake --build "$build/${arch%%:*}" >/dev/null
done
python3 "$top/tests/e2e/bench_install.py" --win32-build "$build/win32" \
        --win64-build "$build/win64" --work "$build/e2e" --runs "${1:-3}" \
  | grep -v '^keys \|^starting '
