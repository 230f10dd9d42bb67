#!/usr/bin/env python3
"""The installer's end-to-end journeys under Wine.

    journeys.py list                      names, pending ones marked
    journeys.py run NAME... [options]     runs journeys; exit 0 when all pass
    journeys.py prepare [options]         chooses the Wine and makes the template prefix
    journeys.py walk [options]            the default install, with screenshots
    journeys.py interactive [options]     Quil.exe on $DISPLAY, for a person

A journey is a function that drives one fresh prefix through `Session` and
records its findings with `Checks`; `@journey` registers it.  Pending journeys
wait on installer work that is not done yet and run only when asked for by
name or with QUIL_E2E_PENDING=1.
"""

import argparse
import filecmp
import os
import re
import shutil
import signal
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_session import (INSTALLER_FOLDER, JourneyError, Session, Template, choose_wine,
                          is_agreement_dialog, is_location_dialog, is_main_program, is_notice,
                          is_notice_other_than, is_progress_dialog, log)

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_FOLDER = "C:\\Program Files\\Quillmark"
SETTINGS_KEY = "HKCU\\Software\\Kestrel\\Quillmark\\Settings"
MACHINE_KEY = "HKLM\\SOFTWARE\\Kestrel"
APP_PATHS_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Quillmark.exe"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillmark"

NOTICE_4 = ("Unable to overwrite existing quillmark.exe file; installation aborted.  If your "
            "existing copy of Quillmark is running, please shut it down and try again.  "
            "Otherwise, rebooting your computer should take care of the problem.")
NOTICE_5 = ("A more recent version of Quillmark already exists at the install location.  "
            "Installation aborted.")

JOURNEYS = {}


def journey(name, pending=None):
    """Registers a journey; `pending` says what it waits for, if anything."""
    def register(fn):
        JOURNEYS[name] = (fn, pending)
        return fn
    return register


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = []

    def true(self, ok, what):
        if ok:
            self.passed += 1
            log("  ok   %s" % what)
        else:
            self.failed.append(what)
            log("  FAIL %s" % what)
        return ok

    def equal(self, actual, expected, what):
        ok = actual == expected
        return self.true(ok, what if ok else "%s: got %r, expected %r" % (what, actual, expected))


def payload_rows():
    """(resource id, folder kind, name, storage, read-only) of every row of
    the installer's payload table, read from its source."""
    with open(os.path.join(SOURCE, "installer", "payload", "payload_table.cpp")) as f:
        text = f.read()
    rows = re.findall(r'\{(\d+),\s*(k\w+),\s*"([^"]+)",\s*(kRaw|kCompressed),\s*(true|false)\}',
                      text)
    if len(rows) != 38:
        raise JourneyError("expected 38 payload rows in payload_table.cpp, read %d" % len(rows))
    return [(int(i), folder, name, storage, ro == "true") for i, folder, name, storage, ro in rows]


# ------------------------------------------------------------ walk helpers ---

def location_up(s, process):
    loc = s.wait_for(is_location_dialog, "the location dialog", process=process)
    s.shot("location")
    return loc


def walk_location(s, check, process, key="Return"):
    """Waits for the location dialog, checks the proposal, answers it."""
    loc = location_up(s, process)
    check.equal(loc.text(1000), DEFAULT_FOLDER, "the location dialog proposes the default folder")
    check.equal(loc.focus, 1, "the focus starts on Install")
    s.key(loc, key)
    s.wait_gone(loc, "the location dialog")
    return loc


def walk_agreement(s, check, process):
    agr = s.wait_for(is_agreement_dialog, "the agreement dialog", process=process)
    s.shot("agreement")
    with open(os.path.join(s.wine.payload, "agreement.txt"), "rb") as f:
        agreement = f.read().decode("latin-1")
    shown = agr.text(1000) or ""
    check.true(len(shown) > 100 and agreement.startswith(shown),
               "the agreement dialog shows the agreement text")
    check.equal(agr.focus, 1, "the focus starts on Accept")
    return agr


def catch_progress(s, process):
    """A screenshot while "A moment please..." is up, if the file work lasts
    long enough to catch it. The installer pumps no messages meanwhile, so
    Wine may not have painted the dialog when the screenshot is taken."""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and process.poll() is None:
        if any(is_progress_dialog(w) for w in s.windows()):
            s.shot("file-work")
            log("  (the progress dialog was up during the file work)")
            return
        time.sleep(0.2)
    log("  (the progress dialog was not caught during the file work)")


