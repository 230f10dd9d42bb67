#!/usr/bin/env python3
"""Signs a 32-bit build with a throwaway CA and code-signing certificate made
here and now (their keys live in the work folder only while this runs), then
checks that osslsigncode accepts the signed Quil.exe and every program it
carries (read back out of its resources and expanded) against that CA and no
other; that a byte changed after signing fails verification; that the
resources are intact; that a key with its certificate signs as well as a
PKCS#12 file; that a time-stamping server is asked for a time stamp; and that
the signed Quil.exe walks the default install under Wine.

Usage: signing.py SZDD_TOOL WORK_DIR [JOURNEYS_WORK_DIR]

With JOURNEYS_WORK_DIR (the journeys' own work folder), the walk starts from
the Wine prefix template already booted there instead of booting its own.
"""

import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import time

TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path[:0] = [os.path.join(TOP, d) for d in ("resources", "tools", "tests/e2e")]
import payload as manifest  # noqa: E402
from checks import Checks  # noqa: E402
from pe import Pe  # noqa: E402

# The CA, another CA, the signer (as a PKCS#12 file and as a locked key) and
# the time-stamping authority, made in the keys folder one command a line.
OPENSSL = """
req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj '/CN=Throwaway test CA'
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2
  -subj '/CN=Some other CA' -addext basicConstraints=critical,CA:TRUE
req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj '/CN=Throwaway code signer'
x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext
  -out signer.pem
pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:password
  -out signer.p12
pkey -in signer.key -aes256 -passout file:password -out signer-locked.key
req -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr -subj '/CN=Throwaway TSA'
x509 -req -in tsa.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile tsa.ext -out tsa.pem
"""
KEY_FILES = {
    "signer.ext": "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                  "extendedKeyUsage=codeSigning\n",
    "tsa.ext": "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
               "extendedKeyUsage=critical,timeStamping\n",
    "password": "throwaway password\n",
    "tsa.serial": "01\n",
    "tsa.cnf": "[ tsa ]\ndefault_tsa = throwaway\n[ throwaway ]\nserial = {0}/tsa.serial\n"
               "signer_cert = {0}/tsa.pem\nsigner_key = {0}/tsa.key\ncerts = {0}/ca.pem\n"
               "default_policy = 1.3.6.1.4.1.99999.1\ndigests = sha256\nsigner_digest = sha256\n"
               "ess_cert_id_alg = sha256\n",
}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


