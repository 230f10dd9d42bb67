#!/usr/bin/env bash
# Signs a 32-bit build with a throwaway CA and code-signing certificate made
# here and now (their keys live in the work folder only while this runs), then
# checks that osslsigncode accepts the signed Quil.exe and every program it
# carries (read back out of its resources and expanded) against that CA and
# no other; that a byte changed after signing fails verification; that the
# resources are intact; that a key with its certificate signs as well as a
# PKCS#12 file; that a time-stamping server is asked for a time stamp; and
# that the signed Quil.exe walks the default install under Wine.
# Usage: signing.sh SZDD_TOOL WORK_DIR [JOURNEYS_WORK_DIR]
# With JOURNEYS_WORK_DIR (the journeys' own work folder), the walk starts from
# the Wine prefix template already booted there instead of booting its own.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
source "$top/scripts/lib.sh"
szdd=$1 work=$2 journeys_work=${3:-}
keys=$work/keys build=$work/win32
rm -rf "$work"
mkdir -p "$keys"
tsa_pid=
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null; rm -rf "$keys"' EXIT
failed=0 passed=0
check() {  # check NAME COMMAND...
  if "${@:2}"; then
    passed=$((passed + 1))
  else
    echo "FAILED: $1"
    failed=$((failed + 1))
    return 1
  fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

make_keys() (
  set -e
  cd "$keys"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
    -subj "/CN=Throwaway test CA" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign
  openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 \
    -subj "/CN=Some other CA" -addext basicConstraints=critical,CA:TRUE
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
    -subj "/CN=Throwaway code signer"
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
    > signer.ext
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile signer.ext -out signer.pem
  printf 'throwaway password\n' > password
  openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem \
    -passout file:password -out signer.p12
  openssl pkey -in signer.key -aes256 -passout file:password -out signer-locked.key
  # The time-stamping authority's certificate and its openssl configuration.
  openssl req -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr -subj "/CN=Throwaway TSA"
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n' \
    > tsa.ext
  openssl x509 -req -in tsa.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile tsa.ext -out tsa.pem
  echo 01 > tsa.serial
  cat > tsa.cnf <<EOF
[ tsa ]
default_tsa = throwaway
[ throwaway ]
serial = $PWD/tsa.serial
signer_cert = $PWD/tsa.pem
signer_key = $PWD/tsa.key
certs = $PWD/ca.pem
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256
signer_digest = sha256
ess_cert_id_alg = sha256
EOF
) >"$work/keys.log" 2>&1

build() {  # build SIGNING_OPTIONS...
  quil_configure win32 "$build" -DSZDD_TOOL="$szdd" "$@" >"$work/configure.log" 2>&1 &&
    cmake --build "$build" --target Quil winprobe >"$work/build.log" 2>&1
}

verifies() {  # verifies FILE [CA]
  osslsigncode verify -CAfile "${2:-$keys/ca.pem}" -in "$1" >"$work/verify.log" 2>&1
}
refused() { ! verifies "$@"; }

# Every "FILE" resource that is a program once expanded goes to programs/,
# named as the resource script names it.
extract_programs() {
  rm -rf "$work/resources" "$work/programs"
  mkdir -p "$work/programs"
  python3 "$top/tests/build/pe_resources.py" "$build/Quil.exe" FILE "$work/resources" >/dev/null ||
    return 1
  while read -r id _ path; do
    path=${path//\"/}
    local out=$work/programs/$(basename "$path")
    if [ "$(head -c 4 "$work/resources/$id")" = SZDD ]; then
      msexpand <"$work/resources/$id" >"$out"
    else
      cp "$work/resources/$id" "$out"
    fi
    [ "$(head -c 2 "$out")" = MZ ] || rm -f "$out"
  done < <(grep -E '^[0-9]+ FILE ' "$build/quil.rc")
}

# A copy of FILE with one byte flipped at a third of its length.
tampered() {
  python3 - "$1" "$2" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[len(data) // 3] ^= 0x01
open(sys.argv[2], "wb").write(data)
EOF
}

check "a throwaway CA and code-signing certificate are made" make_keys || finish
# One signing time for both builds below, within the certificate's life.
when=$(date +%s)
check "the 32-bit Quil.exe builds signed from a PKCS#12 file" \
  build -DQUIL_SIGN_PKCS12="$keys/signer.p12" -DQUIL_SIGN_PASSWORD_FILE="$keys/password" \
  -DQUIL_SIGN_TIME="$when" ||
  { cat "$work/configure.log" "$work/build.log"; finish; }

check "osslsigncode accepts the signed Quil.exe against the CA" verifies "$build/Quil.exe"
check "but not against another CA" refused "$build/Quil.exe" "$keys/other.pem"
check "the programs Quil.exe carries can be read out of it" extract_programs
for name in Quillmark.exe wmon03.exe uninst1.exe; do
  check "$name inside Quil.exe is the staged program" cmp -s "$work/programs/$name" "$build/payload/$name"
done
for program in "$work"/programs/*; do
  check "osslsigncode accepts $(basename "$program") inside Quil.exe" verifies "$program"
done

tampered "$build/Quil.exe" "$work/tampered-Quil.exe"
check "a byte changed after signing fails Quil.exe's verification" \
  refused "$work/tampered-Quil.exe"
tampered "$work/programs/Quillmark.exe" "$work/tampered-Quillmark.exe"
check "a byte changed after signing fails Quillmark.exe's verification" \
  refused "$work/tampered-Quillmark.exe"

form() {
  bash "$top/tests/build/quil_exe_test.sh" "$build/Quil.exe" "$build/payload" "$build/packed" \
    "$build/quil.rc" >"$work/form.log" 2>&1 || { grep FAILED "$work/form.log"; return 1; }
}
check "the signed Quil.exe keeps its form and every resource" form
check "the signed Quil.exe and its uninstaller keep their imports, load configuration and version" \
  python3 "$top/tests/build/program_check.py" "$build/Quil.exe" "$build/payload/uninst1.exe"

# The journey reads Quil.exe, its payload and the window probe from the build
# folder; no x86-64 stand-in is given, so nothing but the signed 32-bit
# program can pass for it.
walks() {
  # The template is only ever read: a linked copy serves as well as a new boot,
  # which takes minutes in the journeys' virtual machine.
  local template
  for template in "${journeys_work:-/nonexistent}"/template*; do
    if [ -e "$template/.journeys-ready" ]; then
      mkdir -p "$work/e2e" && cp -al "$template" "$work/e2e/"
    fi
  done
  local walk=(python3 "$top/tests/e2e/journeys.py" run default --win32-build "$build"
              --work "$work/e2e")
  # Where this kernel cannot run 32-bit programs, the walk runs in the
  # journeys' virtual machine, as they all do.
  if [ "$(python3 "$top/tests/e2e/vm/vm.py" where --quiet)" = guest ]; then
    walk=(python3 "$top/tests/e2e/vm/vm.py" run --share "$work" --cwd "$top" --timeout 1800
          -- "${walk[@]}")
  fi
  "${walk[@]}" >"$work/journey.log" 2>&1 || { tail -n 30 "$work/journey.log"; return 1; }
}
# Quil.exe checks its own resources first: a signature appended to the file
# is no damage to them.
check "the signed Quil.exe passes its own check and walks the default install under Wine" walks

# The same key and chain as a locked key and a certificate file, signed at
# the same time, give the same bytes (so the programs inside are signed as
# before): signing adds nothing else of its own.
cp "$build/Quil.exe" "$work/Quil-pkcs12.exe"
cat "$keys/signer.pem" "$keys/ca.pem" >"$keys/chain.pem"
check "a private key with its certificate signs too" \
  build -DQUIL_SIGN_PKCS12= -DQUIL_SIGN_KEY="$keys/signer-locked.key" \
  -DQUIL_SIGN_CERT="$keys/chain.pem" -DQUIL_SIGN_PASSWORD_FILE="$keys/password" ||
  cat "$work/configure.log" "$work/build.log"
check "osslsigncode accepts that Quil.exe" verifies "$build/Quil.exe"
check "it is the same bytes as the one signed from the PKCS#12 file" \
  cmp "$build/Quil.exe" "$work/Quil-pkcs12.exe"

# A time stamp from a time-stamping authority of the test's own, answering on
# this machine only and for ten minutes at the most.
start_timestamps() {
  python3 "$top/tests/build/timestamp_server.py" "$keys/tsa.cnf" 600 >"$work/tsa.port" &
  tsa_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/tsa.port" ] && return 0
    sleep 0.1
  done
  return 1
}
stamped() {  # stamped FILE: signature and time stamp verify against the CA
  osslsigncode verify -CAfile "$keys/ca.pem" -TSA-CAfile "$keys/ca.pem" -in "$1" \
    >"$work/verify.log" 2>&1 && grep -q "Timestamp Server Signature verification: ok" "$work/verify.log"
}
if check "a time-stamping authority answers on this machine" start_timestamps; then
  check "a build signs with a time stamp from it" \
    build -DQUIL_SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$work/tsa.port")" ||
    cat "$work/configure.log" "$work/build.log"
  check "osslsigncode accepts Quil.exe's signature and its time stamp" stamped "$build/Quil.exe"
  check "the programs inside it are read out" extract_programs
  check "and Quillmark.exe carries a time stamp too" stamped "$work/programs/Quillmark.exe"
fi
finish