def default_walk(s, check):
    """Enter on the location dialog, Enter on the agreement; the exit code."""
    process = s.start_installer()
    walk_location(s, check, process)
    agr = walk_agreement(s, check, process)
    s.key(agr, "Return")
    catch_progress(s, process)
    code = s.wait_exit(process, 240)
    check.equal(code, 0, "Quil.exe exits with 0")
    return code


def check_main_program_up(s, check):
    main = s.wait_for(is_main_program, "the installed Quillmark.exe's window", timeout=60,
                      ready=False)
    s.shot("quillmark")
    check.true(main is not None, "the installed Quillmark.exe runs, its window up")
    check.true(main.maximized, "Quillmark.exe was started maximised")


def check_nothing_installed(s, check, folder_exists):
    folder = s.unix_path(DEFAULT_FOLDER)
    if folder_exists:
        check.true(os.path.isdir(folder) and os.listdir(folder) == [],
                   "the validated install folder exists and is empty")
    else:
        check.true(not os.path.exists(folder), "no install folder was made")
    windir = s.unix_path(s.windir)
    for name in ("wmon03.exe", "uninst1.exe"):
        check.true(not os.path.exists(os.path.join(windir, name)),
                   "%s is not in the Windows directory" % name)
    check.true(not any(is_main_program(w) for w in s.windows()), "Quillmark.exe was not started")


def no_leftovers(s, check):
    found = []
    for root, _, files in os.walk(os.path.join(s.prefix, "drive_c")):
        found += [os.path.join(root, n) for n in files if n.lower() in ("data.tmp", "image.tmp")]
    check.equal(found, [], "no data.tmp or image.tmp is left")


# ---------------------------------------------------------------- journeys ---

@journey("default")
def default_journey(s, check):
    default_walk(s, check)
    check_main_program_up(s, check)

    payload = s.wine.payload
    folder = s.unix_path(DEFAULT_FOLDER)
    windir_win = s.windir
    windir = s.unix_path(windir_win)
    check.true(filecmp.cmp(os.path.join(folder, "Quillmark.exe"),
                           os.path.join(payload, "Quillmark.exe"), shallow=False),
               "Quillmark.exe is the program the installer carries")
    attrs = s.attributes(DEFAULT_FOLDER)
    for rid, kind, name, storage, read_only in payload_rows():
        place = folder if kind == "kInstallFolder" else windir
        where = DEFAULT_FOLDER if kind == "kInstallFolder" else windir_win
        path = os.path.join(place, name)
        form = "raw" if storage == "kRaw" else "expanded"
        if not check.true(os.path.isfile(path), "%s (%d) is in %s" % (name, rid, where)):
            continue
        check.true(filecmp.cmp(path, os.path.join(payload, name), shallow=False),
                   "%s is byte for byte its source (%s)" % (name, form))
        if kind == "kInstallFolder":
            check.equal("R" in attrs.get(name.lower(), ""), read_only,
                        "%s is %sread-only" % (name, "" if read_only else "not "))
    no_leftovers(s, check)


def ends_with_nothing_installed(s, check, process, answer, folder_exists):
    check.equal(s.wait_exit(process, 60), 0, "Quil.exe exits with 0 after " + answer)
    check_nothing_installed(s, check, folder_exists=folder_exists)


@journey("cancel")
def cancel_journey(s, check):
    process = s.start_installer()
    loc = s.focus_to(location_up(s, process), 2, "Cancel")
    s.shot("cancel-focused")
    s.key(loc, "space")
    ends_with_nothing_installed(s, check, process, "Cancel", folder_exists=False)


@journey("escape")
def escape_journey(s, check):
    process = s.start_installer()
    s.key(location_up(s, process), "Escape")
    ends_with_nothing_installed(s, check, process, "Escape", folder_exists=False)


@journey("decline")
def decline_journey(s, check):
    process = s.start_installer()
    walk_location(s, check, process)
    agr = walk_agreement(s, check, process)
    agr = s.focus_to(agr, 2, "Decline")
    s.shot("decline-focused")
    s.key(agr, "space")
    ends_with_nothing_installed(s, check, process, "Decline", folder_exists=True)