def show(path, last=None, prefix=""):
    """Prints a log (its `last` lines, or those that start with `prefix`)."""
    with open(path, errors="replace") as f:
        lines = [line for line in f if line.startswith(prefix)]
    sys.stdout.write("".join(lines[-last:] if last else lines))


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    szdd, work = argv[0], os.path.abspath(argv[1])
    keys, build = os.path.join(work, "keys"), os.path.join(work, "win32")
    quil, programs = os.path.join(build, "Quil.exe"), os.path.join(work, "programs")
    key, at = (lambda name: os.path.join(keys, name)), (lambda name: os.path.join(work, name))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(keys)
    tsa = []

    def runs(argv, log, cwd=None, mode="w"):
        """Whether `argv` ends with 0; its output goes to the work folder's `log`."""
        with open(at(log), mode) as out:
            return subprocess.run(argv, stdout=out, stderr=subprocess.STDOUT,
                                  cwd=cwd).returncode == 0

    def make_keys():
        for name, text in KEY_FILES.items():
            write(key(name), text.format(keys))
        return all(runs(["openssl"] + shlex.split(command), "keys.log", keys, "a")
                   for command in re.sub(r"\n\s+", " ", OPENSSL.strip()).split("\n"))

    def built(*options):
        """The win32 build with the signing options given, configured where
        scripts/lib.sh configures every build; its logs shown if it fails."""
        configure = 'top=$1; shift; source "$top/scripts/lib.sh"; quil_configure "$@"'
        if (runs(["bash", "-c", configure, "_", TOP, "win32", build, "-DSZDD_TOOL=" + szdd]
                 + list(options), "configure.log") and
                runs(["cmake", "--build", build, "--target", "Quil", "winprobe"], "build.log")):
            return True
        show(at("configure.log"))
        show(at("build.log"))
        return False

    def verifies(path, ca=None):
        return runs(["osslsigncode", "verify", "-CAfile", ca or key("ca.pem"), "-in", path],
                    "verify.log")

    def stamped(path):
        """Its signature and time stamp verify against the CA."""
        return (runs(["osslsigncode", "verify", "-CAfile", key("ca.pem"), "-TSA-CAfile",
                      key("ca.pem"), "-in", path], "verify.log") and
                b"Timestamp Server Signature verification: ok" in read(at("verify.log")))

    def extract_programs():
        """Every "FILE" resource that is a program once expanded goes to
        programs/, named as the resource script names it."""
        shutil.rmtree(programs, ignore_errors=True)
        os.makedirs(programs)
        try:
            resources = Pe(read(quil)).resources("FILE")
        except Exception as e:  # whatever stops the reading fails the check
            print(e)
            return False
        for rid, path in manifest.script_files(os.path.join(build, "quil.rc")):
            data = resources.get(rid, (0, b""))[1]
            if data[:4] == b"SZDD":
                data = manifest.expanded(data) or b""
            if data[:2] == b"MZ":
                write(os.path.join(programs, os.path.basename(path)), data)
        return True

    def tampered(path, name):
        """A copy of the file with one byte flipped at a third of its length."""
        data = bytearray(read(path))
        data[len(data) // 3] ^= 0x01
        write(at(name), bytes(data))
        return at(name)

    def checked(script, *args):
        """Whether a check of tests/build passes; its failures shown if not."""
        if runs([sys.executable, os.path.join(TOP, "tests", "build", script)] + list(args),
                script + ".log"):
            return True
        show(at(script + ".log"), prefix="  FAIL ")
        return False

    def walks():
        # The journey reads Quil.exe, its payload and the window probe from
        # the build folder; no x86-64 stand-in is given, so nothing but the
        # signed 32-bit program can pass for it. The template is only ever
        # read: a linked copy serves as well as a new boot, which takes
        # minutes in the journeys' virtual machine.
        for template in glob.glob(os.path.join(argv[2] if len(argv) == 3 else "/nonexistent",
                                               "template*")):
            if os.path.exists(os.path.join(template, ".journeys-ready")):
                os.makedirs(at("e2e"), exist_ok=True)
                subprocess.run(["cp", "-al", template, at("e2e") + "/"], check=True)
        walk = [sys.executable, os.path.join(TOP, "tests", "e2e", "journeys"), "run", "default",
                "--win32-build", build, "--work", at("e2e")]
        # Where this kernel cannot run 32-bit programs, the walk runs in the
        # journeys' virtual machine, as they all do.
        vm = os.path.join(TOP, "tests", "e2e", "vm", "vm.py")
        if subprocess.run([sys.executable, vm, "where", "--quiet"], capture_output=True,
                          text=True).stdout.strip() == "guest":
            walk = [sys.executable, vm, "run", "--share", work, "--cwd", TOP, "--timeout",
                    "1800", "--"] + walk
        if runs(walk, "journey.log"):
            return True
        show(at("journey.log"), last=30)
        return False

    def start_timestamps():
        """A time-stamping authority of the test's own, answering on this
        machine only and for ten minutes at the most."""
        with open(at("tsa.port"), "w") as out:
            tsa.append(subprocess.Popen([sys.executable, os.path.join(
                TOP, "tests", "build", "timestamp_server.py"), key("tsa.cnf"), "600"], stdout=out))
        for _ in range(100):
            if os.path.getsize(at("tsa.port")) > 0:
                return True
            time.sleep(0.1)
        return False

    def signs(check):
        if not check.true(make_keys(), "a throwaway CA and code-signing certificate are made"):
            return
        # One signing time for both builds below, within the certificate's life.
        when = str(int(time.time()))
        if not check.true(built("-DQUIL_SIGN_PKCS12=" + key("signer.p12"),
                                "-DQUIL_SIGN_PASSWORD_FILE=" + key("password"),
                                "-DQUIL_SIGN_TIME=" + when),
                          "the 32-bit Quil.exe builds signed from a PKCS#12 file"):
            return
        check.true(verifies(quil), "osslsigncode accepts the signed Quil.exe against the CA")
        check.true(not verifies(quil, key("other.pem")), "but not against another CA")
        check.true(extract_programs(), "the programs Quil.exe carries can be read out of it")
        for name in ("Quillmark.exe", "wmon03.exe", "uninst1.exe"):
            program = os.path.join(programs, name)
            check.true(os.path.isfile(program) and
                       read(program) == read(os.path.join(build, "payload", name)),
                       "%s inside Quil.exe is the staged program" % name)
        for name in sorted(os.listdir(programs)):
            check.true(verifies(os.path.join(programs, name)),
                       "osslsigncode accepts %s inside Quil.exe" % name)
        check.true(not verifies(tampered(quil, "tampered-Quil.exe")),
                   "a byte changed after signing fails Quil.exe's verification")
        check.true(not verifies(tampered(os.path.join(programs, "Quillmark.exe"),
                                         "tampered-Quillmark.exe")),
                   "a byte changed after signing fails Quillmark.exe's verification")
        payload = os.path.join(build, "payload")
        check.true(checked("form_check.py", quil, payload, os.path.join(build, "packed"),
                           os.path.join(build, "quil.rc")),
                   "the signed Quil.exe keeps its form and every resource")
        check.true(checked("program_check.py", quil, payload),
                   "the signed Quil.exe and the programs it carries keep their imports, load "
                   "configuration, version and manifests")
        # Quil.exe checks its own resources first: a signature appended to
        # the file is no damage to them.
        check.true(walks(), "the signed Quil.exe passes its own check and walks the default "
                            "install under Wine")

        # The same key and chain as a locked key and a certificate file,
        # signed at the same time, give the same bytes (so the programs
        # inside are signed as before): signing adds nothing else of its own.
        shutil.copy2(quil, at("Quil-pkcs12.exe"))
        write(key("chain.pem"), read(key("signer.pem")) + read(key("ca.pem")))
        check.true(built("-DQUIL_SIGN_PKCS12=", "-DQUIL_SIGN_KEY=" + key("signer-locked.key"),
                         "-DQUIL_SIGN_CERT=" + key("chain.pem"),
                         "-DQUIL_SIGN_PASSWORD_FILE=" + key("password")),
                   "a private key with its certificate signs too")
        check.true(verifies(quil), "osslsigncode accepts that Quil.exe")
        check.true(read(quil) == read(at("Quil-pkcs12.exe")),
                   "it is the same bytes as the one signed from the PKCS#12 file")

        if check.true(start_timestamps(), "a time-stamping authority answers on this machine"):
            port = read(at("tsa.port")).decode().strip()
            check.true(built("-DQUIL_SIGN_TIMESTAMP_URL=http://127.0.0.1:" + port),
                       "a build signs with a time stamp from it")
            check.true(stamped(quil),
                       "osslsigncode accepts Quil.exe's signature and its time stamp")
            check.true(extract_programs(), "the programs inside it are read out")
            check.true(stamped(os.path.join(programs, "Quillmark.exe")),
                       "and Quillmark.exe carries a time stamp too")

    check = Checks()
    try:
        signs(check)
    finally:
        for p in tsa:
            p.kill()
            p.wait()
        shutil.rmtree(keys, ignore_errors=True)
    return check.summary()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
