"""The installer's end-to-end journeys under Wine: the registry of journeys,
and the command line (python3 tests/e2e/journeys COMMAND):

    journeys list [--guest] [--part K/N]
                                       names, those left to native runs marked
    journeys run NAME... [options]     runs journeys; exit 0 when all pass
    journeys prepare [options]         chooses the Wine and makes the template prefix
    journeys walk [options]            the default install, with screenshots
    journeys interactive [options]     Quil.exe on $DISPLAY, for a person

A journey is a function that drives one fresh prefix through `Session` and
records its findings with `Checks`; `@journey` registers it, in the module
of its area (AREAS).
"""

import argparse
import importlib
import os
import re
import signal
import sys
import time
import traceback

from checks import Checks, DesktopGone, JourneyError, log
from wine.machine import choose_wine
from wine.session import Session
from wine.template import Template

# The modules of the journeys, in the order they run.
AREAS = ("install", "replacement", "drives", "crash", "shortcuts", "backdrop", "disk",
         "uninstall", "folders", "wow64", "download")
JOURNEYS = {}


def journey(name, in_guest=True, weight=1):
    """Registers a journey. `in_guest=False`: a further point of the matrix
    (a screen size, a locale, the 64-bit prefix) that runs where the kernel
    runs the journeys itself, and is left out in the virtual machine, where
    each costs a minute or more (README, "Which journeys run where").
    `weight`: its time in the virtual machine, in ordinary journeys (the one
    that boots the 64-bit prefix takes three), by which `share` deals the
    journeys out to the guests."""
    def register(fn):
        JOURNEYS[name] = (fn, in_guest, weight)
        return fn
    return register


def share(weights, part, parts):
    """The names of share `part` (1 to `parts`) of the journeys `weights`
    ((name, weight) in the order they run): each, the heaviest first, goes
    to the share with the least weight so far. The shares' weights then
    differ by the heaviest journey's at most, wherever a journey is added, so
    that guests that run them side by side end at about the same time."""
    loads = [0] * parts
    mine = set()
    for name, weight in sorted(weights, key=lambda nw: -nw[1]):
        lightest = loads.index(min(loads))
        loads[lightest] += weight
        if lightest == part - 1:
            mine.add(name)
    return [name for name, _ in weights if name in mine]


def session_options(make):
    """Gives a journey's Session the options that `make`(wine) returns."""
    def mark(fn):
        fn.session_options = make
        return fn
    return mark


def load_areas():
    for area in AREAS:
        importlib.import_module("journeys." + area)


def check_program_that_ran(s, check):
    """The probe reads, from inside Wine, which build of Quil.exe made the
    windows that the journey saw, so that a stand-in never passes for the
    program we ship."""
    if not s.installer_started:
        return
    check.equal(sorted(s.quil_machines), [s.wine.machine],
                "the Quil.exe that ran is the %s program" % s.wine.machine)


def run_journey(name, wine, work, again=True):
    fn = JOURNEYS[name][0]
    options = getattr(fn, "session_options", lambda _: {})(wine)
    wine = options.pop("wine", wine)
    log("=== journey %s: %s" % (name, wine.describe()))
    check = Checks(name)
    start = time.monotonic()
    try:
        with Session(wine, work, name, **options) as s:
            try:
                fn(s, check)
                check_program_that_ran(s, check)
            finally:
                log("screenshots: %s" % s.shots)
                log("time spent: %s" % s.spent.summary())
    except DesktopGone as e:
        # Wine's display failed under the journey, not Quil.exe: said as it
        # was, and the journey runs once more from a fresh prefix.
        check.fail(str(e))
        if again:
            log("journey %s: Wine's desktop was gone; it runs once more" % name)
            return run_journey(name, wine, work, again=False)
    except JourneyError as e:
        check.fail(str(e))
    except Exception:  # a fault in the harness itself fails the journey too
        check.failed.append("harness error")
        traceback.print_exc()
    seconds = time.monotonic() - start
    log("journey %s: %s in %.0f s" % (name, "passed" if not check.failed else "FAILED", seconds))
    return check.summary() == 0


def interactive(wine, work, display):
    """Quil.exe on the user's display, in a fresh prefix, for a person to use."""
    with Session(wine, work, "interactive", display=display) as s:
        process = s.start_installer()
        log("Quil.exe runs on %s; its prefix: %s" % (display, s.prefix))
        code = process.wait()
        log("Quil.exe ended with exit code %d; waiting for the programs it started "
            "(close Quillmark to finish)" % code)
        s.wait_all_ended()
    return 0


def part_of(text):
    m = re.match(r"^([1-9][0-9]*)/([1-9][0-9]*)$", text)
    if not m or int(m.group(1)) > int(m.group(2)):
        raise argparse.ArgumentTypeError("K/N with 1 <= K <= N, not %r" % text)
    return int(m.group(1)), int(m.group(2))


def main(argv):
    # Stopped from outside (CTest, a terminal), a journey still ends its
    # display and wineserver on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["list", "run", "prepare", "walk", "interactive"])
    parser.add_argument("names", nargs="*")
    parser.add_argument("--win32-build", help="the build folder of the 32-bit Quil.exe")
    parser.add_argument("--win64-build", help="the build folder of the x86-64 stand-in")
    parser.add_argument("--work", help="where prefixes, screenshots and logs go")
    parser.add_argument("--guest", action="store_true",
                        help="list: only the journeys that run in the virtual machine")
    parser.add_argument("--part", type=part_of, default=(1, 1), metavar="K/N",
                        help="list: only share K of N (share)")
    parser.add_argument("--standin", action="store_true", default=None,
                        help="where 32-bit Wine cannot run, run the x86-64 stand-in "
                             "(as QUIL_E2E_STANDIN=1 does)")
    args = parser.parse_args(argv)
    load_areas()

    if args.command == "list":
        weights = [(name, weight) for name, (_, in_guest, weight) in JOURNEYS.items()
                   if in_guest or not args.guest]
        for name in share(weights, *args.part):
            print(name + ("" if JOURNEYS[name][1] else " native"))
        return 0

    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    try:
        wine = choose_wine(args.win32_build, args.win64_build, work, args.standin)
        log("Wine for the journeys: " + wine.describe())
        if args.command == "prepare":
            Template(wine, work).ensure()
            return 0
        if args.command == "interactive":
            return interactive(wine, work, os.environ["DISPLAY"])
    except JourneyError as e:
        log("FAIL: %s" % e)
        return 1

    if args.command == "walk":
        # The main job without a display: the default install, every screen
        # kept as a screenshot.
        JOURNEYS["walk"] = JOURNEYS["default"]
        return 0 if run_journey("walk", wine, work) else 1

    names = args.names or list(JOURNEYS)
    unknown = [n for n in names if n not in JOURNEYS]
    if unknown:
        log("unknown journeys: %s" % ", ".join(unknown))
        return 2
    results = {n: run_journey(n, wine, work) for n in names}
    failed = [n for n, ok in results.items() if not ok]
    log("journeys: %d passed, %d failed" % (len(results) - len(failed), len(failed)))
    return 1 if failed else 0
