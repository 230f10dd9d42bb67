#!/usr/bin/env bash
# The report service's benchmark: builds quil-reports for production (the
# README's command: release, no sanitizers) with the load generator, and
# prints what one machine takes: durable reports a second and their latency
# under load, the count of reports answered "OK" after a SIGKILL mid-load
# (none may be missing), and what bad input does (tests/reports/bench.py).
# Then the side-by-side run (scripts/intake-peers/compare.sh): quil-reports
# against nginx answering "OK" from memory (the ceiling) and a one-file PHP
# intake on nginx with SQLite, keep-alive and one connection per report,
# with the ratios of that one run. QUIL_BEFORE=BUILD adds an earlier
# build of quil-reports to it.
#
#   bash scripts/bench_reports.sh [SECONDS] [CLIENTS]     (10 s, 64 clients)
#
# The side-by-side run needs wrk nginx-light php8.2-fpm php8.2-sqlite3 and
# root; without them it says so and is skipped.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${QUIL_BUILD:-$top/build}")
release="$build/reports-release"
cmake -S "$top/reports" -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$release" -j2 --target quil-reports quil-reports-loadgen >/dev/null
echo "machine: $(nproc) cores, $(uname -r); quil-reports $(git -C "$top" describe --always --dirty)"
status=0
python3 "$top/tests/reports/bench.py" --program "$release/quil-reports" \
        --loadgen "$release/quil-reports-loadgen" --work "$build/bench-reports" \
        --seconds "${1:-10}" --clients "${2:-64}" || status=$?
echo "== side by side"
bash "$top/scripts/intake-peers/compare.sh" "$release/quil-reports" "${1:-10}" "${2:-64}" || status=$?
exit "$status"