@journey("registry")
def registry_journey(s, check):
    default_walk(s, check)
    windir = s.windir

    keys = {}

    def expect(key, name, kind, data):
        if key not in keys:
            keys[key] = s.reg_values(key)
            check.true(keys[key] is not None, "%s exists" % key)
        values = keys[key] or {}
        check.equal(values.get(name), (kind, data), "%s \"%s\"" % (key, name))

    expect(SETTINGS_KEY, "nolmaccess", "REG_DWORD", "0x0")
    expect(SETTINGS_KEY, "patch", "REG_SZ", "blank")
    expect(SETTINGS_KEY, "Installed", "REG_SZ", "C:\\setup\\Quil.exe")
    expect(MACHINE_KEY, "Path", "REG_SZ", DEFAULT_FOLDER)
    expect(MACHINE_KEY, "patch", "REG_SZ", "blank")
    expect(APP_PATHS_KEY, "(Default)", "REG_SZ", DEFAULT_FOLDER + "\\Quillmark.exe")
    expect(APP_PATHS_KEY, "Path", "REG_SZ", DEFAULT_FOLDER)
    expect(UNINSTALL_KEY, "DisplayName", "REG_SZ", "Quillmark 2003   (Remove Only)")
    expect(UNINSTALL_KEY, "UninstallString", "REG_SZ", windir + "\\uninst1.exe")


# ------------------------------------------------- an existing main program ---

def place_main_program(s, source, read_only=False, extra=b""):
    """Puts `source` (with `extra` bytes after it) where the installer puts
    Quillmark.exe; the bytes placed."""
    folder = s.unix_path(DEFAULT_FOLDER, create=True)
    with open(source, "rb") as f:
        data = f.read() + extra
    with open(os.path.join(folder, "Quillmark.exe"), "wb") as f:
        f.write(data)
    if read_only:
        code, out = s.run("attrib", "+r", DEFAULT_FOLDER + "\\Quillmark.exe")
        if code != 0:
            raise JourneyError("attrib +r failed: %s" % out)
        if "R" not in s.attributes(DEFAULT_FOLDER).get("quillmark.exe", ""):
            raise JourneyError("the earlier copy could not be made read-only")
    return data


def refused_replacement(s, check, code, text, running=False):
    """Install, Accept, then the notice `code`; the run ends with 0. Unless
    Quillmark.exe is `running` already, its window means the install went on."""
    process = s.start_installer()
    walk_location(s, check, process)
    agr = walk_agreement(s, check, process)
    s.key(agr, "Return")
    notice = s.wait_for(is_notice(code), "the notice ERROR " + code, process=process,
                        instead=[is_notice_other_than(code)] + ([] if running else [is_main_program]))
    s.shot("error-" + code)
    check.true(text in notice.texts(), "ERROR %s says %r" % (code, text[:50] + "..."))
    s.key(notice, "Return")
    check.equal(s.wait_exit(process, 60), 0, "Quil.exe exits with 0 after ERROR " + code)


def check_nothing_but_main_program(s, check, data):
    folder = s.unix_path(DEFAULT_FOLDER)
    with open(os.path.join(folder, "Quillmark.exe"), "rb") as f:
        check.true(f.read() == data, "the existing Quillmark.exe is left as it was")
    check.equal(sorted(os.listdir(folder)), ["Quillmark.exe"],
                "nothing else was written to the install folder")
    windir = s.unix_path(s.windir)
    check.true(not os.path.exists(os.path.join(windir, "wmon03.exe")),
               "wmon03.exe is not in the Windows directory")
    no_leftovers(s, check)


@journey("in-use")
def in_use_journey(s, check):
    data = place_main_program(s, os.path.join(s.wine.payload, "Quillmark.exe"))
    running = s.start(DEFAULT_FOLDER + "\\Quillmark.exe", "quillmark")
    s.wait_for(is_main_program, "the running Quillmark.exe", process=running, ready=False)
    refused_replacement(s, check, "4", NOTICE_4, running=True)
    check_nothing_but_main_program(s, check, data)


@journey("newer")
def newer_journey(s, check):
    data = place_main_program(s, s.wine.product("Quillmark-1.0.0.2.exe"))
    refused_replacement(s, check, "5", NOTICE_5)
    check_nothing_but_main_program(s, check, data)


