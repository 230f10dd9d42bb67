#!/usr/bin/env python3
"""Times one default install under Wine, from the Enter on "Accept" to the
installed program's window, and a bare start of that program in the same
prefix.  Prints figures; never fails on a slow machine.

    bench_install.py --win32-build B --win64-build B --work W [--runs N]

Files are watched on the prefix's disk every 5 ms; windows through X
(`xdotool search --onlyvisible`, a few milliseconds a call), not through the
window probe, whose listing (tens of milliseconds, every window's texts read
through its thread) would blur what it measures.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import JourneyError  # noqa: E402
from wine.machine import choose_wine  # noqa: E402
from wine.probe import is_agreement_dialog, is_location_dialog, is_main_program  # noqa: E402
from wine.session import Session  # noqa: E402

FOLDER = "C:\\Program Files\\Quillmark"
EVENTS = ["progress dialog visible", "first file", "main program in place", "last row",
          "program window"]


def visible(s, *criteria):
    """X ids of the viewable windows that match xdotool search criteria."""
    out = subprocess.run(["xdotool", "search", "--onlyvisible"] + list(criteria),
                         env=s._xenv(), capture_output=True, text=True, timeout=10)
    return set(out.stdout.split())


class Watcher(threading.Thread):
    """Notes the first time each event is seen, relative to `start`."""

    def __init__(self, s, start, before):
        super().__init__(daemon=True)
        self.s = s
        self.start_time = start
        self.before = before          # quil.exe's X windows up at "Accept"
        self.seen = {}
        self.stop = False
        folder = s.unix_path(FOLDER)
        windir = s.unix_path(s.windir)
        temp = os.path.join(s.prefix, "drive_c", "users")
        self.files = {
            "main program in place": [os.path.join(folder, "Quillmark.exe")],
            "last row": [os.path.join(windir, "uninst1.exe")],
        }
        self.first = [os.path.join(folder, "image.tmp"), os.path.join(folder, "Quillmark.exe")]
        self.temp_root = temp
        self.last_x = 0.0
        self.error = None
        self.shoot = False

    def note(self, event):
        if event not in self.seen:
            self.seen[event] = time.monotonic() - self.start_time

    def run(self):
        try:
            self._watch()
        except Exception as e:  # reported by the caller, not lost with the thread
            self.error = e

    def _watch(self):
        while not self.stop and len(self.seen) < len(EVENTS):
            now = time.monotonic()
            if "first file" not in self.seen and (any(os.path.exists(p) for p in self.first)
                                                  or self._data_tmp()):
                self.note("first file")
            for event, paths in self.files.items():
                if event not in self.seen and any(os.path.exists(p) for p in paths):
                    self.note(event)
            if now - self.last_x >= 0.02:
                self.last_x = now
                if "progress dialog visible" not in self.seen:
                    if visible(self.s, "--classname", "quil.exe") - self.before:
                        self.note("progress dialog visible")
                        if self.shoot:
                            self.s.shot("file-work")
                if "program window" not in self.seen:
                    if visible(self.s, "--classname", "quillmark.exe"):
                        self.note("program window")
            time.sleep(0.005)

    def _data_tmp(self):
        # data.tmp is staged in the user's temporary folder, deep in the prefix.
        for root, _, files in os.walk(self.temp_root):
            if "data.tmp" in files:
                return True
        return False


def one_install(s, shoot=False):
    process = s.start_installer()
    loc = s.wait_for(is_location_dialog, "the location dialog", process=process)
    s.key(loc, "Return")
    agr = s.wait_for(is_agreement_dialog, "the agreement dialog", process=process)
    before = visible(s, "--classname", "quil.exe")
    start = time.monotonic()
    watcher = Watcher(s, start, before)
    watcher.shoot = shoot
    s.key(agr, "Return")
    watcher.start()
    watcher.join(timeout=120)
    watcher.stop = True
    if watcher.error:
        raise JourneyError("watching the install failed: %r" % watcher.error)
    process.wait(timeout=120)
    return watcher.seen


def bare_start(s):
    """The installed program started by itself: start to window, in seconds."""
    for w in s.windows():
        if is_main_program(w):
            s.key(w, "alt+F4")
            s.wait_gone(w, "Quillmark.exe's window")
    # Its X window goes some time after the window itself: wait for that too.
    deadline = time.monotonic() + 30
    while visible(s, "--classname", "quillmark.exe") and time.monotonic() < deadline:
        time.sleep(0.05)
    start = time.monotonic()
    s.start(FOLDER + "\\Quillmark.exe", "bare")
    while time.monotonic() - start < 60:
        if visible(s, "--classname", "quillmark.exe"):
            return time.monotonic() - start
        time.sleep(0.005)
    raise JourneyError("the installed program's window never came")


def timing(s, name, *args):
    """The output of a timing program of tests/e2e (NAME/NAME.exe), run in
    C:\\bench with Quil.exe beside it."""
    target = s.unix_path("C:\\bench", create=True)
    shutil.copy2(os.path.join(s.wine.build, "tests", "e2e", name, name + ".exe"), target)
    shutil.copy2(s.wine.quil, target)
    return s.run("C:\\bench\\%s.exe" % name, *args, timeout=60)[1]


def measure(wine, work, runs, display):
    """`display`: "desktop" (Wine's own, as the journeys run), "bare" (an X
    display and nothing else) or "wm" (one with a small window manager)."""
    results = {e: [] for e in EVENTS}
    bare = []
    calls = []
    check = ""
    for run in range(runs):
        name = "bench-install-%s-%d" % (display, run + 1)
        with Session(wine, work, name, desktop=display == "desktop") as s:
            wm = None
            if display == "wm":
                wm = subprocess.Popen(["matchbox-window-manager", "-use_titlebar", "no"],
                                      env=s._xenv(), stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
                time.sleep(1)
            try:
                # What the file work looks like, once per display kind.
                seen = one_install(s, shoot=run == 0)
                bare.append(bare_start(s))
                if run == 0:
                    # The dialogs' window calls alone, one by one, and Quil.exe's
                    # check of its own resources alone.
                    calls = [line.strip() for line in timing(s, "dialog_timing").splitlines()
                             if line.strip()]
                    check = timing(s, "self_check_timing", "C:\\bench\\Quil.exe").strip()
            finally:
                if wm:
                    wm.terminate()
                    wm.wait()
        for e in EVENTS:
            results[e].append(seen.get(e))
        print("  run %d: %s; bare start %.2f s" % (
            run + 1, ", ".join("%s %s" % (e, "-" if seen.get(e) is None else "%.2f s" % seen[e])
                               for e in EVENTS), bare[-1]), flush=True)
    print("  median of %d runs, seconds after the Enter on \"Accept\":" % runs)
    for e in EVENTS:
        got = [t for t in results[e] if t is not None]
        print("    %-26s %s" % (e, "%.2f" % statistics.median(got) if got else "never seen"))
    print("    %-26s %.2f (a bare start of the installed program)" % ("program start",
                                                                       statistics.median(bare)))
    print("  screenshot of the file work: %s" % os.path.join(
        work, "shots", "bench-install-%s-1" % display))
    print("  the dialogs' window calls alone (dialog_timing.exe):")
    for line in calls:
        print("    " + line)
    print("  Quil.exe's check of its own resources at start-up (self_check_timing.exe):")
    print("    " + check)
    sys.stdout.flush()


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--win32-build")
    parser.add_argument("--win64-build")
    parser.add_argument("--work", required=True)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args(argv)
    wine = choose_wine(args.win32_build, args.win64_build, os.path.abspath(args.work))
    print("program: " + wine.describe())
    print("\non Wine's own desktop, as the journeys run:")
    measure(wine, args.work, args.runs, "desktop")
    print("\non a bare X display, without a window manager:")
    measure(wine, args.work, args.runs, "bare")
    print("\non a display with a window manager (matchbox):")
    measure(wine, args.work, args.runs, "wm")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
