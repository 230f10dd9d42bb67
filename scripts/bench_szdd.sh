#!/usr/bin/env bash
# Compares our SZDD compressor with Debian's mscompress on the given files.
# Every result is expanded again with msexpand, so a size is only reported
# for output that actually restores the input.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 FILE..." >&2
  exit 2
fi

here=$(cd "$(dirname "$0")/.." && pwd)
szdd=${SZDD:-$here/build/host/tools/szdd/szdd}
[ -x "$szdd" ] || { echo "bench_szdd: no szdd tool at $szdd (set SZDD)" >&2; exit 1; }
command -v mscompress >/dev/null || { echo "bench_szdd: mscompress not installed" >&2; exit 1; }
command -v msexpand >/dev/null || { echo "bench_szdd: msexpand not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

printf '%-32s %12s %12s %8s %9s %12s %8s %9s\n' \
  file original szdd ratio szdd_s mscompress ratio msc_s
status=0
for f in "$@"; do
  orig=$(stat -c %s "$f")

  t0=$(now); "$szdd" "$f" "$work/ours"; t1=$(now)
  ours=$(stat -c %s "$work/ours")
  ours_t=$(elapsed "$t0" "$t1")
  msexpand < "$work/ours" > "$work/ours.out"
  if ! cmp -s "$f" "$work/ours.out"; then
    echo "bench_szdd: $f: our output does not expand back" >&2
    status=1
  fi

  # mscompress writes NAME_ next to its input, so work on a copy.
  cp "$f" "$work/in"
  rm -f "$work/in_"
  t0=$(now); mscompress "$work/in"; t1=$(now)
  theirs=$(stat -c %s "$work/in_")
  theirs_t=$(elapsed "$t0" "$t1")

  printf '%-32s %12d %12d %7.1f%% %9s %12d %7.1f%% %9s\n' \
    "$(basename "$f")" "$orig" "$ours" "$(awk -v a="$ours" -v b="$orig" 'BEGIN{print b ? 100*a/b : 0}')" "$ours_t" \
    "$theirs" "$(awk -v a="$theirs" -v b="$orig" 'BEGIN{print b ? 100*a/b : 0}')" "$theirs_t"
done
exit $status
