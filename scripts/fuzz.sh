#!/usr/bin/env bash
# Builds the fuzz targets (clang's libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, against winsim) and runs them:
#
#     scripts/fuzz.sh TARGET|all SECONDS    explore: SECONDS of fuzzing each
#                                           (default: all, 10 seconds each)
#     scripts/fuzz.sh TARGET|all --runs N   the test command's run: N inputs
#                                           from a fixed seed (0: the corpus
#                                           alone), the same on every machine
#
# Each run first replays the target's corpus in the repository
# (tests/fuzz/corpus/TARGET: seeds and the inputs of earlier findings).
# Exploring keeps what it finds new in the build folder
# ($QUIL_BUILD/fuzz/corpus/TARGET) and goes on from there next time, never
# in the repository; the fixed run starts from the repository's corpus alone
# each time, so its result depends on the commit and nothing else (see
# run_fixed). An input
# that breaks a rule is kept as $QUIL_BUILD/fuzz/findings/TARGET/crash-*
# and the script fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/lib.sh"
build="${QUIL_BUILD:-$top/build}/fuzz"
which="${1:-all}"
seconds="${2:-10}"
runs=""
if [ "$seconds" = --runs ]; then
  runs="${3:?fuzz.sh: --runs needs a number}"
fi
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

# The fixed run is the same on every machine only if nothing the target
# sees differs: its heap is laid out by the lengths of its arguments (which
# libFuzzer copies), and the simulated machine keeps handles and memory in
# tables ordered by address, whose code the coverage counts. So it runs in a
# folder of the same name length everywhere, with the same relative
# arguments, never reloads its folder on a timer (-reload=0) and draws no
# mutations from compared values (-use_cmp=0), which hold stack addresses.
limits=(-timeout=10 -max_len=4096 -print_final_stats=1)
run_fixed() {  # TARGET FINDINGS
  local dir status=0
  dir=$(mktemp -d /tmp/quil-fuzz.XXXXXXXX)
  ln -s "$(realpath "$build/tests/fuzz/fuzz_$1")" "$dir/fuzz"
  mkdir "$dir/corpus" "$dir/findings"
  cp "$top/tests/fuzz/corpus/$1"/* "$dir/corpus/"
  (cd "$dir" && ./fuzz corpus -seed=1 -runs="$runs" -reload=0 -use_cmp=0 "${limits[@]}" \
     -artifact_prefix=findings/) 2>"$build/$1.log" || status=$?
  cp -r "$dir/findings/." "$2/"
  rm -rf "$dir"
  return "$status"
}

for t in "${targets[@]}"; do
  findings="$build/findings/$t"
  mkdir -p "$findings"
  status=0
  if [ -n "$runs" ]; then
    echo "== fuzz $t: the corpus, then $runs inputs from seed 1"
    run_fixed "$t" "$findings" || status=$?
  else
    work="$build/corpus/$t"
    mkdir -p "$work"
    echo "== fuzz $t: the corpus, then $seconds s of fuzzing"
    "$build/tests/fuzz/fuzz_$t" "$work" "$top/tests/fuzz/corpus/$t" \
        $([ "$seconds" = 0 ] && echo -runs=0 || echo -max_total_time="$seconds") \
        "${limits[@]}" -artifact_prefix="$findings/" 2>"$build/$t.log" || status=$?
  fi
  if [ "$status" != 0 ]; then
    tail -n 60 "$build/$t.log" >&2
    echo "fuzz $t: a rule broke; the input is in $findings" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$build/$t.log" | tr '\n' ' '
  grep -oE "cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*" "$build/$t.log" | tail -n 1
done
