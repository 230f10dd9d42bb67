"""The windows of a session as the window probe (probe/winprobe.exe) lists
them from inside Wine, and the waits for them."""

import json
import os
import re
import select
import signal
import subprocess
import time

from checks import JourneyError


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