@journey("read-only-copy")
def read_only_copy_journey(s, check):
    # The same version with other bytes: an earlier copy, not a newer one.
    place_main_program(s, os.path.join(s.wine.payload, "Quillmark.exe"), read_only=True,
                       extra=b"an earlier copy")
    default_walk(s, check)
    check_main_program_up(s, check)
    installed = os.path.join(s.unix_path(DEFAULT_FOLDER), "Quillmark.exe")
    check.true(filecmp.cmp(installed, os.path.join(s.wine.payload, "Quillmark.exe"),
                           shallow=False), "the read-only copy was replaced by the carried program")
    check.true("R" not in s.attributes(DEFAULT_FOLDER).get("quillmark.exe", "R"),
               "the new Quillmark.exe is not read-only")
    no_leftovers(s, check)


@journey("second-run")
def second_run_journey(s, check):
    default_walk(s, check)
    main = s.wait_for(is_main_program, "the installed Quillmark.exe's window", ready=False)
    s.key(main, "alt+F4")
    s.wait_gone(main, "Quillmark.exe's window")

    process = s.start_installer()
    loc = s.wait_for(is_location_dialog, "the location dialog of the second run",
                     process=process)
    s.shot("second-location")
    check.equal(loc.text(1000), DEFAULT_FOLDER, "the second run proposes the recorded folder")
    check.true(not loc.enabled(1002), "Change... is disabled when a previous install is found")
    s.key(loc, "Return")
    agr = s.wait_for(is_agreement_dialog, "the agreement dialog of the second run",
                     process=process)
    s.key(agr, "Return")
    check.equal(s.wait_exit(process, 240), 0, "the second run exits with 0")
    check_main_program_up(s, check)
    folder = s.unix_path(DEFAULT_FOLDER)
    for _, kind, name, _, _ in payload_rows():
        if kind == "kInstallFolder":
            check.true(filecmp.cmp(os.path.join(folder, name), os.path.join(s.wine.payload, name),
                                   shallow=False), "%s is written again" % name)
    no_leftovers(s, check)


DRIVE_REFUSALS = {
    "floppy": "Quillmark can't be installed to a removable disk.",
    "network": "Quillmark can't be installed to a remote drive. "
               "Select your local hard drive instead.",
    "cdrom": "Invalid drive",
}


def drive_refusal(kind):
    def walk(s, check):
        # Drive D: of the given type, recorded as the previous install's
        # drive, so that the location dialog proposes a folder on it.
        target = os.path.join(s.root, "drive_d")
        os.makedirs(target, exist_ok=True)
        os.symlink(target, os.path.join(s.prefix, "dosdevices", "d:"))
        s.reg_add("HKLM\\Software\\Wine\\Drives", "d:", "REG_SZ", kind)
        s.reg_add(MACHINE_KEY, "Path", "REG_SZ", "D:\\Quillmark")
        s.restart_wineserver()

        process = s.start_installer()
        loc = s.wait_for(is_location_dialog, "the location dialog", process=process)
        s.shot("location")
        check.equal(loc.text(1000), "D:\\Quillmark", "the recorded folder on D: is proposed")
        check.true(loc.enabled(1002), "Change... is enabled (the recorded folder is refused)")
        s.key(loc, "Return")
        notice = s.wait_for(is_notice("12"), "the notice ERROR 12", process=process,
                            instead=[is_agreement_dialog, is_notice_other_than("12")])
        s.shot("error-12")
        check.true(DRIVE_REFUSALS[kind] in notice.texts(),
                   "ERROR 12 says %r" % DRIVE_REFUSALS[kind])
        s.key(notice, "Return")
        again = s.wait_for(is_location_dialog, "the location dialog again", process=process)
        s.shot("location-again")
        check.equal(again.text(1000), "D:\\Quillmark", "the location dialog comes back")
        s.key(again, "Escape")
        check.equal(s.wait_exit(process, 60), 0, "Quil.exe exits with 0")
        check.equal(os.listdir(target), [], "nothing was written to drive D:")
        check.true(not os.path.exists(s.unix_path(DEFAULT_FOLDER)), "no install folder was made")
    return walk


