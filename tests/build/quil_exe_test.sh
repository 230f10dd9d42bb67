#!/usr/bin/env bash
# Checks the built Quil.exe and its payload: a 32-bit GUI program carrying
# every payload file, each packed row expanding back byte for byte to the
# file it was packed from, and every "FILE" resource read back out of
# Quil.exe the same bytes as the file the resource script names. Its imports
# are program_check.py's to hold.
# Usage: quil_exe_test.sh QUIL_EXE PAYLOAD_DIR PACKED_DIR RESOURCE_SCRIPT
set -u
exe=$1 payload=$2 packed=$3 script=$4
here=$(cd "$(dirname "$0")" && pwd)
failed=0 passed=0
check() {  # check NAME COMMAND...
  if "${@:2}"; then passed=$((passed + 1)); else echo "FAILED: $1"; failed=$((failed + 1)); fi
}

check "PE32 GUI program" bash -c "file -b '$exe' | grep -q '^PE32 executable (GUI) Intel 80386'"

for f in "$packed"/*; do
  name=$(basename "$f")
  out=$(mktemp)
  msexpand < "$f" > "$out" 2>/dev/null
  check "$name expands to its source" cmp -s "$out" "$payload/$name"
  rm -f "$out"
done

resources=$(mktemp -d)
check "the FILE resources can be read" python3 "$here/pe_resources.py" "$exe" FILE "$resources"
lines=$(grep -cE '^[0-9]+ FILE ' "$script")
check "Quil.exe carries the $lines FILE resources of its script" \
  test "$(find "$resources" -type f | wc -l)" -eq "$lines"
while read -r id _ path; do
  path=${path//\"/}
  check "FILE $id is $(basename "$path") as built" cmp -s "$resources/$id" "$path"
done < <(grep -E '^[0-9]+ FILE ' "$script")
rm -rf "$resources"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
