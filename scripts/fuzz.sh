#!/usr/bin/env bash
# Builds the fuzz targets (clang's libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, against winsim) and runs them:
#
#     scripts/fuzz.sh TARGET|all [SECONDS]     (default: all, 10 seconds each;
#                                              0: the corpus replayed, no fuzzing)
#
# Each run first replays the target's corpus in the repository
# (tests/fuzz/corpus/TARGET: seeds and the inputs of earlier findings), then
# fuzzes for SECONDS. New inputs go to the build folder, never into the
# repository; an input that breaks a rule is kept as
# $QUIL_BUILD/fuzz/findings/TARGET/crash-* and the script fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/lib.sh"
build="${QUIL_BUILD:-$top/build}/fuzz"
which="${1:-all}"
seconds="${2:-10}"
targets=(version_reader registry_values folder_names agreement_text packer report_body)

if [ "$which" != all ]; then
  case " ${targets[*]} " in
    *" $which "*) targets=("$which") ;;
    *) echo "fuzz.sh: no target '$which' (${targets[*]})" >&2; exit 2 ;;
  esac
fi

quil_configure fuzz "$build" > "$build.configure.log" \
  || { cat "$build.configure.log" >&2; exit 1; }
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  findings="$build/findings/$t"
  mkdir -p "$work" "$findings"
  echo "== fuzz $t: the corpus, then $seconds s of fuzzing"
  "$build/tests/fuzz/fuzz_$t" "$work" "$top/tests/fuzz/corpus/$t" \
      $([ "$seconds" = 0 ] && echo -runs=0 || echo -max_total_time="$seconds") \
      -timeout=10 -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$findings/" 2>"$build/$t.log" \
    || { tail -n 60 "$build/$t.log" >&2; echo "fuzz $t: a rule broke; the input is in $findings" >&2; exit 1; }
  grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$build/$t.log" | tr '\n' ' '
  echo
done
