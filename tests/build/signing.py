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
import shutil
import subprocess
import sys
import time

TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path[:0] = [os.path.join(TOP, d) for d in ("resources", "tools", "tests/e2e")]
import payload as manifest  # noqa: E402
from checks import Checks  # noqa: E402
from pe import Pe  # noqa: E402

SIGNER_EXT = ("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
              "extendedKeyUsage=codeSigning\n")
TSA_EXT = ("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
           "extendedKeyUsage=critical,timeStamping\n")
TSA_CNF = """[ tsa ]
default_tsa = throwaway
[ throwaway ]
serial = {0}/tsa.serial
signer_cert = {0}/tsa.pem
signer_key = {0}/tsa.key
certs = {0}/ca.pem
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256
signer_digest = sha256
ess_cert_id_alg = sha256
"""
KEY_COMMANDS = [
    "req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2",
    ["-subj", "/CN=Throwaway test CA", "-addext", "basicConstraints=critical,CA:TRUE",
     "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
    "req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2",
    ["-subj", "/CN=Some other CA", "-addext", "basicConstraints=critical,CA:TRUE"],
    "req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr",
    ["-subj", "/CN=Throwaway code signer"],
    "x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
    "-extfile signer.ext -out signer.pem", [],
    "pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:password "
    "-out signer.p12", [],
    "pkey -in signer.key -aes256 -passout file:password -out signer-locked.key", [],
    # The time-stamping authority's certificate.
    "req -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr", ["-subj", "/CN=Throwaway TSA"],
    "x509 -req -in tsa.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile tsa.ext "
    "-out tsa.pem", [],
]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


def runs(argv, log, append=False, cwd=None):
    """Whether `argv` ends with 0; its output goes to the file `log`."""
    with open(log, "a" if append else "w") as out:
        return subprocess.run(argv, stdout=out, stderr=subprocess.STDOUT, cwd=cwd).returncode == 0


def show(*paths):
    for path in paths:
        with open(path, errors="replace") as f:
            sys.stdout.write(f.read())


class Signing:
    def __init__(self, szdd, work, journeys_work):
        self.szdd = szdd
        self.work = os.path.abspath(work)
        self.journeys_work = journeys_work
        self.keys = os.path.join(self.work, "keys")
        self.build_dir = os.path.join(self.work, "win32")
        self.quil = os.path.join(self.build_dir, "Quil.exe")
        self.tsa = None             # the time-stamping authority, while it runs

    def key(self, name):
        return os.path.join(self.keys, name)

    def make_keys(self):
        write(self.key("signer.ext"), SIGNER_EXT)
        write(self.key("password"), "throwaway password\n")
        write(self.key("tsa.ext"), TSA_EXT)
        log = os.path.join(self.work, "keys.log")
        open(log, "w").close()
        for words, more in zip(KEY_COMMANDS[::2], KEY_COMMANDS[1::2]):
            if not runs(["openssl"] + words.split() + more, log, append=True, cwd=self.keys):
                return False
        write(self.key("tsa.serial"), "01\n")
        write(self.key("tsa.cnf"), TSA_CNF.format(self.keys))
        return True

    def build(self, *options):
        """The win32 build, configured where scripts/lib.sh configures every
        build, with the signing options given."""
        configure = ['top=$1; shift; source "$top/scripts/lib.sh"; quil_configure "$@"', "_",
                     TOP, "win32", self.build_dir, "-DSZDD_TOOL=" + self.szdd] + list(options)
        return (runs(["bash", "-c"] + configure, os.path.join(self.work, "configure.log")) and
                runs(["cmake", "--build", self.build_dir, "--target", "Quil", "winprobe"],
                     os.path.join(self.work, "build.log")))

    def show_build_logs(self):
        show(os.path.join(self.work, "configure.log"), os.path.join(self.work, "build.log"))

    def verifies(self, path, ca=None):
        return runs(["osslsigncode", "verify", "-CAfile", ca or self.key("ca.pem"), "-in", path],
                    os.path.join(self.work, "verify.log"))

    def stamped(self, path):
        """Its signature and time stamp verify against the CA."""
        log = os.path.join(self.work, "verify.log")
        ca = self.key("ca.pem")
        if not runs(["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile", ca, "-in", path], log):
            return False
        with open(log, errors="replace") as f:
            return "Timestamp Server Signature verification: ok" in f.read()

    def extract_programs(self):
        """Every "FILE" resource that is a program once expanded goes to
        programs/, named as the resource script names it."""
        programs = os.path.join(self.work, "programs")
        shutil.rmtree(programs, ignore_errors=True)
        os.makedirs(programs)
        try:
            resources = Pe(read(self.quil)).resources("FILE")
        except Exception as e:  # whatever stops the reading fails the check
            print(e)
            return False
        for rid, path in manifest.script_files(os.path.join(self.build_dir, "quil.rc")):
            if rid not in resources:
                continue
            data = resources[rid][1]
            if data[:4] == b"SZDD":
                data = manifest.expanded(data) or b""
            if data[:2] == b"MZ":
                write(os.path.join(programs, os.path.basename(path)), data)
        return True

    def program(self, name):
        return os.path.join(self.work, "programs", name)

    def tampered(self, path, name):
        """A copy of the file with one byte flipped at a third of its length."""
        data = bytearray(read(path))
        data[len(data) // 3] ^= 0x01
        out = os.path.join(self.work, name)
        write(out, bytes(data))
        return out

    def form(self):
        log = os.path.join(self.work, "form.log")
        if runs([sys.executable, os.path.join(TOP, "tests", "build", "form_check.py"), self.quil,
                 os.path.join(self.build_dir, "payload"), os.path.join(self.build_dir, "packed"),
                 os.path.join(self.build_dir, "quil.rc")], log):
            return True
        with open(log, errors="replace") as f:
            sys.stdout.write("".join(line for line in f if line.startswith("  FAIL ")))
        return False

    def walks(self):
        """The journey reads Quil.exe, its payload and the window probe from
        the build folder; no x86-64 stand-in is given, so nothing but the
        signed 32-bit program can pass for it."""
        # The template is only ever read: a linked copy serves as well as a
        # new boot, which takes minutes in the journeys' virtual machine.
        for template in glob.glob(os.path.join(self.journeys_work or "/nonexistent", "template*")):
            if os.path.exists(os.path.join(template, ".journeys-ready")):
                os.makedirs(os.path.join(self.work, "e2e"), exist_ok=True)
                subprocess.run(["cp", "-al", template, os.path.join(self.work, "e2e") + "/"],
                               check=True)
        walk = [sys.executable, os.path.join(TOP, "tests", "e2e", "journeys"), "run",
                "default", "--win32-build", self.build_dir, "--work",
                os.path.join(self.work, "e2e")]
        # Where this kernel cannot run 32-bit programs, the walk runs in the
        # journeys' virtual machine, as they all do.
        vm = os.path.join(TOP, "tests", "e2e", "vm", "vm.py")
        where = subprocess.run([sys.executable, vm, "where", "--quiet"], capture_output=True,
                               text=True).stdout.strip()
        if where == "guest":
            walk = [sys.executable, vm, "run", "--share", self.work, "--cwd", TOP, "--timeout",
                    "1800", "--"] + walk
        log = os.path.join(self.work, "journey.log")
        if runs(walk, log):
            return True
        with open(log, errors="replace") as f:
            sys.stdout.write("".join(f.readlines()[-30:]))
        return False

    def start_timestamps(self):
        """A time-stamping authority of the test's own, answering on this
        machine only and for ten minutes at the most."""
        port = os.path.join(self.work, "tsa.port")
        with open(port, "w") as out:
            self.tsa = subprocess.Popen([sys.executable,
                                         os.path.join(TOP, "tests", "build", "timestamp_server.py"),
                                         self.key("tsa.cnf"), "600"], stdout=out)
        for _ in range(100):
            if os.path.getsize(port) > 0:
                return True
            time.sleep(0.1)
        return False

    def run(self, check):
        if not check.true(self.make_keys(), "a throwaway CA and code-signing certificate are made"):
            return
        # One signing time for both builds below, within the certificate's life.
        when = str(int(time.time()))
        if not check.true(self.build("-DQUIL_SIGN_PKCS12=" + self.key("signer.p12"),
                                     "-DQUIL_SIGN_PASSWORD_FILE=" + self.key("password"),
                                     "-DQUIL_SIGN_TIME=" + when),
                          "the 32-bit Quil.exe builds signed from a PKCS#12 file"):
            self.show_build_logs()
            return

        check.true(self.verifies(self.quil),
                   "osslsigncode accepts the signed Quil.exe against the CA")
        check.true(not self.verifies(self.quil, self.key("other.pem")),
                   "but not against another CA")
        check.true(self.extract_programs(), "the programs Quil.exe carries can be read out of it")
        for name in ("Quillmark.exe", "wmon03.exe", "uninst1.exe"):
            staged = os.path.join(self.build_dir, "payload", name)
            check.true(os.path.isfile(self.program(name)) and
                       read(self.program(name)) == read(staged),
                       "%s inside Quil.exe is the staged program" % name)
        for name in sorted(os.listdir(os.path.join(self.work, "programs"))):
            check.true(self.verifies(self.program(name)),
                       "osslsigncode accepts %s inside Quil.exe" % name)

        check.true(not self.verifies(self.tampered(self.quil, "tampered-Quil.exe")),
                   "a byte changed after signing fails Quil.exe's verification")
        check.true(not self.verifies(self.tampered(self.program("Quillmark.exe"),
                                                   "tampered-Quillmark.exe")),
                   "a byte changed after signing fails Quillmark.exe's verification")

        check.true(self.form(), "the signed Quil.exe keeps its form and every resource")
        check.true(runs([sys.executable, os.path.join(TOP, "tests", "build", "program_check.py"),
                         self.quil, os.path.join(self.build_dir, "payload", "uninst1.exe")],
                        os.path.join(self.work, "program.log")),
                   "the signed Quil.exe and its uninstaller keep their imports, load "
                   "configuration and version")
        # Quil.exe checks its own resources first: a signature appended to
        # the file is no damage to them.
        check.true(self.walks(), "the signed Quil.exe passes its own check and walks the default "
                                 "install under Wine")

        # The same key and chain as a locked key and a certificate file,
        # signed at the same time, give the same bytes (so the programs
        # inside are signed as before): signing adds nothing else of its own.
        shutil.copy2(self.quil, os.path.join(self.work, "Quil-pkcs12.exe"))
        write(self.key("chain.pem"), read(self.key("signer.pem")) + read(self.key("ca.pem")))
        if not check.true(self.build("-DQUIL_SIGN_PKCS12=", "-DQUIL_SIGN_KEY=" +
                                     self.key("signer-locked.key"),
                                     "-DQUIL_SIGN_CERT=" + self.key("chain.pem"),
                                     "-DQUIL_SIGN_PASSWORD_FILE=" + self.key("password")),
                          "a private key with its certificate signs too"):
            self.show_build_logs()
        check.true(self.verifies(self.quil), "osslsigncode accepts that Quil.exe")
        check.true(read(self.quil) == read(os.path.join(self.work, "Quil-pkcs12.exe")),
                   "it is the same bytes as the one signed from the PKCS#12 file")

        if check.true(self.start_timestamps(), "a time-stamping authority answers on this machine"):
            with open(os.path.join(self.work, "tsa.port")) as f:
                port = f.read().strip()
            if not check.true(self.build("-DQUIL_SIGN_TIMESTAMP_URL=http://127.0.0.1:" + port),
                              "a build signs with a time stamp from it"):
                self.show_build_logs()
            check.true(self.stamped(self.quil),
                       "osslsigncode accepts Quil.exe's signature and its time stamp")
            check.true(self.extract_programs(), "the programs inside it are read out")
            check.true(self.stamped(self.program("Quillmark.exe")),
                       "and Quillmark.exe carries a time stamp too")


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    signing = Signing(argv[0], argv[1], argv[2] if len(argv) == 3 else "")
    shutil.rmtree(signing.work, ignore_errors=True)
    os.makedirs(signing.keys)
    check = Checks()
    try:
        signing.run(check)
    finally:
        if signing.tsa:
            signing.tsa.kill()
            signing.tsa.wait()
        shutil.rmtree(signing.keys, ignore_errors=True)
    return check.summary()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
