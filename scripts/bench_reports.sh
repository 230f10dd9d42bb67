#!/usr/bin/env bash
# The report service's benchmark: builds quil-reports for production (the
# README's command: release, no sanitizers) with the load generator, and
# prints what one machine takes: durable reports a second and their latency
# under load, the count of reports answered "OK" after a SIGKILL mid-load
# (none may be missing), and what bad input does (tests/reports/bench.py).
#
#   bash scripts/bench_reports.sh [SECONDS] [CLIENTS]     (10 s, 64 clients)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${QUIL_BUILD:-$top/build}")
release="$build/reports-release"
cmake -S "$top/reports" -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$release" -j2 --target quil-reports quil-reports-loadgen >/dev/null
echo "machine: $(nproc) cores, $(uname -r); quil-reports $(git -C "$top" describe --always --dirty)"
python3 "$top/tests/reports/bench.py" --program "$release/quil-reports" \
        --loadgen "$release/quil-reports-loadgen" --work "$build/bench-reports" \
        --seconds "${1:-10}" --clients "${2:-64}"
