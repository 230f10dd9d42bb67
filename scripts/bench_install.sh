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
build=$(realpath -m "${QUIL_BUILD:-$top/build}")
source "$top/scripts/lib.sh"

bash "$top/scripts/setup.sh" >&2
quil_build_host "$build/host" szdd >/dev/null
quil_build_windows win32 "$build/win32" "$build/host" >/dev/null
standin=()
if [ "$(python3 "$top/tests/e2e/vm/vm.py" where --quiet)" = guest ]; then
  quil_build_windows win64 "$build/win64" "$build/host" >/dev/null
  standin=(--win64-build "$build/win64")
fi
python3 "$top/tests/e2e/bench_install.py" --win32-build "$build/win32" \
        "${standin[@]}" --work "$build/e2e" --runs "${1:-3}" \
  | grep -v '^keys \|^starting '
