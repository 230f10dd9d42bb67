#!/usr/bin/env bash
# Every test: sets the machine up, builds the host and 32-bit Windows builds
# (the host build first: the Windows build packs its payload with the
# host-built packer), runs the unit tests (under AddressSanitizer and
# UndefinedBehaviorSanitizer) and the fuzz targets, checks Quil.exe's form
# and that two builds of it are the same bytes, reads the report service's
# page in a browser, walks the installer's journeys under Wine, and signs a
# build and checks it.
#
#   bash scripts/test.sh           everything
#   bash scripts/test.sh --quick   the builds, the unit tests, the fuzz
#                                  corpora replayed (no fuzzing) and the
#                                  built-program checks: no Wine
#
# QUIL_E2E_STANDIN=1 also builds the x86-64 stand-in (build/win64), which the
# journeys then run where 32-bit Wine cannot.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${QUIL_BUILD:-$top/build}")
source "$top/scripts/lib.sh"
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: test.sh [--quick]" >&2; exit 2 ;;
esac

if [ "$quick" = 1 ]; then
  bash "$top/scripts/setup.sh" --quick
else
  bash "$top/scripts/setup.sh"
fi

quil_build_host "$build/host"
quil_build_windows win32 "$build/win32" "$build/host"
standin=()
if [ "${QUIL_E2E_STANDIN:-0}" = 1 ]; then
  quil_build_windows win64 "$build/win64" "$build/host"
  standin=(-DQUIL_WIN64_BUILD="$build/win64")
fi

ctest --test-dir "$build/host" --output-on-failure -j2
# Every fuzz target after replaying its corpus (the seeds and the inputs of
# earlier findings), then a fixed number of inputs from a fixed seed, so that
# the result is the commit's and not the luck of the run; the quick path
# only replays. Exploring is scripts/fuzz.sh TARGET SECONDS.
QUIL_BUILD="$build" bash "$top/scripts/fuzz.sh" all --runs \
  "$([ "$quick" = 1 ] && echo 0 || echo "${QUIL_FUZZ_RUNS:-10000}")"
ctest --test-dir "$build/win32" --output-on-failure
if [ "$quick" = 1 ]; then
  exit 0
fi

# Two builds of the 32-bit Quil.exe from nothing, at different paths and
# times, give the same bytes.
bash "$top/tests/build/reproducible.sh" "$build/host/tools/szdd/szdd" "$build/reproducible"

# The report service's page in headless Chromium, fed reports as Quil.exe
# posts them; its screenshots go beside the journeys'.
python3 "$top/tests/reports/page_check.py" --program "$build/host/reports/quil-reports" \
        --symbols "$build/win32/symbols" --shots "$build/e2e/shots/report-page" \
        --work "$build/report-page"

# The journeys under Wine, on the 32-bit Quil.exe. Where this kernel cannot
# run 32-bit programs they run in virtual machines (tests/e2e/vm/vm.py says
# where, and why); QUIL_E2E_VM=1 puts them there anyway. An emulated guest
# runs on one host thread, so two guests share the journeys out, each with a
# journeys folder of its own (template prefix, records): the second core would
# otherwise sit idle.
e2e_config() {  # FOLDER PART GUEST
  cmake -S "$top/tests/e2e" -B "$build/$1" -DQUIL_WIN32_BUILD="$build/win32" \
        -DQUIL_E2E_PART="$2" -DQUIL_E2E_GUEST="$3" "${standin[@]}"
}
journeys=(bash "$top/tests/e2e/run_all.sh" "$build")
where=$(python3 "$top/tests/e2e/vm/vm.py" where)
if [ "$where" = guest ]; then
  e2e_config e2e 1/2 ON
  e2e_config e2e-2 2/2 ON
  guest() {  # NAME E2E-FOLDER
    python3 "$top/tests/e2e/vm/vm.py" run --share "$build" --name "$1" --cwd "$top" \
            --timeout 3600 -- "${journeys[@]}" "$2"
  }
  # The second guest's output follows the first's, whole, rather than line
  # by line between them.
  guest journeys-2 e2e-2 > "$build/e2e-2.log" 2>&1 &
  second=$!
  # Should this script end first, its guest ends too (vm.py ends QEMU).
  trap 'kill "$second" 2>/dev/null || true' EXIT
  first=0
  guest journeys-1 e2e || first=$?
  second_code=0
  wait "$second" || second_code=$?
  trap - EXIT
  echo "=== the second guest's journeys"
  cat "$build/e2e-2.log"
  if [ "$first" != 0 ] || [ "$second_code" != 0 ]; then
    echo "journeys failed: first guest $first, second guest $second_code" >&2
    exit 1
  fi
else
  e2e_config e2e "" OFF
  "${journeys[@]}"
fi

# A build signed with a throwaway certificate: verified, tampered with, and
# walked through the default install under Wine.
python3 "$top/tests/build/signing.py" "$build/host/tools/szdd/szdd" "$build/signed" "$build/e2e"
