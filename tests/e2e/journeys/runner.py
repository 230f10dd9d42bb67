"""The installer's end-to-end journeys under Wine.

    journeys list                      names, those left to native runs marked
    journeys run NAME... [options]     runs journeys; exit 0 when all pass
    journeys prepare [options]         chooses the Wine and makes the template prefix
    journeys walk [options]            the default install, with screenshots
    journeys interactive [options]     Quil.exe on $DISPLAY, for a person

A journey is a function that drives one fresh prefix through `Session` and
records its findings with `Checks`; `@journey` registers it.
"""

import argparse
import contextlib
import ctypes
import filecmp
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback

import payload as manifest
from checks import Checks, JourneyError, log
from journeys import SOURCE
from pe import Pe
from wine.machine import choose_wine
from wine.probe import (is_agreement_dialog, is_location_dialog, is_main_program, is_notice,
                        is_notice_other_than, is_progress_dialog)
from wine.session import INSTALLER_FOLDER, Session
from wine.template import Template
SETTINGS_KEY = "HKCU\\Software\\Kestrel\\Quillmark\\Settings"

NOTICE_4 = ("Unable to overwrite existing quillmark.exe file; installation aborted.  If your "
            "existing copy of Quillmark is running, please shut it down and try again.  "
            "Otherwise, rebooting your computer should take care of the problem.")
DAMAGED_NOTICE = "Quil.exe installer file is damaged.  Please download it again."
IDYES, IDNO = 6, 7
# Code page 932 with Wine's own texts in English (the folder browser is then
# walked by names it shows), and the whole Japanese locale.
JAPANESE_CODE_PAGE = {"LANG": "ja_JP.UTF-8", "LC_MESSAGES": "C"}
JAPANESE = {"LANG": "ja_JP.UTF-8"}
NOTICE_5 = ("A more recent version of Quillmark already exists at the install location.  "
            "Installation aborted.")

JOURNEYS = {}


# Where the installer puts things: on 64-bit Windows, a 32-bit program's
# Program Files and HKLM\Software are its own (Wine.program_files, .software).
def default_folder(s):
    return s.wine.program_files + "\\Quillmark"


def machine_key(s):
    return s.wine.software + "\\Kestrel"


def app_paths_key(s):
    return s.wine.software + "\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Quillmark.exe"


def uninstall_key(s):
    return s.wine.software + "\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillmark"


def journey(name, in_guest=True):
    """Registers a journey. `in_guest=False`: a further point of the matrix
    (a screen size, a locale, the 64-bit prefix) that runs where the kernel
    runs the journeys itself, and is left out in the virtual machine, where
    each costs a minute or more (README, "Which journeys run where")."""
    def register(fn):
        JOURNEYS[name] = (fn, in_guest)
        return fn
    return register


def payload_rows():
    """The installer's payload table, from the payload manifest: (resource
    id, folder, name, storage, read-only) of every row; folder is install,
    windows or uninstaller, storage raw or packed."""
    return [(r.id, r.folder, r.name, r.storage, r.read_only) for r in manifest.table_rows()]


# ------------------------------------------------------------ walk helpers ---

def location_up(s, process):
    loc = s.wait_for(is_location_dialog, "the location dialog", process=process)
    s.shot("location")
    return loc


def walk_location(s, check, process, key="Return"):
    """Waits for the location dialog, checks the proposal, answers it."""
    loc = location_up(s, process)
    check.equal(loc.text(1000), default_folder(s), "the location dialog proposes the default folder")
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


def close_main_program(s):
    main = s.wait_for(is_main_program, "the installed Quillmark.exe's window", ready=False)
    s.key(main, "alt+F4")
    s.wait_gone(main, "Quillmark.exe's window")


def check_nothing_installed(s, check, folder_exists):
    folder = s.unix_path(default_folder(s))
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
    folder = s.unix_path(default_folder(s))
    windir_win = s.windir
    windir = s.unix_path(windir_win)
    check.true(filecmp.cmp(os.path.join(folder, "Quillmark.exe"),
                           os.path.join(payload, "Quillmark.exe"), shallow=False),
               "Quillmark.exe is the program the installer carries")
    attrs = s.attributes(default_folder(s))
    for rid, kind, name, storage, read_only in payload_rows():
        place = folder if kind == "install" else windir
        where = default_folder(s) if kind == "install" else windir_win
        path = os.path.join(place, name)
        form = "raw" if storage == "raw" else "expanded"
        if not check.true(os.path.isfile(path), "%s (%d) is in %s" % (name, rid, where)):
            continue
        check.true(filecmp.cmp(path, os.path.join(payload, name), shallow=False),
                   "%s is byte for byte its source (%s)" % (name, form))
        if kind == "install":
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
    expect(machine_key(s), "Path", "REG_SZ", default_folder(s))
    expect(machine_key(s), "patch", "REG_SZ", "blank")
    expect(app_paths_key(s), "(Default)", "REG_SZ", default_folder(s) + "\\Quillmark.exe")
    expect(app_paths_key(s), "Path", "REG_SZ", default_folder(s))
    expect(uninstall_key(s), "DisplayName", "REG_SZ", "Quillmark 2003   (Remove Only)")
    expect(uninstall_key(s), "UninstallString", "REG_SZ", windir + "\\uninst1.exe")


# ------------------------------------------------- an existing main program ---

def place_main_program(s, source, read_only=False, extra=b""):
    """Puts `source` (with `extra` bytes after it) where the installer puts
    Quillmark.exe; the bytes placed."""
    folder = s.unix_path(default_folder(s), create=True)
    with open(source, "rb") as f:
        data = f.read() + extra
    with open(os.path.join(folder, "Quillmark.exe"), "wb") as f:
        f.write(data)
    if read_only:
        code, out = s.run("attrib", "+r", default_folder(s) + "\\Quillmark.exe")
        if code != 0:
            raise JourneyError("attrib +r failed: %s" % out)
        if "R" not in s.attributes(default_folder(s)).get("quillmark.exe", ""):
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
    folder = s.unix_path(default_folder(s))
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
    running = s.start(default_folder(s) + "\\Quillmark.exe", "quillmark")
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
    installed = os.path.join(s.unix_path(default_folder(s)), "Quillmark.exe")
    check.true(filecmp.cmp(installed, os.path.join(s.wine.payload, "Quillmark.exe"),
                           shallow=False), "the read-only copy was replaced by the carried program")
    check.true("R" not in s.attributes(default_folder(s)).get("quillmark.exe", "R"),
               "the new Quillmark.exe is not read-only")
    no_leftovers(s, check)


@journey("second-run")
def second_run_journey(s, check):
    default_walk(s, check)
    close_main_program(s)

    process = s.start_installer()
    loc = s.wait_for(is_location_dialog, "the location dialog of the second run",
                     process=process)
    s.shot("second-location")
    check.equal(loc.text(1000), default_folder(s), "the second run proposes the recorded folder")
    check.true(not loc.enabled(1002), "Change... is disabled when a previous install is found")
    s.key(loc, "Return")
    agr = s.wait_for(is_agreement_dialog, "the agreement dialog of the second run",
                     process=process)
    s.key(agr, "Return")
    check.equal(s.wait_exit(process, 240), 0, "the second run exits with 0")
    check_main_program_up(s, check)
    folder = s.unix_path(default_folder(s))
    for _, kind, name, _, _ in payload_rows():
        if kind == "install":
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
        s.reg_add(machine_key(s), "Path", "REG_SZ", "D:\\Quillmark")
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
        check.true(not os.path.exists(s.unix_path(default_folder(s))), "no install folder was made")
    return walk


for _kind in DRIVE_REFUSALS:
    journey("drive-" + _kind)(drive_refusal(_kind))


@journey("platform-facts")
def platform_facts_journey(s, check):
    """The platform facts that winsim copies, checked against Wine itself."""
    program = os.path.join(s.wine.build, "platform_facts.exe")
    target = s.unix_path(INSTALLER_FOLDER, create=True)
    shutil.copy2(program, target)
    # Then again in a Japanese locale, for the facts of code page 932.
    for locale in ({}, JAPANESE_CODE_PAGE):
        code, out = s.run(INSTALLER_FOLDER + "\\platform_facts.exe", timeout=300, env=locale)
        facts = [line for line in out.splitlines() if line.startswith(("ok - ", "FAIL - "))]
        check.true(len(facts) > 0, "platform_facts.exe reports its facts")
        for line in facts:
            check.true(line.startswith("ok - "), line.split(" - ", 1)[1])
        check.equal(code, 0, "platform_facts.exe exits with 0")


