#!/usr/bin/env bash
# The main job: builds Quil.exe and runs it under Wine. On a display ($DISPLAY
# set) it is there for a person to use; without one it walks the default
# install on a virtual display (Install, then Accept) and keeps a screenshot of
# every screen under build/e2e/shots/walk/. Where this kernel cannot run 32-bit
# programs, the walk runs in a virtual machine (tests/e2e/vm/vm.py); on a
# display, the x86-64 build of the same sources runs under wine64 in place of
# the 32-bit program, and the output says so.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${QUIL_BUILD:-$top/build}")
source "$top/scripts/lib.sh"

bash "$top/scripts/setup.sh"

quil_build_host "$build/host" szdd
quil_build_windows win32 "$build/win32" "$build/host"

journeys=(python3 "$top/tests/e2e/journeys")
args=(--win32-build "$build/win32" --work "$build/e2e")
where=$(python3 "$top/tests/e2e/vm/vm.py" where)
if [ -n "${DISPLAY:-}" ]; then
  if [ "$where" = guest ]; then
    echo "run: a virtual machine cannot show Quil.exe on your display: where 32-bit Wine" \
         "cannot run here, the x86-64 build of the same sources stands in for it under" \
         "wine64 (the line below names the program that runs)" >&2
    quil_build_windows win64 "$build/win64" "$build/host"
    args+=(--win64-build "$build/win64" --standin)
  fi
  exec "${journeys[@]}" interactive "${args[@]}"
fi
if [ "$where" = guest ]; then
  exec python3 "$top/tests/e2e/vm/vm.py" run --share "$build" --cwd "$top" --timeout 1800 \
       -- "${journeys[@]}" walk "${args[@]}"
fi
exec "${journeys[@]}" walk "${args[@]}"
