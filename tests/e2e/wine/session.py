"""Runs Quil.exe under Wine as a user would: a fresh prefix, a virtual X
display, windows found through the window probe, keys sent with xdotool.

The real program is the 32-bit build.  Where 32-bit Wine cannot run (a kernel
without 32-bit user mode, or 32-bit programs handed to an emulator under which
Wine crashes), the journeys fail: the test command runs them in a virtual
machine there (vm/).  Only when asked for (QUIL_E2E_STANDIN=1, a quick mode
for development, or a person's own display) does the x86-64 build of the same
sources stand in for it under 64-bit Wine; `choose_wine` decides and says
which.
"""

import contextlib
import fcntl
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from checks import JourneyError, log

WINE32 = "/usr/lib/wine/wine"
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"

# Gecko and Mono would be offered at the first start of a prefix, in a dialog
# that nobody answers; the menu builder would write desktop entries outside it.
DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

# Where the installer sits inside the prefix when it runs.
INSTALLER_FOLDER = "C:\\setup"


class Spent:
    """Where a journey's time goes, by kind of step: in the virtual machine
    every step costs five to seven times what it costs here, and this says
    which ones to make cheaper."""

    def __init__(self):
        self.kinds = {}

    @contextlib.contextmanager
    def on(self, kind):
        start = time.monotonic()
        try:
            yield
        finally:
            count, seconds = self.kinds.get(kind, (0, 0.0))
            self.kinds[kind] = (count + 1, seconds + time.monotonic() - start)

    def summary(self):
        return ", ".join("%s %d× %.1f s" % (kind, count, seconds) for kind, (count, seconds)
                         in sorted(self.kinds.items(), key=lambda item: -item[1][1]))


# ---------------------------------------------------------------- the Wine ---

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


# ---------------------------------------------------------------- prefixes ---

def wine_env(prefix, arch, display=None, home=None):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("WINE") and k not in ("DISPLAY", "XAUTHORITY")}
    # QUIL_E2E_WINEDEBUG: Wine's debug channels, to look into a journey.
    env.update(WINEPREFIX=prefix, WINEARCH=arch,
               WINEDEBUG=os.environ.get("QUIL_E2E_WINEDEBUG", "-all"),
               WINEDLLOVERRIDES=DLL_OVERRIDES)
    if home:
        # An empty home keeps the prefix's user folders inside the prefix
        # rather than linked to the real user's.
        env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"))
    if display:
        env["DISPLAY"] = display
    return env


def kill_wineserver(env, timeout=60):
    server = WINESERVER if os.access(WINESERVER, os.X_OK) else "wineserver"
    try:
        subprocess.run([server, "-k"], env=env, capture_output=True, timeout=timeout)
        subprocess.run([server, "-w"], env=env, capture_output=True, timeout=timeout)
    except (OSError, subprocess.TimeoutExpired) as e:
        log("warning: wineserver did not stop cleanly: %s" % e)


# Wine's own programs and libraries in a prefix are never written at run time:
# a journey's copy links them instead of copying a gigabyte each time.
_LINKED = (".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".tlb", ".ax", ".ds",
           ".msstyles", ".vxd", ".mui", ".nls")


def _copy_or_link(src, dst):
    if src.lower().endswith(_LINKED) and "drive_c" + os.sep + "windows" in src:
        os.link(src, dst)
    else:
        shutil.copy2(src, dst)


