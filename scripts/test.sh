#!/usr/bin/env bash
# Every test: sets the machine up, builds both builds (the host build first:
# the win32 build packs its payload with the host-built packer), runs the unit
# tests (under AddressSanitizer and UndefinedBehaviorSanitizer) and checks
# Quil.exe's form.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${QUIL_BUILD:-$top/build}"

bash "$top/scripts/setup.sh"

cmake -S "$top" -B "$build/host" -G Ninja -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build/host"

cmake -S "$top" -B "$build/win32" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/i686-w64-mingw32.cmake" \
      -DSZDD_TOOL="$build/host/tools/szdd/szdd"
cmake --build "$build/win32"

ctest --test-dir "$build/host" --output-on-failure -j2
ctest --test-dir "$build/win32" --output-on-failure
