#!/usr/bin/env bash
# The main job: builds Quil.exe and runs it under Wine. On a display ($DISPLAY
# set) it is there for a person to use; without one it walks the default
# install on a virtual display (Install, then Accept) and keeps a screenshot of
# every screen. Where 32-bit Wine cannot run, the x86-64 build of the same
# sources runs under wine64 in its place (the output says which ran).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${QUIL_BUILD:-$top/build}"

bash "$top/scripts/setup.sh"

cmake -S "$top" -B "$build/host" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build/host" --target szdd
for arch in win32:i686 win64:x86_64; do
  cmake -S "$top" -B "$build/${arch%%:*}" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/${arch##*:}-w64-mingw32.cmake" \
        -DSZDD_TOOL="$build/host/tools/szdd/szdd" >/dev/null
  cmake --build "$build/${arch%%:*}"
done

args=(--win32-build "$build/win32" --win64-build "$build/win64" --work "$build/e2e")
if [ -n "${DISPLAY:-}" ]; then
  exec python3 "$top/tests/e2e/journeys.py" interactive "${args[@]}"
fi
exec python3 "$top/tests/e2e/journeys.py" walk "${args[@]}"