class Template:
    """A prefix booted once (wineboot takes minutes), copied for each journey."""

    BOOT_TIMEOUT = 600
    LAYOUT = 2

    def __init__(self, wine, work):
        self.wine = wine
        self.work = os.path.abspath(work)
        tag = re.sub(r"[^A-Za-z0-9.]+", "-", wine.version())
        # The name changes with Wine's version and with the way templates are
        # made here, so that a stale one is never reused.
        self.path = os.path.join(self.work, "template%d-%s-%s" % (self.LAYOUT, wine.arch, tag))
        self.home = os.path.join(self.work, "home")
        # Digests of the template's files, which journeys' records of their
        # prefix copies reuse for the files that the copies link.
        self.digests = self.path + ".sha1.json"

    def ensure(self):
        os.makedirs(self.work, exist_ok=True)
        os.makedirs(self.home, exist_ok=True)
        with open(os.path.join(self.work, "template.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            ready = os.path.join(self.path, ".journeys-ready")
            if os.path.exists(ready):
                return self.path
            shutil.rmtree(self.path, ignore_errors=True)
            if os.path.exists(self.digests):
                os.remove(self.digests)
            log("making the template Wine prefix (wineboot, a few minutes): %s" % self.path)
            env = wine_env(self.path, self.wine.arch, home=self.home)
            env.pop("DISPLAY", None)
            start = time.monotonic()
            try:
                subprocess.run([self.wine.loader, "wineboot", "-i"], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               timeout=self.BOOT_TIMEOUT, check=True)
            except (OSError, subprocess.SubprocessError) as e:
                kill_wineserver(env)
                shutil.rmtree(self.path, ignore_errors=True)
                raise JourneyError("wineboot failed: %s" % e)
            finally:
                kill_wineserver(env)
            if not os.path.isdir(os.path.join(self.path, "drive_c", "windows")):
                raise JourneyError("wineboot left no C:\\windows in %s" % self.path)
            self._unlink_user_folders()
            open(ready, "w").close()
            log("template prefix ready in %.0f s" % (time.monotonic() - start))
            return self.path

    def _unlink_user_folders(self):
        """wineboot links the user's Desktop, Documents and the like to the
        home folder; every journey's copy would then share them. Each becomes
        a folder of the prefix's own."""
        users = os.path.join(self.path, "drive_c", "users")
        for root, dirs, _ in os.walk(users):
            for name in dirs:
                p = os.path.join(root, name)
                if os.path.islink(p):
                    os.remove(p)
                    os.mkdir(p)

    def copy_to(self, dest):
        self.ensure()
        if os.path.exists(dest):
            _make_writable(dest)
            shutil.rmtree(dest)
        shutil.copytree(self.path, dest, symlinks=True, copy_function=_copy_or_link)
        os.remove(os.path.join(dest, ".journeys-ready"))


def _make_writable(top):
    for root, dirs, files in os.walk(top):
        for name in dirs + files:
            p = os.path.join(root, name)
            if not os.path.islink(p):
                os.chmod(p, os.stat(p).st_mode | 0o200)


# ----------------------------------------------------------------- windows ---

class Window:
    """One visible top-level window, as the probe saw it."""

    def __init__(self, data):
        self.data = data
        self.hwnd = data["hwnd"]
        self.xid = data["xid"]
        self.exe = data["exe"]
        self.machine = data.get("machine", "")
        self.title = data["title"]
        self.controls = data["controls"]
        self.focus = data["focus"]
        self.maximized = data["maximized"]
        self.foreground = data.get("foreground", False)

    def control(self, cid):
        for c in self.controls:
            if c["id"] == cid:
                return c
        return None

    def text(self, cid):
        c = self.control(cid)
        return None if c is None else c["text"]

    def enabled(self, cid):
        c = self.control(cid)
        return c is not None and c["enabled"]

    def texts(self):
        return [c["text"] for c in self.controls if c["text"]]

    def __repr__(self):
        label = self.title or "/".join(t for t in self.texts()[:3])
        return "<%s %r>" % (self.exe, label[:60])


def is_location_dialog(w):
    return w.exe == "quil.exe" and w.text(1) == "Install" and w.control(1002) is not None


def is_agreement_dialog(w):
    return w.exe == "quil.exe" and w.text(1) == "Accept" and w.text(2) == "Decline"


def is_progress_dialog(w):
    return w.exe == "quil.exe" and "A moment please..." in w.texts()


def is_notice(code):
    return lambda w: w.title == "ERROR " + code


def is_notice_other_than(code):
    return lambda w: w.title.startswith("ERROR ") and w.title != "ERROR " + code


def is_main_program(w):
    return w.exe == "quillmark.exe" and w.title == "Quillmark 2003"


# ---------------------------------------------------------- private network ---

class PrivateNetwork:
    """A network of a session's own: a network and mount namespace that has
    only its loopback, where the given host names resolve to the given
    addresses through a hosts file bound over /etc/hosts inside it. One
    holder process keeps the namespaces alive; programs join them with
    nsenter. Nothing sent inside ever leaves the machine, and the programs
    under test keep their own settings (host names included) as built."""

    def __init__(self, root, hosts):
        self.root = root
        self.hosts = dict(hosts)
        self.holder = None

    def start(self):
        hosts_file = os.path.join(self.root, "hosts")
        with open(hosts_file, "w") as f:
            f.write("127.0.0.1\tlocalhost\n::1\tlocalhost\n")
            for name, address in self.hosts.items():
                f.write("%s\t%s\n" % (address, name))
        script = ('ip link set lo up && mount --bind "$1" /etc/hosts && echo ready '
                  '&& exec sleep infinity')
        try:
            self.holder = subprocess.Popen(
                ["unshare", "--net", "--mount", "sh", "-c", script, "sh", hosts_file],
                stdout=subprocess.PIPE, stderr=open(os.path.join(self.root, "network.log"), "w"),
                stdin=subprocess.DEVNULL)
        except OSError as e:
            raise JourneyError("cannot make a private network (unshare, util-linux): %s" % e)
        ready, _, _ = select.select([self.holder.stdout], [], [], 30)
        line = self.holder.stdout.readline().decode().strip() if ready else ""
        if line != "ready":
            self.stop()
            raise JourneyError("the private network did not come up (needs root for unshare "
                               "--net --mount, and iproute2); see %s"
                               % os.path.join(self.root, "network.log"))

    def command(self, argv, cwd=None):
        """`argv` run inside the network, in `cwd` (else this process's folder)."""
        # Joining a mount namespace resets the root to that namespace's own;
        # --root takes the holder's instead. They differ where the journeys
        # run chrooted (the virtual machine's guest), and there, without it,
        # no program of the host's root is found.
        return (["nsenter", "--target", str(self.holder.pid), "--net", "--mount", "--root",
                 "--wd=" + (cwd or os.getcwd()), "--"] + list(argv))

    def stop(self):
        if self.holder and self.holder.poll() is None:
            self.holder.kill()
        if self.holder:
            self.holder.wait(timeout=30)
            self.holder.stdout.close()


# ----------------------------------------------------------------- session ---

class Session:
    """One journey's machine: its own prefix copy, X display and wineserver,
    all ended when the journey ends, whatever happened."""

    def __init__(self, wine, work, name, display=None, hosts=None, dll_overrides=None,
                 screen=(1024, 768), desktop=True, locale=None):
        self.wine = wine
        self.work = work = os.path.abspath(work)
        self.name = name
        self.root = os.path.join(work, "journeys", name)
        self.prefix = os.path.join(self.root, "prefix")
        self.shots = os.path.join(work, "shots", name)
        self.home = os.path.join(work, "home")
        self.xvfb = None
        self.display = display      # a display of the user's; else a new Xvfb
        self.screen = screen        # the size of the Xvfb and of the desktop on it
        self.desktop = desktop      # Wine's virtual desktop on the Xvfb (else the bare display)
        # The user's locale, as Linux variables (LANG and the like), which
        # gives Wine's programs their code pages; the machine's own without.
        self.locale = locale or {}
        japanese = self.locale.get("LANG", "").startswith("ja_JP")
        self.oem_codepage = "cp932" if japanese else "cp437"
        self.ansi_codepage = "cp932" if japanese else "cp1252"
        self.env = None
        self.processes = []
        self.shot_count = 0
        self.installer_started = False
        # The processors that the probe read from the image of every
        # Quil.exe process whose windows it saw.
        self.quil_machines = set()
        # With `hosts` (name -> address), every program of the session runs in
        # a private network where those names resolve (PrivateNetwork).
        self.hosts = hosts
        self.network = None
        self.services = []          # Linux programs of the journey's own
        self.dll_overrides = dll_overrides  # added to the usual ones
        self.spent = Spent()
        self.probe = None           # the window probe, kept running
        self.template = Template(wine, self.work)

    # -- set-up and tear-down
    def __enter__(self):
        try:
            with self.spent.on("prefix copy"):
                self.template.copy_to(self.prefix)
            shutil.rmtree(self.shots, ignore_errors=True)
            os.makedirs(self.shots)
            if not self.display:
                if self.desktop:
                    self._set_desktop()
                self._start_display()
            if self.hosts is not None:
                self.network = PrivateNetwork(self.root, self.hosts)
                self.network.start()
            self.env = wine_env(self.prefix, self.wine.arch, self.display, self.home)
            self.env.update(self.locale)
            if self.dll_overrides:
                self.env["WINEDLLOVERRIDES"] += ";" + self.dll_overrides
            if self.network:
                # A proxy of the machine's would be out of reach in there.
                for k in [k for k in self.env if k.lower().endswith("_proxy")]:
                    del self.env[k]
            # The session's services start with its first program: let that
            # be this one, so the installer always starts into a running
            # session.
            self.windir = self.windows_directory()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.probe:
            for pipe in (self.probe.stdin, self.probe.stdout):
                try:
                    pipe.close()
                except OSError:
                    pass  # it ended first: the write of its close has nowhere to go
        if self.env:
            kill_wineserver(self.env)
        for p in self.processes:
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait(timeout=30)
        for p in self.services:
            p.terminate()
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(timeout=20)
        if self.network:
            self.network.stop()
        if self.xvfb:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait(timeout=20)
        return False

    def _set_desktop(self):
        """Every program of the session runs on Wine's own virtual desktop, a
        screen of its own inside the X display, as on a user's desktop: on
        a bare X display Wine waits two seconds for a window manager each
        time a window is hidden, and screenshots keep windows that are gone.
        Written into the copy's registry before its wineserver starts."""
        stamp = int(time.time())
        with open(os.path.join(self.prefix, "user.reg"), "a") as f:
            f.write('\n[Software\\\\Wine\\\\Explorer] %d\n"Desktop"="Default"\n'
                    '\n[Software\\\\Wine\\\\Explorer\\\\Desktops] %d\n"Default"="%dx%d"\n'
                    % (stamp, stamp, self.screen[0], self.screen[1]))

    def _start_display(self):
        # Xvfb picks a free display number itself and writes it to the pipe.
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % self.screen,
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(self.root, "xvfb.log"), "w"))
        os.close(write_end)
        # Xvfb writes the number and the newline separately, and dies if the
        # pipe is gone before the newline: read up to it.
        answer = b""
        deadline = time.monotonic() + 30
        while not answer.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(read_end, 32) if ready else b""
            if not chunk:
                break
            answer += chunk
        os.close(read_end)
        number = answer.decode().strip()
        if not number.isdigit():
            raise JourneyError("Xvfb gave no display number within 30 s")
        self.display = ":" + number

    # -- running Windows programs
    def run(self, *args, timeout=120, env=None):
        """Runs a Windows program to its end (with `env` added to the
        session's variables); its exit code and output."""
        # Output goes through a file, not a pipe: the first Wine program of a
        # session starts the session's services, which inherit its standard
        # handles and hold a pipe open long after the program has ended.
        with tempfile.TemporaryFile() as out, \
                self.spent.on("wine " + args[0].rsplit("\\", 1)[-1]):
            p = subprocess.Popen(self._in_network([self.wine.loader] + list(args)),
                                 env=dict(self.env, **(env or {})), stdout=out,
                                 stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            try:
                code = p.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
                raise JourneyError("%s did not finish within %d s" % (" ".join(args), timeout))
            out.seek(0)
            # Wine's console programs write in the OEM code page of the
            # user's locale (437 in English) when their output is a file.
            return code, out.read().decode(self.oem_codepage, "replace").replace("\r\n", "\n")

    def start(self, windows_path, log_name, args=()):
        """Starts a Windows program in its own folder, as a double click
        would (with `args`, if any), and leaves it running."""
        logf = open(os.path.join(self.root, log_name + ".log"), "w")
        folder = self.unix_path(windows_path.rsplit("\\", 1)[0])
        p = subprocess.Popen(self._in_network([self.wine.loader, windows_path] + list(args),
                                              folder),
                             env=self.env, stdout=logf,
                             stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                             cwd=folder,
                             start_new_session=True)
        self.processes.append(p)
        return p

    def _in_network(self, argv, cwd=None):
        return self.network.command(argv, cwd) if self.network else list(argv)

    def start_service(self, argv, log_name):
        """Starts a Linux program of the journey's (a server, say) in the
        session's network; it is stopped when the session ends."""
        logf = open(os.path.join(self.root, log_name + ".log"), "w")
        p = subprocess.Popen(self._in_network(argv), stdout=logf, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL)
        self.services.append(p)
        return p

    def put_installer(self, data=None):
        """Copies Quil.exe (or a file of `data` in its place) into the prefix;
        its Windows path."""
        target = os.path.join(self.unix_path(INSTALLER_FOLDER, create=True), "Quil.exe")
        if data is None:
            shutil.copy2(self.wine.quil, target)
        else:
            with open(target, "wb") as f:
                f.write(data)
        self.installer_started = True
        return INSTALLER_FOLDER + "\\Quil.exe"

    def start_installer(self, data=None):
        path = self.put_installer(data)
        log("starting %s" % path)
        return self.start(path, "quil")

    def wait_exit(self, process, timeout, what="Quil.exe"):
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.shot("timeout-exit")
            raise JourneyError("%s did not end within %d s; windows up: %s"
                               % (what, timeout, self.windows()))

    # -- paths
    @staticmethod
    def windows_path(unix_path):
        """A file of this machine as the prefix's programs name it."""
        return "Z:" + unix_path.replace("/", "\\")

    def unix_path(self, windows_path, create=False):
        """The file behind a C:\\ path in the prefix, matching names without
        regard to case as Windows does."""
        m = re.match(r"^([A-Za-z]):\\?(.*)$", windows_path)
        if not m:
            raise ValueError("not a drive path: " + windows_path)
        current = os.path.realpath(os.path.join(self.prefix, "dosdevices",
                                                m.group(1).lower() + ":"))
        for part in [p for p in m.group(2).split("\\") if p]:
            match = None
            if os.path.isdir(current):
                match = next((n for n in os.listdir(current) if n.lower() == part.lower()), None)
            if match is None:
                match = part
                if create:
                    os.makedirs(os.path.join(current, part), exist_ok=True)
            current = os.path.join(current, match)
        return current

    def windows_directory(self):
        code, out = self.run("cmd", "/c", "echo %SystemRoot%")
        value = out.strip()
        if code != 0 or not re.match(r"^[A-Za-z]:\\", value):
            raise JourneyError("cannot read the prefix's Windows directory: %r" % out)
        return value

    def attributes(self, folder):
        """File name (lower case) -> DOS attribute letters, as attrib shows them."""
        code, out = self.run("attrib", folder + "\\*")
        found = {}
        for line in out.splitlines():
            m = re.match(r"^(.{1,12}?)\s*([A-Za-z]:\\.*)$", line)
            if m:
                found[m.group(2).rsplit("\\", 1)[-1].lower()] = m.group(1).replace(" ", "")
        if code != 0 or not found:
            raise JourneyError("attrib gave nothing for %s: %r" % (folder, out[:300]))
        return found

    def reg_values(self, key):
        """Value name -> (type, data) of one registry key, or None without it."""
        code, out = self.run("reg", "query", key)
        if code != 0:
            return None
        values = {}
        for line in out.splitlines():
            m = re.match(r"^    (.*?)    (REG_[A-Z_]+)    ?(.*)$", line)
            if m:
                # reg names the default value in the user's language, in
                # parentheses; no value of the installer's has them.
                name = m.group(1)
                if name.startswith("(") and name.endswith(")"):
                    name = "(Default)"
                values[name] = (m.group(2), m.group(3))
        return values

    def reg_add(self, key, name, kind, data):
        args = ["reg", "add", key, "/f", "/t", kind, "/d", data]
        args[3:3] = ["/v", name] if name else ["/ve"]
        code, out = self.run(*args)
        if code != 0:
            raise JourneyError("reg add %s %s failed: %s" % (key, name, out))

    def wait_all_ended(self):
        """Waits, without a bound, until every program of the session has
        ended: for a person at the display, closing the installed program."""
        server = WINESERVER if os.access(WINESERVER, os.X_OK) else "wineserver"
        subprocess.run([server, "-w"], env=self.env)

    def restart_wineserver(self):
        """Drive settings are read when the wineserver starts."""
        kill_wineserver(self.env)

    # -- windows and keys
    def _start_probe(self):
        self.probe = subprocess.Popen(self._in_network([self.wine.loader, self.wine.probe,
                                                        "--serve"]),
                                      env=self.env, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                      start_new_session=True)
        self.processes.append(self.probe)

    def _probe_listing(self, timeout=60):
        """One listing from the running probe, or None when it has ended
        (with the wineserver, say)."""
        p = self.probe
        try:
            p.stdin.write(b"list\n")
            p.stdin.flush()
        except OSError:
            return None
        lines = []
        pending = b""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            # Wine's services may hold the pipe open after the probe has
            # ended, so its end shows as the process's, not as end of file.
            ready, _, _ = select.select([p.stdout], [], [], 0.5)
            if not ready:
                if p.poll() is not None:
                    return None
                continue
            chunk = os.read(p.stdout.fileno(), 65536)
            if not chunk:
                return None
            pending += chunk
            *done, pending = pending.split(b"\n")
            for line in done:
                line = line.decode("latin-1").strip()
                if line == "end":
                    return lines
                lines.append(line)
        os.killpg(p.pid, signal.SIGKILL)
        raise JourneyError("the window probe hung for %d s" % timeout)

    def windows(self):
        with self.spent.on("probe"):
            listing = None
            for _ in range(2):
                if self.probe is None or self.probe.poll() is not None:
                    self._start_probe()
                listing = self._probe_listing()
                if listing is not None:
                    break
            if listing is None:
                raise JourneyError("the window probe ended before it gave a listing")
        found = []
        for line in listing:
            if line.startswith("{"):
                found.append(Window(json.loads(line)))
        self.quil_machines.update(w.machine for w in found if w.exe == "quil.exe")
        return found

    def wait_for(self, predicate, what, timeout=90, process=None, ready=True, instead=()):
        """The first window that satisfies `predicate`, once it can take keys
        (mapped, and its dialog has put the focus on a control). A window
        that satisfies one of `instead` means that it will not come."""
        deadline = time.monotonic() + timeout
        seen = []
        while time.monotonic() < deadline:
            seen = self.windows()
            for w in seen:
                if predicate(w) and (not ready or self._takes_keys(w)):
                    return w
                if any(other(w) for other in instead):
                    self.shot("instead-of-" + re.sub(r"\W+", "-", what))
                    raise JourneyError("%r came up instead of %s" % (w, what))
            if process is not None and process.poll() is not None:
                self.shot("ended-before-" + re.sub(r"\W+", "-", what))
                raise JourneyError("Quil.exe ended (exit code %s) while waiting for %s; "
                                   "windows up: %s" % (process.returncode, what, seen))
            time.sleep(0.3)
        self.shot("timeout-" + re.sub(r"\W+", "-", what))
        raise JourneyError("timed out after %d s waiting for %s; windows up: %s"
                           % (timeout, what, seen))

    def wait_gone(self, window, what, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if all(w.hwnd != window.hwnd for w in self.windows()):
                return
            time.sleep(0.3)
        self.shot("timeout-gone-" + re.sub(r"\W+", "-", what))
        raise JourneyError("%s was still up after %d s" % (what, timeout))

    def _takes_keys(self, w):
        if not w.xid:
            return False
        with self.spent.on("xwininfo"):
            out = subprocess.run(["xwininfo", "-id", str(w.xid)], env=self._xenv(),
                                 capture_output=True, text=True, timeout=30)
        mapped = "Map State: IsViewable" in out.stdout
        # On the desktop, keys go to the foreground window, which a dialog
        # becomes a moment after it is shown and has its focus.
        return (mapped and (w.focus != 0 or not w.controls)
                and (w.foreground or not self.desktop))

    def _xenv(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        return env

    def key(self, window, *keys):
        """Sends keys to a window, as typed by the user. On Wine's desktop
        they go through the X test extension, as from a keyboard, to the
        window with the input focus, once Wine has made `window` the
        foreground window (it passes on keys sent to a window of its desktop
        directly only now and then). On a bare display they are sent to the
        window itself, which has no input focus to go by."""
        log("keys %s to %r" % (" ".join(keys), window))
        for key in keys:
            if self.desktop:
                self.wait_foreground(window)
                self._xdotool(["key", key])
                continue
            # Pressed and released apart: a key that closes its window (Enter
            # on a dialog) may take the window away before its release.
            self._xdotool(["keydown", "--window", str(window.xid), key])
            self._xdotool(["keyup", "--window", str(window.xid), key], gone_is_fine=True)

    def _xdotool(self, args, gone_is_fine=False):
        with self.spent.on("xdotool"):
            out = subprocess.run(["xdotool"] + args, env=self._xenv(), capture_output=True,
                                 text=True, timeout=30)
        if out.returncode != 0 and not (gone_is_fine and "BadWindow" in out.stderr):
            raise JourneyError("xdotool %s failed: %s" % (" ".join(args), out.stderr.strip()))

    def click(self, window, control_id):
        """Clicks the middle of one of a window's controls with the mouse,
        once the window is the foreground one."""
        current = self.wait_foreground(window)
        control = current.control(control_id)
        if control is None or "rect" not in control:
            raise JourneyError("%r has no control %d to click" % (window, control_id))
        left, top, right, bottom = control["rect"]
        log("click on %r of %r" % (control["text"], window))
        self._xdotool(["mousemove", "--sync", str((left + right) // 2), str((top + bottom) // 2),
                       "click", "1"])

    def wait_foreground(self, window, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            current = [w for w in self.windows() if w.hwnd == window.hwnd]
            if not current:
                raise JourneyError("%r is gone before a key could be sent to it" % window)
            if current[0].foreground:
                return current[0]
            time.sleep(0.1)
        self.shot("timeout-foreground")
        raise JourneyError("%r did not come to the foreground within %d s" % (window, timeout))

    def focus_to(self, window, control_id, what, timeout=20):
        """Tabs through the dialog until control `control_id` has the focus."""
        for _ in range(len(window.controls) + 1):
            current = self.refresh(window)
            if current.focus == control_id:
                return current
            self.key(current, "Tab")
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline and self.refresh(window).focus == current.focus:
                time.sleep(0.2)
        raise JourneyError("Tab never brought the focus to %s" % what)

    def refresh(self, window):
        for w in self.windows():
            if w.hwnd == window.hwnd:
                return w
        raise JourneyError("%r is gone" % window)

    def shot(self, name):
        """A screenshot of the whole display, numbered in the journey's order."""
        self.shot_count += 1
        path = os.path.join(self.shots, "%02d-%s.png" % (self.shot_count, name))
        with self.spent.on("screenshot"):
            subprocess.run(["import", "-window", "root", path], env=self._xenv(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        if not os.path.exists(path):
            log("warning: no screenshot %s" % path)
        return path
