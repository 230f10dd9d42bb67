#!/usr/bin/env bash
# The packer against the smallest file the format allows and against Debian's
# mscompress, on the payload files Quil.exe carries packed (or on the files
# given). For each file: our size, the optimal size (an exhaustive search,
# slow), mscompress's size, each one's excess over the optimum, and the time
# of our release-built packer and of mscompress, the best of several runs of
# each, measured here in the same run. A size is only reported for output that
# msexpand restores to the input.
#
#   scripts/bench_szdd.sh [FILE...]
#
# QUIL_BUILD picks the build folder (default build/): the files are those of
# its win32/packed folder, taken from win32/payload, and the release packer is
# built in its bench/ folder.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUIL_BUILD:-$top/build}
runs=${BENCH_RUNS:-5}
command -v mscompress >/dev/null || { echo "bench_szdd: mscompress not installed" >&2; exit 1; }
command -v msexpand >/dev/null || { echo "bench_szdd: msexpand not installed" >&2; exit 1; }

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  [ -d "$build/win32/packed" ] || {
    echo "bench_szdd: no $build/win32/packed; build win32 first or name the files" >&2; exit 1; }
  for f in "$build/win32/packed"/*; do files+=("$build/win32/payload/$(basename "$f")"); done
fi

cmake -S "$top" -B "$build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUIL_SANITIZE=OFF >/dev/null
cmake --build "$build/bench" --target szdd szdd_optimal >/dev/null
szdd=$build/bench/tools/szdd/szdd
optimal=$build/bench/tools/szdd/szdd_optimal

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# best_ms COMMAND...: the shortest wall time of $runs runs, in milliseconds.
best_ms() {
  local best='' t0 t1 ms
  for _ in $(seq "$runs"); do
    t0=$(date +%s%N); "$@" >/dev/null; t1=$(date +%s%N)
    ms=$(( (t1 - t0) / 1000 ))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  awk -v us="$best" 'BEGIN { printf "%.1f", us / 1000 }'
}
over() { awk -v a="$1" -v o="$2" 'BEGIN { printf "%+.3f%%", 100 * (a - o) / o }'; }
msc() { rm -f "$work/in_"; mscompress "$work/in"; }

printf '%-16s %9s %9s %9s %9s %9s %9s %9s %9s\n' \
  file original ours optimal ours+ mscompress msc+ ours_ms msc_ms
status=0
sum_orig=0 sum_ours=0 sum_opt=0 sum_msc=0 sum_ours_ms=0 sum_msc_ms=0
for f in "${files[@]}"; do
  orig=$(stat -c %s "$f")
  opt=$("$optimal" "$f" | cut -d' ' -f1)

  ours_ms=$(best_ms "$szdd" "$f" "$work/ours")
  ours=$(stat -c %s "$work/ours")
  msexpand < "$work/ours" > "$work/ours.out"
  if ! cmp -s "$f" "$work/ours.out"; then
    echo "bench_szdd: $f: our output does not expand back" >&2
    status=1
  fi

  # mscompress writes NAME_ beside its input, so it works on a copy.
  cp "$f" "$work/in"
  msc_ms=$(best_ms msc)
  theirs=$(stat -c %s "$work/in_")

  printf '%-16s %9d %9d %9d %9s %9d %9s %9s %9s\n' "$(basename "$f")" "$orig" "$ours" "$opt" \
    "$(over "$ours" "$opt")" "$theirs" "$(over "$theirs" "$opt")" "$ours_ms" "$msc_ms"
  sum_orig=$((sum_orig + orig)) sum_ours=$((sum_ours + ours))
  sum_opt=$((sum_opt + opt)) sum_msc=$((sum_msc + theirs))
  sum_ours_ms=$(awk -v a="$sum_ours_ms" -v b="$ours_ms" 'BEGIN { print a + b }')
  sum_msc_ms=$(awk -v a="$sum_msc_ms" -v b="$msc_ms" 'BEGIN { print a + b }')
done
printf '%-16s %9d %9d %9d %9s %9d %9s %9.1f %9.1f\n' total "$sum_orig" "$sum_ours" "$sum_opt" \
  "$(over "$sum_ours" "$sum_opt")" "$sum_msc" "$(over "$sum_msc" "$sum_opt")" \
  "$sum_ours_ms" "$sum_msc_ms"
exit $status
