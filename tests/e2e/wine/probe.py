"""The windows of a session as the window probe (probe/winprobe.exe) lists
them from inside Wine, and the waits for them."""

import json
import os
import re
import select
import signal
import subprocess
import time

from checks import DesktopGone, JourneyError


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

    def tree(self, cid):
        """The state of tree view `cid`: {"selected": its selected item's
        text or None, "expanded": whether that item is, "children": the texts
        of the items under it}; None when the probe could not read it."""
        c = self.control(cid)
        return None if c is None else c.get("tree")

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


class Probe:
    """A session's windows, through one probe kept running: part of Session."""

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
                shot = self.shot("ended-before-" + re.sub(r"\W+", "-", what))
                self.fail_with_diagnosis(
                    "Quil.exe ended (exit code %s) while waiting for %s; windows up: %s"
                    % (process.returncode, what, seen), shot, process)
            time.sleep(0.3)
        shot = self.shot("timeout-" + re.sub(r"\W+", "-", what))
        self.fail_with_diagnosis("timed out after %d s waiting for %s; windows up: %s"
                                 % (timeout, what, seen), shot, process)

    def wait_desktop(self, timeout=180):
        """Wine starts its desktop process (explorer.exe) for the first
        program that asks for a window, and waits 10 s for it to be ready;
        under emulation on a loaded machine that is too short, and the
        program, left without a desktop, ends with no window at all. So on
        Wine's own desktop the probe asks first, again and again, until the
        desktop process runs, and only then is a program started."""
        if not self.desktop or self.xvfb is None or getattr(self, "desktop_seen", False):
            return
        deadline = time.monotonic() + timeout
        while True:
            self.windows()
            if "explorer.exe" in self.session_processes():
                self.desktop_seen = True  # it lasts the session: asked once
                return
            if time.monotonic() > deadline:
                raise DesktopGone("Wine's desktop process did not start within %d s" % timeout)
            time.sleep(1)

    def fail_with_diagnosis(self, message, shot, process):
        line, desktop_gone = self.diagnosis(shot, process)
        raise (DesktopGone if desktop_gone else JourneyError)(message + "; " + line)

    def session_processes(self):
        """The session's Unix processes (those whose WINEPREFIX is this
        prefix) by name: their state and memory."""
        running = {}
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if ("WINEPREFIX=" + self.prefix).encode() not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/stat" % pid) as f:
                    stat = f.read()
                name = stat[stat.index("(") + 1:stat.rindex(")")].lower()
                fields = stat[stat.rindex(")") + 2:].split()  # from the state on
                rss = int(fields[21]) * os.sysconf("SC_PAGE_SIZE") >> 20
                running[name] = "%s %d MB" % (fields[0], rss)
            except (OSError, ValueError, IndexError):
                continue
        return running

    def diagnosis(self, shot, process=None):
        """What the machine looked like when a window did not come, in one
        line, and whether Wine's desktop process was gone: the screen's
        brightness, the X windows, the session's Wine processes, Quil.exe's
        loader and the memory and load of the machine."""
        said = []
        try:
            mean = subprocess.run(["convert", shot, "-colorspace", "Gray", "-format",
                                   "%[fx:mean]", "info:"], capture_output=True, text=True,
                                  timeout=60).stdout.strip()
            said.append("screen %s" % ("black" if mean and float(mean) < 0.002
                                       else "mean grey %s" % (mean or "unread")))
        except (OSError, ValueError, subprocess.TimeoutExpired):
            said.append("screen unread")
        tree = subprocess.run(["xwininfo", "-root", "-children"], env=self._xenv(),
                              capture_output=True, text=True, timeout=30).stdout
        said.append("X windows %d, of explorer.exe %d" % (tree.count("\n     0x"),
                                                          tree.count('("explorer.exe"')))
        running = self.session_processes()
        server = next((v for k, v in running.items() if k.startswith("wineserver")), None)
        said.append("wineserver %s" % (server or "not running"))
        for name in ("explorer.exe", "quil.exe"):
            said.append("%s %s" % (name, running.get(name, "not running")))
        if process is not None:
            said.append("Quil.exe's loader %s" % ("ended with %s" % process.returncode
                                                  if process.poll() is not None else "runs"))
        with open("/proc/meminfo") as f:
            meminfo = dict(line.split(":", 1) for line in f)
        said.append("memory available %d of %d MB" % (
            int(meminfo["MemAvailable"].split()[0]) // 1024,
            int(meminfo["MemTotal"].split()[0]) // 1024))
        with open("/proc/loadavg") as f:
            said.append("load %s" % f.read().split()[0])
        # On Wine's own desktop every window of the session belongs to the
        # desktop process; without it there is nothing to show a window on.
        desktop_gone = (self.desktop and self.xvfb is not None
                        and "explorer.exe" not in running)
        line = "diagnosis: " + ", ".join(said) + (
            "; Wine's desktop is gone" if desktop_gone else "")
        with open(os.path.join(self.root, "diagnosis.log"), "a") as f:
            f.write(line + "\nall the session's processes: %s\nX windows:\n%s\n"
                    % (sorted(running.items()), tree))
        return line, desktop_gone

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