for _kind in DRIVE_REFUSALS:
    journey("drive-" + _kind)(drive_refusal(_kind))


def holds_text(data, text):
    """Whether a shell link file carries `text`, in ANSI or in UTF-16."""
    return text.encode("latin-1") in data or text.encode("utf-16-le") in data


@journey("shortcuts", pending="the shortcuts are not built yet (installer/integration)")
def shortcuts_journey(s, check):
    code, out = s.run("cmd", "/c", "echo %USERPROFILE%")
    profile = out.strip()
    if code != 0 or not profile.startswith("C:\\"):
        raise JourneyError("cannot read the user's profile folder: %r" % out)
    # Internet Explorer's Quick Launch folder, as a Windows machine has it;
    # the installer never makes it.
    quick = profile + "\\AppData\\Local\\Microsoft\\Internet Explorer\\Quick Launch"
    s.unix_path(quick, create=True)
    default_walk(s, check)
    places = {
        "the Start menu": profile + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu",
        "the desktop": profile + "\\Desktop",
        "Quick Launch": quick,
    }
    for where, folder in places.items():
        link = os.path.join(s.unix_path(folder), "Quillmark 2003.lnk")
        if not check.true(os.path.isfile(link), "a shortcut \"Quillmark 2003\" in %s" % where):
            continue
        with open(link, "rb") as f:
            data = f.read()
        check.true(data.startswith(b"\x4c\x00\x00\x00"), "the %s shortcut is a shell link" % where)
        check.true(holds_text(data, DEFAULT_FOLDER + "\\Quillmark.exe"),
                   "the %s shortcut points at Quillmark.exe" % where)
        check.true(holds_text(data, "Opens your Quillmark screenwriting application."),
                   "the %s shortcut carries its description" % where)


@journey("platform-facts")
def platform_facts_journey(s, check):
    """The platform facts that winsim copies, checked against Wine itself."""
    program = os.path.join(s.wine.build, "platform_facts.exe")
    target = s.unix_path(INSTALLER_FOLDER, create=True)
    shutil.copy2(program, target)
    code, out = s.run(INSTALLER_FOLDER + "\\platform_facts.exe", timeout=300)
    facts = [line for line in out.splitlines() if line.startswith(("ok - ", "FAIL - "))]
    check.true(len(facts) > 0, "platform_facts.exe reports its facts")
    for line in facts:
        check.true(line.startswith("ok - "), line.split(" - ", 1)[1])
    check.equal(code, 0, "platform_facts.exe exits with 0")


# ------------------------------------------------------------------ runner ---

def run_journey(name, wine, work):
    fn, pending = JOURNEYS[name]
    log("=== journey %s: %s" % (name, wine.describe()))
    if pending:
        log("(pending: %s)" % pending)
    check = Checks()
    start = time.monotonic()
    try:
        with Session(wine, work, name) as s:
            try:
                fn(s, check)
            finally:
                log("screenshots: %s" % s.shots)
    except JourneyError as e:
        check.failed.append(str(e))
        log("  FAIL %s" % e)
    except Exception:  # a fault in the harness itself fails the journey too
        check.failed.append("harness error")
        traceback.print_exc()
    seconds = time.monotonic() - start
    log("journey %s: %s in %.0f s" % (name, "passed" if not check.failed else "FAILED", seconds))
    log("%s: %d passed, %d failed" % (name, check.passed, len(check.failed)))
    return not check.failed


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
    parser.add_argument("--standin", action="store_true", default=None,
                        help="where 32-bit Wine cannot run, run the x86-64 stand-in "
                             "(as QUIL_E2E_STANDIN=1 does)")
    args = parser.parse_args(argv)

    if args.command == "list":
        for name, (_, pending) in JOURNEYS.items():
            print(name + (" pending" if pending else ""))
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

    names = args.names or [n for n, (_, p) in JOURNEYS.items()
                           if not p or os.environ.get("QUIL_E2E_PENDING") == "1"]
    unknown = [n for n in names if n not in JOURNEYS]
    if unknown:
        log("unknown journeys: %s" % ", ".join(unknown))
        return 2
    results = {n: run_journey(n, wine, work) for n in names}
    failed = [n for n, ok in results.items() if not ok]
    log("journeys: %d passed, %d failed" % (len(results) - len(failed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
