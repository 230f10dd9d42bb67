#!/usr/bin/env bash
# Every journey of a build folder's journeys folder (E2E, "e2e" unless
# given), back to back: the test command runs this here, or inside virtual
# machines where this kernel cannot run 32-bit programs (tests/e2e/vm), each
# with a journeys folder of its own.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build="${1:?usage: run_all.sh BUILD_FOLDER [E2E]}"
e2e="$build/${2:-e2e}"

# Says which Wine and which build the journeys run, and boots the template
# prefix (minutes, once per build folder) before the timed CTest entries.
standin=()
[ -d "$build/win64" ] && standin=(--win64-build "$build/win64")
python3 "$top/tests/e2e/journeys" prepare --win32-build "$build/win32" \
        "${standin[@]}" --work "$e2e"
ctest --test-dir "$e2e" --output-on-failure
