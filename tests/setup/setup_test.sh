#!/usr/bin/env bash
# scripts/setup.sh against an archive caught mid-sync, as a fresh machine met
# it: apt-get, dpkg and the rest are stand-ins on PATH that log what they
# are asked. `apt-get update` fails on the i386 index every time; the plain
# install of the i386 packages fails as apt fails on sides out of step, and
# the install with the security suite pinned works or not, by case.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"

stub() { printf '#!/usr/bin/env bash\n%s\n' "$2" > "$work/bin/$1"; chmod +x "$work/bin/$1"; }
stub apt-get 'echo "apt-get $*" >> "$LOG"
case "$*" in
  *update*) echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2; exit 100 ;;
  *Dir::Etc::Preferences=*)
    all="$*"; pin=${all#*Preferences=}; cat "${pin%% *}" >> "$LOG"; exit "$PINNED" ;;
  *:i386*) echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;;
esac'
stub dpkg-query 'exit 1'
stub dpkg 'echo "dpkg $*" >> "$LOG"'
stub id 'echo 0'
stub locale 'echo ja_JP.utf8'
stub python3 'echo here'

failures=0
check() {  # WHAT CONDITION...
  local what=$1
  shift
  if "$@"; then echo "  ok   $what"; else echo "  FAIL $what"; failures=$((failures + 1)); fi
}
logged() { grep -q -- "$1" "$work/log"; }
count() { grep -c -- "$1" "$work/log"; }

# CASE ARGUMENTS PINNED-EXIT: set-up's exit code in $code, its messages in
# $work/out, what the stand-ins were asked in $work/log.
run() {
  echo "== $1"
  : > "$work/log"
  code=0
  LOG="$work/log" PINNED=$3 PATH="$work/bin:$PATH" QUIL_APT_UPDATE_PAUSE=0 \
    bash "$top/scripts/setup.sh" $2 > "$work/out" 2>&1 || code=$?
}

run "the quick path" --quick 0
check "it goes on after three failed updates and succeeds" \
  test "$code" = 0 -a "$(count 'update')" = 3
check "it installs no Wine, no i386 package and adds no architecture" \
  bash -c "! grep -qE 'wine|:i386|add-architecture|qemu' '$work/log'"
check "it installs the compilers and the report service's libraries" \
  bash -c "grep -q 'install.* g++-mingw-w64-i686 .*libsqlite3-dev' '$work/log'"

run "everything, the pin helps" "" 0
check "the i386 packages are tried plainly, then once with the pin, and set-up succeeds" \
  test "$code" = 0 -a "$(count 'install.*wine32:i386')" = 2
check "the pin puts the security suite below the main archive, never above installed" \
  logged "Pin-Priority: 100"
check "set-up says what it did" grep -q "main archive's versions" "$work/out"

run "everything, the archive stays out of step" "" 100
check "set-up stops" test "$code" = 1
check "and says why and what to do" \
  bash -c "grep -q 'out of step with its amd64 side' '$work/out' &&
           grep -q 'wait a few minutes and run the command again' '$work/out'"

echo "$failures failed"
[ "$failures" = 0 ]
