"""Runs Quil.exe under Wine as a user would: a fresh prefix, a virtual X
display, windows found through the window probe, keys sent with xdotool."""

import contextlib
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time

from checks import JourneyError, log
from wine.display import Display
from wine.probe import Probe
from wine.template import WINESERVER, Template, kill_wineserver, wine_env

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


class Session(Display, Probe):
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
        would (with `args`, if any), and leaves it running, once Wine's
        desktop runs."""
        self.wait_desktop()
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