# ------------------------------------------------------------ crash report ---
# A stand-in LZ32 (tests/e2e/faulty_lz32) faults in LZInit at the first packed
# file, so the shipped Quil.exe meets a real unhandled exception. Wine and the
# reference report server run in a private network where the build's report
# host is this machine's loopback.

REPORT_KEY = "HKCU\\Software\\Kestrel\\Quillmark\\report"
INTERNET_SETTINGS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
CRASH_NOTICE = "An unknown error has occured -- installation aborted"
REPORT_SERVER = os.path.join(SOURCE, "tools", "report_server.py")


def session_options(make):
    """Gives a journey's Session the options that `make`(wine) returns."""
    def mark(fn):
        fn.session_options = make
        return fn
    return mark


def report_host(wine):
    """The report server's host name that the build was made with."""
    with open(os.path.join(wine.build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("QUIL_REPORT_HOST:"):
                return line.split("=", 1)[1].strip()
    raise JourneyError("the build in %s names no QUIL_REPORT_HOST" % wine.build)


def crash_session(wine):
    # winedbg off: an exception that the installer passes on ends the process
    # without a debugger or a crash dialog.
    return dict(hosts={report_host(wine): "127.0.0.1"}, dll_overrides="lz32=n;winedbg.exe=d")


def is_crash_notice(w):
    return w.exe == "quil.exe" and w.title == "Error Notice"


def start_report_server(s, reply):
    """The reference report server on port 80, answering `reply`; the file
    that it keeps the requests in."""
    reports = os.path.join(s.root, "reports.jsonl")
    if os.path.exists(reports):
        os.remove(reports)  # an earlier run's
    s.start_service(["python3", REPORT_SERVER, "--reports", reports, "--port", "80",
                     "--reply", reply], "report-server")
    log_path = os.path.join(s.root, "report-server.log")
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        with open(log_path) as f:
            if "listening on" in f.read():
                return reports
        time.sleep(0.2)
    raise JourneyError("the report server did not start: see %s" % log_path)


def received(reports):
    if not os.path.exists(reports):
        return []
    with open(reports) as f:
        return [json.loads(line) for line in f if line.strip()]


def crash_to_notice(s, check, reply):
    """Places the faulty LZ32 in the system folder (a faulty system library:
    Quil.exe loads it from nowhere else), starts the server, walks to the
    file work and meets the crash notice; the installer's process, the
    notice and the address the fault happened at, as the report writes it."""
    folder = s.unix_path(s.windir + "\\system32")
    # The prefix's file is a link to the template's: replaced, not written.
    os.remove(os.path.join(folder, "lz32.dll"))
    shutil.copy2(os.path.join(s.wine.build, "tests", "e2e", "faulty_lz32", "lz32.dll"), folder)
    reports = start_report_server(s, reply)
    s.reg_add(INTERNET_SETTINGS, "EnableAutodial", "REG_DWORD", "1")
    process = s.start_installer()
    walk_location(s, check, process)
    agr = walk_agreement(s, check, process)
    s.key(agr, "Return")
    notice = s.wait_for(is_crash_notice, "the crash notice", process=process,
                        instead=[is_main_program, lambda w: w.title.startswith("ERROR ")])
    s.shot("crash-notice")
    check.equal(sorted(notice.texts()), sorted([CRASH_NOTICE, "OK"]),
                "the notice says %r, with OK" % CRASH_NOTICE)
    check.equal([c["id"] for c in notice.controls if c.get("icon")], [],
                "the notice shows no icon")
    check.equal(received(reports), [], "nothing is sent before the notice is dismissed")
    with open(os.path.join(folder, "lz32-fault.txt")) as f:
        address = "%08X" % (int(f.read().strip(), 16) & 0xFFFFFFFF)
    log("  (LZInit faulted at %s)" % address)
    s.key(notice, "Return")
    return process, reports, address


def dial_up(s):
    """The automatic dial-up value, whichever spelling of its name it carries."""
    values = s.reg_values(INTERNET_SETTINGS) or {}
    return next((v for k, v in values.items() if k.lower() == "enableautodial"), None)


def expected_report(address):
    return ("log=INSTALLER+ERROR%0A%0DEXCEPTION_ACCESS_VIOLATION%0A%0Dat+" + address +
            "%0A%0DBuild:+037%0A%0D")


def check_one_report(check, requests, address):
    if not check.equal(len(requests), 1, "the server holds exactly one request"):
        return
    r = requests[0]
    headers = {k.lower(): v for k, v in r["headers"]}
    log("  (the report as received: %s %s %s)" % (r["method"], r["path"], r["body"]))
    check.equal((r["method"], r["path"]), ("POST", "/sreport.asp"), "it is a POST of /sreport.asp")
    check.equal(headers.get("content-type"), "application/x-www-form-urlencoded",
                "it carries the form's Content-Type")
    check.equal(headers.get("user-agent"), "quil", "its agent is \"quil\"")
    check.equal(r["body"], expected_report(address), "its body is the report of the fault")


@journey("crash-report")
@session_options(crash_session)
def crash_report_journey(s, check):
    process, reports, address = crash_to_notice(s, check, "OK")
    code = s.wait_exit(process, 120)
    log("  (Quil.exe ended with exit code 0x%X)" % (code & 0xFFFFFFFF))
    check_one_report(check, received(reports), address)
    check.equal(s.reg_values(REPORT_KEY), None, "the report key is gone once the report is taken")
    check.equal(dial_up(s), ("REG_DWORD", "0x1"), "the dial-up setting is put back")
    s.shot("after-crash")
    check.equal(s.windows(), [], "no window is left: neither a crash dialog nor a debugger")
    with open(os.path.join(s.root, "quil.log"), encoding="latin-1") as f:
        check.true("winedbg" not in f.read().lower(), "no debugger was started")


@journey("crash-report-refused")
@session_options(crash_session)
def crash_report_refused_journey(s, check):
    process, reports, address = crash_to_notice(s, check, "try again later")
    deadline = time.monotonic() + 90
    while time.monotonic() < deadline and not received(reports):
        time.sleep(0.5)
    # The report key was written before the first attempt.
    values = s.reg_values(REPORT_KEY) or {}
    check_one_report(check, received(reports), address)
    check.equal(values, {"log00": ("REG_SZ", "INSTALLER ERROR"),
                         "log01": ("REG_SZ", "EXCEPTION_ACCESS_VIOLATION"),
                         "log02": ("REG_SZ", "at " + address),
                         "log03": ("REG_SZ", "Build: 037")},
                "the report key holds log00 to log03 while the installer waits")
    time.sleep(5)
    check.true(process.poll() is None, "Quil.exe waits to try again (ten minutes)")
    check.equal(len(received(reports)), 1, "no second attempt before the pause is over")
    check.equal(dial_up(s), ("REG_DWORD", "0x1"),
                "the dial-up setting is put back after the attempt")
    s.shot("waiting")
    os.killpg(process.pid, signal.SIGKILL)
    process.wait(timeout=60)
    check.equal(sorted((s.reg_values(REPORT_KEY) or {}).keys()),
                ["log00", "log01", "log02", "log03"], "the record outlives the ended process")


# --------------------------------------------------------------- shortcuts ---

SHELL_FOLDERS_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"
MAP_GROUPS_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\GrpConv\\MapGroups"
LINK_NAME = "Quillmark 2003.lnk"
LINK_DESCRIPTION = "Opens your Quillmark screenwriting application."
QUICK_LAUNCH_BELOW = "\\Microsoft\\Internet Explorer\\Quick Launch"


def shell_folders(s):
    """Where this prefix's shell puts the user's Start menu, desktop and local
    application data, as Wine itself records them."""
    values = s.reg_values(SHELL_FOLDERS_KEY) or {}
    folders = {}
    for name in ("Start Menu", "Desktop", "Local AppData"):
        value = values.get(name, ("", ""))[1]
        if not re.match(r"^[A-Za-z]:\\", value):
            raise JourneyError("Wine names no %s folder: %r" % (name, values.get(name)))
        folders[name] = value
    return folders


def lnkinfo(path, codepage="cp1252"):
    """What Debian's lnkinfo reads from a shell link (its ANSI strings in
    `codepage`): its fields by name, the kinds of strings it says the link
    contains, and its whole output."""
    out = subprocess.run(["lnkinfo", "-c", "windows-" + codepage[2:], path],
                         capture_output=True, text=True, timeout=60)
    if out.returncode != 0:
        raise JourneyError("lnkinfo cannot read %s: %s" % (path, out.stderr.strip()))
    fields = {}
    section = ""
    for line in out.stdout.splitlines():
        if line and not line.startswith("\t"):
            section = line.rstrip(":")
        m = re.match(r"^\t([A-Z][^:\t]*?)\t*: (.*)$", line)
        if m and section == "Link information":
            fields[m.group(1)] = m.group(2)
    contains = [line.strip() for line in out.stdout.splitlines()
                if line.startswith("\tContains ")]
    return fields, contains, out.stdout


def check_link(s, check, folder, where, installed=None):
    """The link in `folder` (a Windows path) to the program installed in
    `installed` (the default folder unless given), read back by lnkinfo."""
    installed = installed or default_folder(s)
    path = os.path.join(s.unix_path(folder), LINK_NAME)
    if not check.true(os.path.isfile(path), "a shortcut \"Quillmark 2003\" in %s" % where):
        return
    with open(path, "rb") as f:
        check.true(f.read(4) == b"L\0\0\0", "the shortcut in %s is a shell link" % where)
    fields, contains, _ = lnkinfo(path, s.ansi_codepage)
    target = installed + "\\Quillmark.exe"
    check.equal(fields.get("Local path"), target, "the target of the shortcut in %s" % where)
    check.equal(fields.get("Working directory"), installed,
                "the working directory of the shortcut in %s" % where)
    check.equal(fields.get("Description"), LINK_DESCRIPTION,
                "the description of the shortcut in %s" % where)
    check.equal((fields.get("Icon location"), fields.get("Icon index")), (target, "0"),
                "the icon location and index of the shortcut in %s" % where)
    check.true("Contains a command line arguments string" not in contains,
               "the shortcut in %s has no arguments" % where)


def files_below(top, suffix=""):
    found = set()
    for root, _, files in os.walk(top):
        found |= {os.path.join(root, n) for n in files if n.lower().endswith(suffix)}
    return found


def menu_entries(home):
    """Desktop entries and menus below the session's home: what Wine's menu
    builder would write for a shortcut if it ran."""
    return {p for p in files_below(home)
            if p.endswith((".desktop", ".menu", ".directory"))
            or os.sep + "applications" + os.sep in p}


@journey("shortcuts")
def shortcuts_journey(s, check):
    folders = shell_folders(s)
    log("  (Wine's shell folders: %s)" % folders)
    places = {"the Start menu": folders["Start Menu"], "the desktop": folders["Desktop"],
              "Quick Launch": folders["Local AppData"] + QUICK_LAUNCH_BELOW}
    # Quick Launch as older systems have it; the installer never makes it.
    s.unix_path(places["Quick Launch"], create=True)
    drive_c = os.path.join(s.prefix, "drive_c")
    links_before = files_below(drive_c, ".lnk")
    menus_before = menu_entries(s.home)

    default_walk(s, check)
    check_main_program_up(s, check)
    for where, folder in places.items():
        check_link(s, check, folder, where)
    made = files_below(drive_c, ".lnk") - links_before
    check.equal(len(made), 3, "the run made three shortcuts and no other")
    example = os.path.join(s.unix_path(places["the desktop"]), LINK_NAME)
    if os.path.isfile(example):
        log("lnkinfo of the desktop shortcut:\n" + lnkinfo(example)[2])

    # A second run over the same install: each link is written anew in its
    # place, none is added.
    close_main_program(s)
    for path in made:
        with open(path, "wb") as f:
            f.write(b"not a shell link")
    default_walk(s, check)
    for where, folder in places.items():
        check_link(s, check, folder, where)
    check.equal(files_below(drive_c, ".lnk") - links_before, made,
                "the second run replaced the shortcuts and added none")
    check.equal(menu_entries(s.home) - menus_before, set(),
                "Wine wrote no menu entry or desktop file outside the prefix")


@journey("shortcuts-mapped")
def shortcuts_mapped_journey(s, check):
    """A Quick Launch folder named under MapGroups takes the third link, even
    where the usual Quick Launch folder exists."""
    usual = shell_folders(s)["Local AppData"] + QUICK_LAUNCH_BELOW
    s.unix_path(usual, create=True)
    mapped = "C:\\Shortcuts\\Launch Bar"
    s.unix_path(mapped, create=True)
    s.reg_add(MAP_GROUPS_KEY, "Quick Launch", "REG_SZ", mapped)
    default_walk(s, check)
    check_link(s, check, mapped, "the mapped Quick Launch folder")
    check.equal(os.listdir(s.unix_path(usual)), [], "the usual Quick Launch folder stays empty")

    # Opened as a person would open it, the link starts the program.
    close_main_program(s)
    code, _ = s.run("start", mapped + "\\" + LINK_NAME)
    check.equal(code, 0, "the shortcut opens")
    s.wait_for(is_main_program, "Quillmark.exe opened through its shortcut", timeout=60,
               ready=False)
    s.shot("opened-through-shortcut")


# ---------------------------------------------------------------- backdrop ---

BACKDROP_FILL = (64, 0, 0)
BACKDROP_PATTERN = (56, 0, 0)
BACKDROP_SHADOW = (32, 0, 0)
BACKDROP_TEXT = (240, 240, 240)


def is_backdrop(w):
    return w.exe == "quil.exe" and w.data.get("class") == "Quillmark"


class Screenshot:
    """A screenshot's pixels, read through ImageMagick's raw RGB output."""

    def __init__(self, path, width, height):
        out = subprocess.run(["convert", path, "-depth", "8", "rgb:-"], capture_output=True,
                             timeout=60)
        if out.returncode != 0 or len(out.stdout) != width * height * 3:
            raise JourneyError("cannot read the pixels of %s: %s"
                               % (path, out.stderr.decode(errors="replace").strip()))
        self.data = out.stdout
        self.width = width
        self.height = height

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def where(self, colour, left=0, top=0, right=None, bottom=None):
        """(x, y) of every pixel of exactly `colour` inside the box."""
        right = self.width if right is None else right
        bottom = self.height if bottom is None else bottom
        found = []
        for y in range(top, bottom):
            for x in range(left, right):
                if self.pixel(x, y) == colour:
                    found.append((x, y))
        return found

    def share(self, colours, box=None):
        """The share of the box's pixels (all the screen's by default) that
        have one of `colours`."""
        left, top, right, bottom = box or (0, 0, self.width, self.height)
        wanted = {bytes(c) for c in colours}
        hits = 0
        for y in range(top, bottom):
            row = self.data[(y * self.width + left) * 3:(y * self.width + right) * 3]
            hits += sum(1 for i in range(0, len(row), 3) if row[i:i + 3] in wanted)
        return hits / max(1, (right - left) * (bottom - top))


def check_backdrop_picture(check, shot, dialog):
    """The backdrop as painted: fill and pattern across the screen, the
    title above the line y = 60 and the tagline below it, each from x = 12
    with its shadow 6 pixels right and down. The window's dialog frame lies
    around its client area, so positions are measured from where the fill
    begins."""
    frame = next((x for x in range(0, 40)
                  if shot.pixel(x, shot.height // 2) in (BACKDROP_FILL, BACKDROP_PATTERN)), None)
    if not check.true(frame is not None, "the backdrop's fill reaches the left edge of the screen"):
        return
    share = shot.share([BACKDROP_FILL, BACKDROP_PATTERN])
    log("  (fill and pattern cover %.1f%% of the screen, the frame is %d px)"
        % (100 * share, frame))
    check.true(share > 0.5, "the fill and the pattern make up most of the screen (%.0f%%)"
               % (100 * share))
    w, h = shot.width, shot.height
    for name, box in (("top left", (0, 0, w // 2, h // 2)), ("top right", (w // 2, 0, w, h // 2)),
                      ("bottom left", (0, h // 2, w // 2, h)),
                      ("bottom right", (w // 2, h // 2, w, h)),
                      ("bottom rows", (0, h - 30, w, h - frame))):
        check.true(shot.share([BACKDROP_PATTERN], box) > 0.02,
                   "the pattern reaches the %s of the screen" % name)
    left, top, right, bottom = dialog.data["rect"]
    check.true(shot.share([BACKDROP_FILL, BACKDROP_PATTERN],
                          (max(0, left), max(0, top), min(w, right), min(h, bottom))) < 0.05,
               "the dialog stands in front of the backdrop")

    # Title and tagline: the light grey in the top left, in client coordinates.
    text = [(x - frame, y - frame) for x, y in shot.where(BACKDROP_TEXT, 0, 0, 720, 140)]
    shadow = [(x - frame, y - frame) for x, y in shot.where(BACKDROP_SHADOW, 0, 0, 720, 150)]
    if not check.true(len(text) > 2000 and len(shadow) > 2000,
                      "light grey text and its dark shadow are in the top left corner"):
        return
    rows = sorted({y for _, y in text})
    gap = next((a for a, b in zip(rows, rows[1:]) if b - a > 1), None)
    title = [(x, y) for x, y in text if gap is not None and y <= gap]
    tagline = [(x, y) for x, y in text if gap is not None and y > gap]
    check.true(title and max(y for _, y in title) < 60 and len(title) > 1000,
               "the title's light grey pixels lie above y = 60")
    check.true(tagline and min(y for _, y in tagline) >= 60,
               "the tagline's light grey pixels lie below y = 60")
    check.true(12 <= min(x for x, _ in text) <= 20, "title and tagline start from x = 12 (at %d)"
               % min(x for x, _ in text))
    check.equal((min(x for x, _ in shadow) - min(x for x, _ in text),
                 min(y for _, y in shadow) - min(y for _, y in text)), (6, 6),
                "the shadow lies 6 pixels right and down")


def check_owned_by_backdrop(check, window, backdrop, what):
    check.equal(window.data.get("owner_class"), "Quillmark",
                "the %s is owned by a window of class \"Quillmark\"" % what)
    check.equal(window.data.get("owner"), backdrop.hwnd, "the %s's owner is the backdrop" % what)


def backdrop_behind_location(s, check, process):
    """The location dialog and the backdrop behind it, checked on a screen
    of the session's size: the backdrop covers it, its fill and pattern reach
    every corner, its title stands at the top left, and the dialog belongs
    to it and stands whole in the middle of the screen."""
    loc = s.wait_for(is_location_dialog, "the location dialog", process=process)
    width, height = s.screen
    shot = Screenshot(s.shot("location"), width, height)
    backdrops = [w for w in s.windows() if is_backdrop(w)]
    check.equal(len(backdrops), 1, "one backdrop window is up")
    if not backdrops:
        return loc, None
    back = backdrops[0]
    check.equal((back.title, back.controls), ("", []), "the backdrop has no title and no controls")
    left, top, right, bottom = back.data["rect"]
    check.true(left <= 0 and top <= 0 and right >= width and bottom >= height,
               "the backdrop covers the whole %dx%d screen (%s)" % (width, height,
                                                                     back.data["rect"]))
    check.true(back.maximized, "the backdrop is shown maximised")
    check.true(not back.data["enabled"], "the modal location dialog disables the backdrop")
    check_owned_by_backdrop(check, loc, back, "location dialog")
    check_backdrop_picture(check, shot, loc)
    left, top, right, bottom = loc.data["rect"]
    check.true(0 <= left and 0 <= top and right <= width and bottom <= height,
               "the location dialog stands whole on the screen (%s)" % loc.data["rect"])
    check.true(abs((left + right) - width) <= 4 and abs((top + bottom) - height) <= 4,
               "the location dialog stands in the middle of the screen (%s)" % loc.data["rect"])
    return loc, back


@journey("backdrop")
def backdrop_journey(s, check):
    # A newer main program in place: the run ends with a notice after the
    # agreement, so one run shows every kind of window in front of the backdrop.
    place_main_program(s, s.wine.product("Quillmark-1.0.0.2.exe"))
    process = s.start_installer()
    loc, back = backdrop_behind_location(s, check, process)
    if not back:
        return

    s.key(loc, "Return")
    s.wait_gone(loc, "the location dialog")
    agr = walk_agreement(s, check, process)
    check_owned_by_backdrop(check, agr, back, "agreement dialog")
    s.key(agr, "Return")

    notice = s.wait_for(is_notice("5"), "the notice ERROR 5", process=process,
                        instead=[is_notice_other_than("5"), is_main_program])
    path = s.shot("error-5")
    check.true(NOTICE_5 in notice.texts(), "ERROR 5 is up")
    check.equal(notice.data.get("owner"), 0, "the notice has no owner")
    progress = [w for w in s.windows() if is_progress_dialog(w)]
    if progress:
        check_owned_by_backdrop(check, progress[0], back, "progress dialog")
    else:
        log("  (the progress dialog was not listed while the notice was up)")
    # Without a window manager nobody draws the notice's caption: its lower
    # half is sure to be the notice's own client area.
    left, top, right, bottom = notice.data["rect"]
    box = (max(0, left + 4), max(0, (top + bottom) // 2), min(s.screen[0], right - 4),
           min(s.screen[1], bottom - 4))
    share = Screenshot(path, *s.screen).share([BACKDROP_FILL, BACKDROP_PATTERN], box)
    check.true(share < 0.05, "the notice stands in front of the backdrop (%.0f%% of %s is backdrop)"
               % (100 * share, box))
    s.key(notice, "Return")
    check.equal(s.wait_exit(process, 60), 0, "Quil.exe exits with 0 after the notice")


def screen_journey(width, height):
    """The backdrop and the location dialog on a screen of another size."""
    @journey("screen-%dx%d" % (width, height), in_guest=(width, height) == (2560, 1440))
    @session_options(lambda wine: dict(screen=(width, height)))
    def walk(s, check):
        process = s.start_installer()
        loc, _ = backdrop_behind_location(s, check, process)
        s.key(loc, "Escape")
        check.equal(s.wait_exit(process, 60), 0, "Quil.exe exits with 0 after Escape")


for size in ((800, 600), (1920, 1080), (2560, 1440)):
    screen_journey(*size)


# ------------------------------------------------------ a nearly full disk ---

def private_mounts():
    """Gives this process (and the Wine it starts from now on) a mount
    namespace of its own, so that a filesystem mounted for a journey is seen
    by nobody else and goes when the process ends."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x00020000) != 0:  # CLONE_NEWNS
        raise JourneyError("no private mount namespace: %s" % os.strerror(ctypes.get_errno()))
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)


def small_hard_disk(s, letter, size_kb):
    """Drive `letter`: a tmpfs of `size_kb` KiB of its own, given to Wine as a
    hard disk; its folder on this side. The wineserver must restart before
    Wine sees it."""
    target = os.path.join(s.root, "drive_" + letter)
    os.makedirs(target, exist_ok=True)
    private_mounts()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % size_kb, "quil-" + letter, target],
                   check=True)
    os.symlink(target, os.path.join(s.prefix, "dosdevices", letter + ":"))
    s.reg_add("HKLM\\Software\\Wine\\Drives", letter + ":", "REG_SZ", "hd")
    return target


def files_not_whole(s, folder, names):
    """The files among `names` that are in `folder` without being the
    payload's own bytes."""
    return [n for n in names if os.path.exists(os.path.join(folder, n))
            and not filecmp.cmp(os.path.join(folder, n), os.path.join(s.wine.payload, n),
                                shallow=False)]


def install_on_d(s, check, what):
    """Install, then Accept, into the recorded D:\\Quillmark; the exit code."""
    process = s.start_installer()
    loc = location_up(s, process)
    check.equal(loc.text(1000), NEARLY_FULL_FOLDER, "%s proposes %s" % (what, NEARLY_FULL_FOLDER))
    s.key(loc, "Return")
    s.wait_gone(loc, "the location dialog")
    agr = walk_agreement(s, check, process)
    s.key(agr, "Return")
    code = s.wait_exit(process, 300)
    check.equal(code, 0, "%s exits with 0" % what)
    return code


NEARLY_FULL_FOLDER = "D:\\Quillmark"


@journey("nearly-full-disk")
def nearly_full_disk_journey(s, check):
    # D: holds 8 MiB, of which a filler takes all but 1.5 MiB: room for the
    # main program and some of the payload, not for all of it (3.6 MiB).
    drive = small_hard_disk(s, "d", 8192)
    filler = os.path.join(drive, "filler.bin")
    with open(filler, "wb") as f:
        f.write(b"\0" * (8192 - 1536) * 1024)
    s.reg_add(machine_key(s), "Path", "REG_SZ", NEARLY_FULL_FOLDER)
    s.restart_wineserver()
    folder = os.path.join(drive, "Quillmark")
    rows = [name for _, kind, name, _, _ in payload_rows() if kind == "install"]
    try:
        install_on_d(s, check, "the run on a nearly full D:")
        present = [n for n in rows if os.path.exists(os.path.join(folder, n))]
        log("  (%d of %d files of the install folder fitted: %s)" % (len(present), len(rows),
                                                                     ", ".join(present)))
        check.true(0 < len(present) < len(rows), "some of the payload fitted on D:, not all")
        check.equal(files_not_whole(s, folder, rows + ["Quillmark.exe"]), [],
                    "every file that is on D: is whole")
        check.equal(sorted(set(os.listdir(folder)) - set(rows) - {"Quillmark.exe"}), [],
                    "nothing else is left in D:\\Quillmark (no image.tmp)")
        no_leftovers(s, check)
        main = s.wait_for(is_main_program, "the installed Quillmark.exe's window", ready=False)
        s.shot("quillmark-first")
        s.key(main, "alt+F4")
        s.wait_gone(main, "Quillmark.exe's window")

        os.remove(filler)
        install_on_d(s, check, "the run after space was freed")
        check_main_program_up(s, check)
        check.equal([n for n in rows if not os.path.exists(os.path.join(folder, n))], [],
                    "every file of the install folder is on D: now")
        check.equal(files_not_whole(s, folder, rows + ["Quillmark.exe"]), [],
                    "every file on D: is whole")
        check.true("image.tmp" not in [n.lower() for n in os.listdir(folder)], "no image.tmp is left")
        no_leftovers(s, check)
    finally:
        s.restart_wineserver()
        subprocess.run(["umount", "-l", drive])
# ------------------------------------------------------------- uninstaller ---
# The uninstaller that the install leaves, run as Add/Remove Programs runs it:
# the command of the uninstall entry's "UninstallString".

UNINSTALL_CAPTION = "Quillmark 2003 Uninstall"
UNINSTALL_QUESTION = "Do you want to remove Quillmark 2003 from your computer?"
UNINSTALL_REMOVED = "Quillmark 2003 was removed from your computer."
UNINSTALL_RUNNING = "Quillmark 2003 is running."
UNINSTALL_NOT_INSTALLED = "Quillmark 2003 is not installed on this computer. Nothing was changed."

def is_uninstall_message(w):
    return w.title == UNINSTALL_CAPTION and w.exe.startswith("uninst1")


def message_text(w):
    """What a message box says: its longest text (the others are buttons)."""
    return max(w.texts(), key=len, default="")


def _saved_key_entries(path, root):
    """Every key and value of a key saved whole by the Wine server (its own
    registry format, relative to `root`), one string each. The keys' times
    are left out: a key's time changes when it is written to, even with what
    it already held. A saved file names only the keys that hold values or no
    subkeys; every key above them is there too and is added."""
    with open(path, "rb") as f:
        text = f.read().decode("latin-1")
    entries = set()
    key = None
    pending = ""
    for raw in text.splitlines():
        # A long value goes on over indented lines, each but the last ending
        # in a backslash.
        line = pending + (raw.strip() if pending else raw)
        if line.endswith("\\"):
            pending = line[:-1]
            continue
        pending = ""
        m = re.match(r"^\[(.*)\] \d+$", line)
        if m:
            # Names are escaped: "\\" between names, "\[" for a bracket.
            name = re.sub(r"\\(.)", r"\1", m.group(1))
            key = root + "\\" + name if name else root
            entries.add(key)
            above = key
            while above != root:
                above = above.rsplit("\\", 1)[0]
                entries.add(above)
        elif key is not None and line and not line.startswith("#time="):
            entries.add(key + " | " + line)
    return entries


def prefix_record(s, name):
    """Every folder and file under drive_c (with a hash of each file), and
    every key and value of HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE\\Software
    but for volatile keys, which the Wine server does not save."""
    with s.spent.on("prefix record"):
        return _drive_c_entries(s) | _registry_entries(s, name)


def _drive_c_entries(s):
    # Wine's own files, which a journey's copy links from the template, are
    # 600 MB: hashing them took most of a minute in the virtual machine. So
    # their digests are kept beside the template, and one is reused only for
    # the same file (device and inode) unchanged in size and modification
    # time; a file written to is hashed again.
    digests_path = s.template.digests
    try:
        with open(digests_path) as f:
            digests = json.load(f)
    except (OSError, ValueError):
        digests = {}
    known = len(digests)
    drive_c = os.path.join(s.prefix, "drive_c")
    entries = set()
    for root, dirs, files in os.walk(drive_c):
        for d in dirs:
            entries.add("folder " + os.path.relpath(os.path.join(root, d), drive_c))
        for f in files:
            path = os.path.join(root, f)
            rel = os.path.relpath(path, drive_c)
            if os.path.islink(path):
                entries.add("link %s -> %s" % (rel, os.readlink(path)))
                continue
            st = os.stat(path)
            same = "%d:%d:%d:%d" % (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
            linked = st.st_nlink > 1
            digest = digests.get(same) if linked else None
            if digest is None:
                h = hashlib.sha1()
                with open(path, "rb") as fh:
                    for chunk in iter(lambda: fh.read(1 << 20), b""):
                        h.update(chunk)
                digest = h.hexdigest()
                if linked:
                    digests[same] = digest
            entries.add("file %s %s" % (rel, digest))
    if len(digests) > known:
        with open(digests_path + ".new", "w") as f:
            json.dump(digests, f)
        os.replace(digests_path + ".new", digests_path)
    return entries


def _registry_entries(s, name):
    # The Wine server saves each key whole, in one request: an export through
    # reg.exe asks for every key and value apart, which took a minute of each
    # record in the virtual machine.
    saved = [("HKEY_CURRENT_USER", os.path.join(s.root, "hkcu-%s.reg" % name)),
             ("HKEY_LOCAL_MACHINE\\Software", os.path.join(s.root, "hklm-%s.reg" % name))]
    program = os.path.join(s.wine.build, "tests", "e2e", "reg_dump", "reg_dump.exe")
    code, text = s.run(*[s.windows_path(p) for p in [program] + [out for _, out in saved]])
    if code != 0 or not all(os.path.exists(out) for _, out in saved):
        raise JourneyError("reg_dump.exe could not save the registry: %s" % text.strip())
    entries = set()
    for root, out in saved:
        entries |= _saved_key_entries(out, root)
    return {"reg " + e for e in entries}


def check_prefix_unchanged(s, check, record, what):
    """The prefix equals `record`. (What Wine keeps for a running session,
    such as "Temporary System Parameters", is in volatile keys: not saved,
    so not recorded.)"""
    now = prefix_record(s, what.replace(" ", "-"))
    added = sorted(now - record)
    lost = sorted(record - now)
    for e in added[:40]:
        log("  added:   %s" % e[:200])
    for e in lost[:40]:
        log("  missing: %s" % e[:200])
    check.equal((len(added), len(lost)), (0, 0), "the prefix is as it was %s" % what)


def uninstall_command(s):
    values = s.reg_values(uninstall_key(s)) or {}
    return values.get("UninstallString", ("", ""))[1]


def start_uninstaller(s, command):
    log("starting %s" % command)
    return s.start(command, "uninst1")


def uninstaller_message(s, process, what, shot):
    w = s.wait_for(is_uninstall_message, what, process=process, timeout=60)
    s.shot(shot)
    log("  (%s says: %r)" % (what, message_text(w)))
    return w


def answer_yes(s, check, process, folder=None):
    """The question: it names the install folder (the default one unless
    given), Yes has the focus; Enter."""
    q = uninstaller_message(s, process, "the uninstaller's question", "question")
    text = message_text(q)
    check.true(UNINSTALL_QUESTION in text, "the uninstaller asks whether to remove Quillmark 2003")
    check.true((folder or default_folder(s)) in text, "the question names the install folder")
    # Wine names the buttons in the user's language; their ids are Windows'.
    check.true(q.control(IDYES) is not None and q.control(IDNO) is not None,
               "the question has Yes and No (%r, %r)" % (q.text(IDYES), q.text(IDNO)))
    check.equal(q.focus, IDYES, "the focus starts on Yes")
    s.key(q, "Return")
    s.wait_gone(q, "the question")


def copies_left(s):
    """Temporary copies of the uninstaller anywhere in the prefix."""
    return sorted(p for p in files_below(os.path.join(s.prefix, "drive_c"))
                  if re.match(r"uninst1-.*\.exe$", os.path.basename(p), re.I))


def wait_self_removed(s, check, original):
    """The uninstaller's own file and its temporary copy go once it ends."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and (os.path.exists(original) or copies_left(s)):
        time.sleep(0.5)
    check.true(not os.path.exists(original), "uninst1.exe removed itself")
    check.equal(copies_left(s), [], "no temporary copy of the uninstaller is left")


def install_then_uninstall(s, check, record=None):
    """The default install, the program closed, the uninstaller run from the
    uninstall entry and answered Yes; its exit code. With the `record` of
    the prefix before, a check that the record sees what the install made."""
    default_walk(s, check)
    check_main_program_up(s, check)
    close_main_program(s)
    if record is not None:
        made = prefix_record(s, "installed") - record
        installed = default_folder(s)[3:].replace("\\", "/")
        for sign in ("file %s/Quillmark.exe " % installed, "file windows/uninst1.exe ",
                     "reg " + uninstall_key(s).replace("HKLM", "HKEY_LOCAL_MACHINE"),
                     "reg " + SETTINGS_KEY.replace("HKCU", "HKEY_CURRENT_USER") + " | \"patch\""):
            check.true(any(e.startswith(sign) for e in made),
                       "the record of the prefix sees the install's %s" % sign.split(" ", 1)[1])
    command = uninstall_command(s)
    check.equal(command, s.windir + "\\uninst1.exe", "the uninstall entry names uninst1.exe")
    process = start_uninstaller(s, command)
    answer_yes(s, check, process)
    done = uninstaller_message(s, process, "the uninstaller's last message", "removed")
    check.equal(message_text(done), UNINSTALL_REMOVED, "it says %r" % UNINSTALL_REMOVED)
    s.key(done, "Return")
    code = s.wait_exit(process, 60, "uninst1.exe")
    wait_self_removed(s, check, s.unix_path(command))
    return code, done


@journey("install-uninstall")
def install_uninstall_journey(s, check):
    s.put_installer()  # the journey's own doing, before the record
    record = prefix_record(s, "before")
    code, _ = install_then_uninstall(s, check, record)
    check.equal(code, 0, "uninst1.exe exits with 0 after a full removal")
    check_prefix_unchanged(s, check, record, "before the install")


@journey("uninstall-user-file")
def uninstall_user_file_journey(s, check):
    default_walk(s, check)
    close_main_program(s)
    folder = s.unix_path(default_folder(s))
    with open(os.path.join(folder, "My notes.txt"), "w") as f:
        f.write("INT. KITCHEN - NIGHT\n")
    process = start_uninstaller(s, uninstall_command(s))
    answer_yes(s, check, process)
    done = uninstaller_message(s, process, "the uninstaller's last message", "removed-kept")
    text = message_text(done)
    check.true(text.startswith(UNINSTALL_REMOVED), "it says %r" % UNINSTALL_REMOVED)
    check.true(default_folder(s) in text and "My notes.txt" in text,
               "it names the kept folder and the user's file")
    s.key(done, "Return")
    check.equal(s.wait_exit(process, 60, "uninst1.exe"), 0, "uninst1.exe exits with 0")
    wait_self_removed(s, check, os.path.join(s.unix_path(s.windir), "uninst1.exe"))
    check.equal(os.listdir(folder), ["My notes.txt"], "the folder keeps the user's file alone")
    with open(os.path.join(folder, "My notes.txt")) as f:
        check.equal(f.read(), "INT. KITCHEN - NIGHT\n", "the user's file is untouched")
    check.equal(s.reg_values(SETTINGS_KEY), None, "the settings key is gone")
    check.equal(s.reg_values(uninstall_key(s)), None, "the uninstall entry is gone")


@journey("uninstall-running")
def uninstall_running_journey(s, check):
    default_walk(s, check)
    check_main_program_up(s, check)
    record = prefix_record(s, "installed")
    process = start_uninstaller(s, uninstall_command(s))
    answer_yes(s, check, process)
    refused = uninstaller_message(s, process, "the refusal", "running")
    text = message_text(refused)
    check.true(UNINSTALL_RUNNING in text and "Nothing was removed." in text,
               "it refuses while Quillmark 2003 runs")
    s.key(refused, "Return")
    check.equal(s.wait_exit(process, 60, "uninst1.exe"), 4, "uninst1.exe exits with 4")
    check.true(any(is_main_program(w) for w in s.windows()), "Quillmark.exe still runs")
    check.equal(copies_left(s), [], "no copy of the uninstaller was made")
    check_prefix_unchanged(s, check, record, "after the install")


@journey("uninstall-twice")
def uninstall_twice_journey(s, check):
    code, _ = install_then_uninstall(s, check)
    check.equal(code, 0, "the first run exits with 0")
    # The uninstaller kept somewhere by the user, run once more.
    again = INSTALLER_FOLDER + "\\uninst1.exe"
    shutil.copy2(os.path.join(s.wine.payload, "uninst1.exe"), s.unix_path(again, create=False))
    record = prefix_record(s, "after-the-first-run")
    process = start_uninstaller(s, again)
    told = uninstaller_message(s, process, "the second run's message", "not-installed")
    check.equal(message_text(told), UNINSTALL_NOT_INSTALLED, "it says %r" % UNINSTALL_NOT_INSTALLED)
    s.key(told, "Return")
    check.equal(s.wait_exit(process, 60, "uninst1.exe"), 2, "the second run exits with 2")
    check.true(os.path.exists(s.unix_path(again)), "a run that found nothing keeps its file")
    check_prefix_unchanged(s, check, record, "after the first run")


def hold_open(s, windows_path):
    """A program of the journey's holds the file open, unshared, until the
    journey ends it; its process."""
    program = os.path.join(s.wine.build, "tests", "e2e", "hold_file", "hold_file.exe")
    process = s.start(s.windows_path(program), "hold_file", args=[windows_path])
    log_path = os.path.join(s.root, "hold_file.log")
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and process.poll() is None:
        with open(log_path) as f:
            if f.read().startswith("holding"):
                return process
        time.sleep(0.2)
    raise JourneyError("hold_file.exe did not take %s: see %s" % (windows_path, log_path))


@journey("uninstall-file-in-use")
def uninstall_file_in_use_journey(s, check):
    s.put_installer()
    record = prefix_record(s, "before")
    default_walk(s, check)
    close_main_program(s)
    command = uninstall_command(s)
    guide = default_folder(s) + "\\Guide1.rtf"
    holder = hold_open(s, guide)

    process = start_uninstaller(s, command)
    answer_yes(s, check, process)
    told = uninstaller_message(s, process, "the uninstaller's last message", "partly-removed")
    text = message_text(told)
    check.true(text.startswith("Quillmark 2003 could not be removed completely.") and
               UNINSTALL_REMOVED not in text, "it says that Quillmark 2003 was not removed")
    check.true(guide + " (in use by another program)" in text,
               "it names the document in use, and why")
    s.key(told, "Return")
    check.equal(s.wait_exit(process, 60, "uninst1.exe"), 1, "uninst1.exe exits with 1")
    folder = s.unix_path(default_folder(s))
    check.equal(sorted(os.listdir(folder)), ["Guide1.rtf", "Quillmark.exe"],
                "the document and the program stay, every other file is gone")
    check.true(os.path.exists(s.unix_path(command)), "the uninstaller stays")
    check.equal(uninstall_command(s), command, "so does its uninstall entry")
    check.equal(copies_left(s), [], "no copy of the uninstaller was made")

    # Once the document is let go, the uninstaller run again finishes.
    os.killpg(holder.pid, signal.SIGKILL)
    holder.wait(timeout=30)
    process = start_uninstaller(s, command)
    answer_yes(s, check, process)
    done = uninstaller_message(s, process, "the second run's last message", "removed")
    check.equal(message_text(done), UNINSTALL_REMOVED, "the second run says %r" % UNINSTALL_REMOVED)
    s.key(done, "Return")
    check.equal(s.wait_exit(process, 60, "uninst1.exe"), 0, "the second run exits with 0")
    wait_self_removed(s, check, s.unix_path(command))
    check_prefix_unchanged(s, check, record, "before the install")


# -------------------------------------------------------- the folder browser ---

BROWSER_TREE = 14145  # the browser's tree of folders (shell32's own id)


def is_folder_browser(w):
    """The shell's folder browser, found by its tree rather than by its
    title, which is in the user's language."""
    tree = w.control(BROWSER_TREE)
    return w.exe == "quil.exe" and tree is not None and tree["class"] == "SysTreeView32"


def browse_to(s, check, loc, folder):
    """"Change..." on the location dialog, then the tree: My Computer, C:,
    then each of `folder`'s names by its first letter (folders of distinct
    first letters), and a click on OK (Enter in Wine's tree does not press
    it). The tree fills an opened folder a moment after it opens, so typing
    waits for that."""
    loc = s.focus_to(loc, 1002, "Change...")
    s.key(loc, "space")
    browser = s.wait_for(is_folder_browser, "the folder browser")
    browser = s.focus_to(browser, BROWSER_TREE, "the tree of folders")
    s.key(browser, "m", "Right")
    time.sleep(1)
    s.key(browser, "Down", "Right")
    names = [n for n in folder.split("\\")[1:] if n]
    for i, name in enumerate(names):
        time.sleep(1)
        s.key(browser, name[0].lower())
        if i + 1 < len(names):
            s.key(browser, "Right")
    s.shot("browser")
    s.click(browser, 1)
    s.wait_gone(browser, "the folder browser")
    return s.refresh(loc)


def install_into_chosen(s, check, chosen):
    """"Change..." to `chosen` (made first), Install, Accept: the install
    goes into chosen\\Quillmark, exactly, and records it."""
    os.makedirs(s.unix_path(chosen, create=True), exist_ok=True)
    process = s.start_installer()
    loc = browse_to(s, check, location_up(s, process), chosen)
    target = chosen + "\\Quillmark"
    s.shot("location-changed")
    check.equal(loc.text(1000), target, "the folder chosen gets a Quillmark folder of its own")
    # Change... keeps the focus, and with it Enter: Install is pressed itself.
    s.click(loc, 1)
    s.wait_gone(loc, "the location dialog")
    agr = walk_agreement(s, check, process)
    s.key(agr, "Return")
    check.equal(s.wait_exit(process, 240), 0, "Quil.exe exits with 0")
    check_main_program_up(s, check)
    folder = s.unix_path(target)
    check.equal(sorted(n for _, kind, n, _, _ in payload_rows() if kind == "install"
                       and not os.path.isfile(os.path.join(folder, n))), [],
                "every file of the install folder is in %s" % target)
    check.equal(sorted(os.listdir(s.unix_path(chosen))), ["Quillmark"],
                "the chosen folder holds the Quillmark folder and nothing else")
    check.equal((s.reg_values(machine_key(s)) or {}).get("Path"), ("REG_SZ", target),
                "the install records that folder")


@journey("change-folder")
def change_folder_journey(s, check):
    install_into_chosen(s, check, "C:\\Kino Drehbücher à l'écran")


# ------------------------------------------------------ double-byte paths ---
# Under code page 932 the second byte of 表 is 0x5C, a backslash's: a path
# ending in it must keep its last character.

@journey("cp932-change-folder", in_guest=False)
@session_options(lambda wine: dict(locale=JAPANESE_CODE_PAGE))
def cp932_change_folder_journey(s, check):
    install_into_chosen(s, check, "C:\\Daihon 一覧表")


@journey("cp932-recorded-folder")
@session_options(lambda wine: dict(locale=JAPANESE))
def cp932_recorded_folder_journey(s, check):
    recorded = "C:\\Programme\\台本表"
    parent = s.unix_path("C:\\Programme", create=True)
    folders = shell_folders(s)
    s.reg_add(machine_key(s), "Path", "REG_SZ", recorded)
    process = s.start_installer()
    loc = location_up(s, process)
    check.equal(loc.text(1000), recorded, "the recorded folder ending in 表 is proposed as it is")
    s.key(loc, "Return")
    s.wait_gone(loc, "the location dialog")
    agr = walk_agreement(s, check, process)
    s.key(agr, "Return")
    check.equal(s.wait_exit(process, 240), 0, "Quil.exe exits with 0")
    check_main_program_up(s, check)
    check.equal(os.listdir(parent), ["台本表"], "C:\\Programme holds that folder and no other")
    folder = s.unix_path(recorded)
    check.equal(sorted(n for _, kind, n, _, _ in payload_rows() if kind == "install"
                       and not os.path.isfile(os.path.join(folder, n))), [],
                "every file of the install folder is in %s" % recorded)
    program = recorded + "\\Quillmark.exe"
    for key, name, want in ((machine_key(s), "Path", recorded),
                            (app_paths_key(s), "(Default)", program),
                            (app_paths_key(s), "Path", recorded),
                            (uninstall_key(s), "UninstallString", s.windir + "\\uninst1.exe")):
        check.equal((s.reg_values(key) or {}).get(name), ("REG_SZ", want),
                    "%s \"%s\"" % (key, name))
    check_link(s, check, folders["Start Menu"], "the Start menu", recorded)
    check_link(s, check, folders["Desktop"], "the desktop", recorded)
    close_main_program(s)
    process = start_uninstaller(s, uninstall_command(s))
    answer_yes(s, check, process, recorded)
    done = uninstaller_message(s, process, "the uninstaller's last message", "removed")
    check.equal(message_text(done), UNINSTALL_REMOVED, "it says %r" % UNINSTALL_REMOVED)
    s.key(done, "Return")
    check.equal(s.wait_exit(process, 60, "uninst1.exe"), 0, "uninst1.exe exits with 0")
    wait_self_removed(s, check, s.unix_path(s.windir + "\\uninst1.exe"))
    check.equal(os.listdir(parent), [], "the uninstaller removed the folder ending in 表")
    check.equal(s.reg_values(app_paths_key(s)), None, "and the App Paths entry")


# ------------------------------------------------------ 64-bit Windows ---
# The shipped 32-bit Quil.exe in a 64-bit prefix, as most users run it. The
# places are checked by name: these journeys pin the redirection of Wine's
# WoW64, which follows Windows' documented rules for 32-bit programs.

WOW64_FOLDER = "C:\\Program Files (x86)\\Quillmark"
WOW64_KEYS = {
    "Kestrel": "HKLM\\Software\\Wow6432Node\\Kestrel",
    "App Paths": "HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths"
                 "\\Quillmark.exe",
    "Uninstall": "HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
                 "\\Quillmark",
}


def on_64_bit_windows(wine):
    return dict(wine=wine.on_64_bit_windows())


def check_redirected_entries(s, check, folder):
    """The machine-wide entries, found under Wow6432Node and nowhere else."""
    for what, key, name, want in (("the machine key", WOW64_KEYS["Kestrel"], "Path", folder),
                                  ("App Paths", WOW64_KEYS["App Paths"], "(Default)",
                                   folder + "\\Quillmark.exe"),
                                  ("the uninstall entry", WOW64_KEYS["Uninstall"],
                                   "UninstallString", s.windir + "\\uninst1.exe")):
        values = s.reg_values(key) or {}
        check.equal(values.get(name, ("", ""))[1], want, "%s is in %s" % (what, key))
        # App Paths is one key in both views under Wine, so the 64-bit shell
        # finds the program too; the others are the 32-bit view's own.
        if what != "App Paths":
            native = key.replace("\\Wow6432Node", "")
            check.equal(s.reg_values(native), None, "and not in 64-bit Windows' own %s" % native)


@journey("wow64-default")
@session_options(on_64_bit_windows)
def wow64_default_journey(s, check):
    check.equal(default_folder(s), WOW64_FOLDER, "the proposal to look for is Program Files (x86)")
    default_journey(s, check)
    check.true(not os.path.exists(s.unix_path("C:\\Program Files\\Quillmark")),
               "nothing went into 64-bit Windows' own C:\\Program Files")
    check_redirected_entries(s, check, WOW64_FOLDER)


@journey("wow64-recorded-folder", in_guest=False)
@session_options(on_64_bit_windows)
def wow64_recorded_folder_journey(s, check):
    recorded = "C:\\Scripts\\Quillmark"
    folder = s.unix_path(recorded, create=True)
    shutil.copy2(s.wine.product("Quillmark.exe"), folder)
    s.reg_add(WOW64_KEYS["Kestrel"], "Path", "REG_SZ", recorded)
    process = s.start_installer()
    loc = location_up(s, process)
    check.equal(loc.text(1000), recorded, "the folder recorded under Wow6432Node is proposed")
    check.true(not loc.enabled(1002), "Change... is disabled: a previous install is there")
    s.key(loc, "Return")
    agr = walk_agreement(s, check, process)
    s.key(agr, "Return")
    check.equal(s.wait_exit(process, 240), 0, "Quil.exe exits with 0")
    check_main_program_up(s, check)
    check.true(all(os.path.isfile(os.path.join(folder, name)) for _, kind, name, _, _
                   in payload_rows() if kind == "install"),
               "the install folder's files are in %s" % recorded)
    check.true(not os.path.exists(s.unix_path(WOW64_FOLDER)), "nothing went to the default folder")
    check_redirected_entries(s, check, recorded)


@journey("wow64-install-uninstall", in_guest=False)
@session_options(on_64_bit_windows)
def wow64_install_uninstall_journey(s, check):
    install_uninstall_journey(s, check)


# ------------------------------------------------------ a downloaded copy ---

# Libraries named like the system's, as an attacker would leave them beside a
# downloaded program: those Quil.exe calls, and those the system loads on a
# program's behalf.
PLANTED = ("version", "lz32", "wininet", "comctl32", "uxtheme", "dwmapi", "cryptbase", "userenv",
           "setupapi", "apphelp", "propsys", "oleacc", "profapi", "msimg32", "winmm", "riched20",
           "secur32", "sspicli", "iertutil", "urlmon", "winhttp", "netapi32", "mpr", "crypt32",
           "wintrust", "dbghelp", "imm32", "usp10", "bcrypt", "dnsapi", "iphlpapi", "shfolder")
# Those the control must leave alone, so that the check of Quil.exe covers them.
CALLED = ("lz32", "wininet", "comctl32")
CONTROL_FOLDER = "C:\\control"


def plant(s, folder, names):
    target = s.unix_path(folder, create=True)
    for name in names:
        shutil.copy2(os.path.join(s.wine.build, "tests", "e2e", "planted", "planted.dll"),
                     os.path.join(target, name + ".dll"))


@contextlib.contextmanager
def native_first(s, names, marker):
    """Programs started meanwhile prefer a library beside them to Wine's own,
    as Windows does, for `names`; Wine's loader traces every library it maps,
    and a planted library that runs writes its path to `marker`."""
    saved = dict(s.env)
    s.env.update(WINEDEBUG="+loaddll", PLANTED_LOG=marker,
                 WINEDLLOVERRIDES=s.env["WINEDLLOVERRIDES"] + ";%s=n,b" % ",".join(sorted(names)))
    try:
        yield
    finally:
        s.env.clear()
        s.env.update(saved)


def mapped(s, log_name):
    """Every library file Wine's loader mapped for the programs of a log, as
    (Windows path, "native" or "builtin")."""
    with open(os.path.join(s.root, log_name + ".log"), encoding="latin-1") as f:
        return [(m.group(1).replace("\\\\", "\\"), m.group(2)) for m in
                re.finditer(r'loaddll:\w+ Loaded L"(.*?)" at \w+: (native|builtin)', f.read())]


def native_libraries(s, log_name):
    """The libraries of a log that Wine loaded from a file of their own rather
    than its builtin ones: here, only planted ones can be."""
    return sorted(path for path, kind in mapped(s, log_name)
                  if kind == "native" and path.lower().endswith(".dll"))


def wine_loads_for_control(s, check):
    """What Wine loads from beside a program that does everything right (the
    control): run again without what it took until it takes none."""
    shutil.copy2(os.path.join(s.wine.build, "tests", "e2e", "library_control",
                              "library_control.exe"), s.unix_path(CONTROL_FOLDER, create=True))
    wine_own = set()
    for round_ in range(1, 6):
        names = [n for n in PLANTED if n not in wine_own]
        plant(s, CONTROL_FOLDER, names)
        with native_first(s, names, CONTROL_FOLDER + "\\loaded.txt"):
            p = s.start(CONTROL_FOLDER + "\\library_control.exe", "control-%d" % round_)
            code = s.wait_exit(p, 120, "the control program")
        taken = {path.rsplit("\\", 1)[1].lower()[:-4]
                 for path in native_libraries(s, "control-%d" % round_)}
        log("  (the control, round %d, exit code %d, loaded from beside it: %s)"
            % (round_, code, ", ".join(sorted(taken)) or "nothing"))
        for name in taken:
            os.remove(os.path.join(s.unix_path(CONTROL_FOLDER), name + ".dll"))
        if not taken:
            check.equal(code, 0, "the control program ran to its end without them")
            break
        wine_own |= taken
    check.true(not taken, "the control settles on what Wine itself loads: %s"
               % ", ".join(sorted(wine_own)))
    check.equal(sorted(wine_own & set(CALLED)), [],
                "Wine itself loads none of %s from beside a program" % ", ".join(CALLED))
    return wine_own


@journey("planted-libraries")
def planted_libraries_journey(s, check):
    wine_own = wine_loads_for_control(s, check)
    names = [n for n in PLANTED if n not in wine_own]
    code, out = s.run("cmd", "/c", "echo %TEMP%")
    temp = out.strip()
    check.true(code == 0 and re.match(r"^[A-Za-z]:\\", temp), "the user's TEMP is %s" % temp)
    for folder in (INSTALLER_FOLDER, temp):
        plant(s, folder, names)
    log("  (%d libraries left beside Quil.exe and in %s: %s)"
        % (len(names), temp, ", ".join(names)))
    marker = "C:\\planted-loaded.txt"
    with native_first(s, names, marker):
        code, _ = install_then_uninstall(s, check)
    check.equal(code, 0, "the install and the uninstall complete")
    loads = mapped(s, "quil")
    check.true((INSTALLER_FOLDER + "\\Quil.exe", "native") in loads,
               "Wine's loader trace follows Quil.exe")
    # (WININET is loaded only to report a crash: the crash journeys go there.)
    check.true((s.windir + "\\system32\\lz32.dll").lower() in
               [path.lower() for path, _ in loads], "Quil.exe loads LZ32 from the system folder")
    check.true(any(re.match(re.escape(s.windir.lower()) + r"\\winsxs\\.*common-controls.*"
                            r"\\comctl32\.dll$", path.lower()) for path, _ in loads),
               "and the common controls 6 that its manifest names")
    check.equal(native_libraries(s, "quil"), [],
                "Quil.exe loads none of the libraries left beside it")
    copies = [p for p, kind in mapped(s, "uninst1")
              if p.lower().startswith(temp.lower() + "\\uninst1") and kind == "native"]
    check.equal(len(copies), 1, "the trace follows the uninstaller's copy in TEMP too")
    check.equal(native_libraries(s, "uninst1"), [],
                "the uninstaller and its copy in TEMP load none of the libraries left there")
    check.true(not os.path.exists(s.unix_path(marker)), "no planted library ran")


def flip_in_resource(data, resources, rid):
    """Quil.exe's bytes with one bit changed in the middle of resource `rid`."""
    offset, blob = resources[rid]
    damaged = bytearray(data)
    damaged[offset + len(blob) // 2] ^= 0x01
    return bytes(damaged)


@journey("damaged-copy")
def damaged_copy_journey(s, check):
    with open(s.wine.quil, "rb") as f:
        data = f.read()
    resources = Pe(data).resources("FILE")
    rows = payload_rows()
    raw = next(rid for rid, _, _, storage, _ in rows if storage == "raw")
    packed = next(rid for rid, _, name, storage, _ in rows
                  if storage == "packed" and not name.endswith(".exe"))
    damages = [(raw, "a raw row"), (packed, "a packed row"), (106, "the main program"),
               (119, "the uninstaller")]
    before = {key: s.reg_values(key) for key in ("HKCU\\Software\\Kestrel", machine_key(s))}
    for rid, what in damages:
        process = s.start_installer(flip_in_resource(data, resources, rid))
        notice = s.wait_for(is_notice("80"), "the notice of a damaged file (%s)" % what,
                            process=process, instead=[is_location_dialog])
        s.shot("damaged-%d" % rid)
        check.equal(message_text(notice), DAMAGED_NOTICE,
                    "a copy with a byte changed in %s (%d) says it is damaged" % (what, rid))
        check.equal([w for w in s.windows() if w.exe == "quil.exe" and w.hwnd != notice.hwnd],
                    [], "nothing but the notice is up")
        s.key(notice, "Return")
        check.equal(s.wait_exit(process, 60), 0, "the damaged copy exits with 0")
    check_nothing_installed(s, check, folder_exists=False)
    check.equal({key: s.reg_values(key) for key in before}, before,
                "the damaged copies wrote nothing to the registry")
    check.equal(s.reg_values(REPORT_KEY), None, "and recorded no crash")
    default_walk(s, check)
    check_main_program_up(s, check)


# ------------------------------------------------------------------ runner ---

def check_program_that_ran(s, check):
    """The probe reads, from inside Wine, which build of Quil.exe made the
    windows that the journey saw, so that a stand-in never passes for the
    program we ship."""
    if not s.installer_started:
        return
    check.equal(sorted(s.quil_machines), [s.wine.machine],
                "the Quil.exe that ran is the %s program" % s.wine.machine)


def run_journey(name, wine, work):
    fn, _ = JOURNEYS[name]
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
        for name, (_, in_guest) in JOURNEYS.items():
            print(name + ("" if in_guest else " native"))
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

