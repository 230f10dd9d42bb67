"""Wine prefixes: a template booted once, copied for each journey, and the
environment and wineserver of a prefix."""

import fcntl
import os
import re
import shutil
import subprocess
import time

from checks import JourneyError, log

WINESERVER = "/usr/lib/wine/wineserver"

# Gecko and Mono would be offered at the first start of a prefix, in a dialog
# that nobody answers; the menu builder would write desktop entries outside it.
DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"


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
