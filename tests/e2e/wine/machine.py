"""Which Wine runs which build of Quil.exe.

The real program is the 32-bit build.  Where 32-bit Wine cannot run (a kernel
without 32-bit user mode, or 32-bit programs handed to an emulator under which
Wine crashes), the journeys fail: the test command runs them in a virtual
machine there (vm/).  Only when asked for (QUIL_E2E_STANDIN=1, a quick mode
for development, or a person's own display) does the x86-64 build of the same
sources stand in for it under 64-bit Wine; `choose_wine` decides and says
which.
"""

import os
import subprocess

from checks import JourneyError
from wine.template import Template

WINE32 = "/usr/lib/wine/wine"
WINE64 = "/usr/lib/wine/wine64"


class Wine:
    """One way of running the installer: which build, which loader, which
    prefix architecture."""

    def __init__(self, arch, loader, build, why, machine=None):
        self.arch = arch            # "win32" or "win64"
        self.loader = loader
        self.build = os.path.abspath(build)
        self.why = why
        # The processor the probe must report for Quil.exe's process.
        self.machine = machine or ("i386" if arch == "win32" else "amd64")

    @property
    def wow64(self):
        """A 32-bit program in a 64-bit prefix, as on 64-bit Windows."""
        return self.arch == "win64" and self.machine == "i386"

    def on_64_bit_windows(self):
        """The same 32-bit program in a 64-bit prefix (WoW64): wine64 hands
        it to the 32-bit loader, as 64-bit Windows does."""
        if self.machine != "i386":
            raise JourneyError("64-bit Windows runs the 32-bit program; this is " + self.describe())
        return Wine("win64", WINE64, self.build, "", machine="i386")

    @property
    def program_files(self):
        """Where a 32-bit program's Program Files are."""
        return "C:\\Program Files (x86)" if self.wow64 else "C:\\Program Files"

    @property
    def software(self):
        """Where a 32-bit program's HKLM\\Software keys are, as a 64-bit
        reg.exe names them."""
        return "HKLM\\Software\\Wow6432Node" if self.wow64 else "HKLM\\Software"

    @property
    def quil(self):
        return os.path.join(self.build, "Quil.exe")

    @property
    def probe(self):
        return os.path.join(self.build, "tests", "e2e", "probe", "winprobe.exe")

    @property
    def payload(self):
        return os.path.join(self.build, "payload")

    def product(self, name):
        return os.path.join(self.build, "product", name)

    def describe(self):
        if self.arch == "win32":
            return "the 32-bit Quil.exe under 32-bit Wine (WINEARCH=win32)"
        if self.wow64:
            return "the 32-bit Quil.exe in a 64-bit prefix (WINEARCH=win64, WoW64)"
        return ("the x86-64 build of Quil.exe under wine64 (WINEARCH=win64), standing in "
                "for the 32-bit program: " + self.why)

    def version(self):
        out = subprocess.run([self.loader, "--version"], capture_output=True, text=True,
                             timeout=60)
        return out.stdout.strip() or "unknown"


def _binfmt_emulator_for(path):
    """The interpreter that binfmt_misc hands the program at `path` to, if any
    enabled entry claims it by its magic bytes."""
    root = "/proc/sys/fs/binfmt_misc"
    try:
        with open(path, "rb") as f:
            head = f.read(256)
        names = os.listdir(root)
    except OSError:
        return None
    for name in names:
        try:
            with open(os.path.join(root, name)) as f:
                text = f.read()
        except OSError:
            continue
        if not text.startswith("enabled"):
            continue
        fields = dict(line.split(" ", 1) for line in text.splitlines() if " " in line)
        magic = bytes.fromhex(fields.get("magic", ""))
        mask = bytes.fromhex(fields.get("mask", "ff" * len(magic)))
        offset = int(fields.get("offset", "0"))
        chunk = head[offset:offset + len(magic)]
        if magic and len(chunk) == len(magic) and all(
                (c & m) == (g & m) for c, g, m in zip(chunk, magic, mask)):
            return fields.get("interpreter", name)
    return None


def win32_obstacle():
    """Why 32-bit Wine cannot run here, or None when nothing is known
    against it (the template prefix's boot is the final test)."""
    if not os.access(WINE32, os.X_OK):
        return "32-bit Wine (wine32) is not installed"
    emulator = _binfmt_emulator_for(WINE32)
    if emulator:
        return ("32-bit programs on this machine are handed to %s by binfmt_misc, "
                "and Wine does not survive that emulation" % emulator)
    try:
        subprocess.run([WINE32, "--version"], capture_output=True, timeout=30, check=True)
    except (OSError, subprocess.SubprocessError) as e:
        return "this kernel cannot run 32-bit programs (%s)" % e
    return None


def standin_allowed(asked=None):
    """Whether the x86-64 stand-in may run where 32-bit Wine cannot: only when
    asked for, by the caller or with QUIL_E2E_STANDIN=1."""
    return asked if asked is not None else os.environ.get("QUIL_E2E_STANDIN") == "1"


def choose_wine(win32_build, win64_build, work, standin=None):
    """The 32-bit program under 32-bit Wine when that works here, otherwise
    the x86-64 stand-in under wine64 if `standin_allowed`; else a
    JourneyError that says why."""
    reason = win32_obstacle()
    refused = os.path.join(work, "win32-refused")
    if reason is None and os.path.exists(refused):
        with open(refused) as f:
            reason = f.read().strip()
        reason += " (as recorded in %s: delete it to try again)" % refused
    if reason is None and win32_build:
        wine = Wine("win32", WINE32, win32_build, "")
        try:
            Template(wine, work).ensure()
            return wine
        except JourneyError as e:
            reason = "32-bit Wine could not make a prefix: %s" % e
            with open(refused, "w") as f:
                f.write(reason + "\n")
    if not standin_allowed(standin):
        raise JourneyError(
            "the 32-bit Quil.exe cannot run here: %s. The test command runs the journeys in "
            "a virtual machine on such a machine (tests/e2e/vm/vm.py); for a quick "
            "development run of the x86-64 stand-in, set QUIL_E2E_STANDIN=1"
            % (reason or "no 32-bit build given"))
    if not os.access(WINE64, os.X_OK):
        raise JourneyError("neither 32-bit Wine nor wine64 can run here: " + (reason or ""))
    return Wine("win64", WINE64, win64_build, reason or "no 32-bit build given")
