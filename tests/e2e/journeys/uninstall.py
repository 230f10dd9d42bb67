"""The uninstaller that the install leaves, run as Add/Remove Programs runs
it."""

import os
import re
import shutil
import signal
import time

from checks import JourneyError, log
from wine.probe import is_main_program
from wine.session import INSTALLER_FOLDER
from journeys.records import check_prefix_unchanged, prefix_record
from journeys.runner import journey
from journeys.walks import (check_main_program_up, close_main_program, default_folder,
                            default_walk, files_below, message_text, SETTINGS_KEY, uninstall_key)


# The uninstaller that the install leaves, run as Add/Remove Programs runs it:
# the command of the uninstall entry's "UninstallString".

UNINSTALL_CAPTION = "Quillmark 2003 Uninstall"
UNINSTALL_QUESTION = "Do you want to remove Quillmark 2003 from your computer?"
UNINSTALL_REMOVED = "Quillmark 2003 was removed from your computer."
UNINSTALL_RUNNING = "Quillmark 2003 is running."
UNINSTALL_NOT_INSTALLED = "Quillmark 2003 is not installed on this computer. Nothing was changed."
IDYES, IDNO = 6, 7

def is_uninstall_message(w):
    return w.title == UNINSTALL_CAPTION and w.exe.startswith("uninst1")


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


def answered_yes(s, check, command, what, shot, folder=None):
    """The uninstaller started from `command`, its question answered: it
    names the install folder (the default one unless given), Yes has the
    focus; Enter. Its process and its next message, `what`."""
    process = start_uninstaller(s, command)
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
    return process, uninstaller_message(s, process, what, shot)


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
    return removed_whole(s, check, command)


def removed_whole(s, check, command, folder=None, run="the uninstaller", says="it"):
    """A run of the uninstaller that says it removed the install, answered;
    its exit code, once its own file and its copy are gone."""
    process, done = answered_yes(s, check, command, run + "'s last message", "removed", folder)
    check.equal(message_text(done), UNINSTALL_REMOVED, "%s says %r" % (says, UNINSTALL_REMOVED))
    s.key(done, "Return")
    code = s.wait_exit(process, 60, "uninst1.exe")
    wait_self_removed(s, check, s.unix_path(command))
    return code


@journey("install-uninstall")
def install_uninstall_journey(s, check):
    s.put_installer()  # the journey's own doing, before the record
    record = prefix_record(s, "before")
    code = install_then_uninstall(s, check, record)
    check.equal(code, 0, "uninst1.exe exits with 0 after a full removal")
    check_prefix_unchanged(s, check, record, "before the install")


@journey("uninstall-user-file")
def uninstall_user_file_journey(s, check):
    default_walk(s, check)
    close_main_program(s)
    folder = s.unix_path(default_folder(s))
    with open(os.path.join(folder, "My notes.txt"), "w") as f:
        f.write("INT. KITCHEN - NIGHT\n")
    process, done = answered_yes(s, check, uninstall_command(s), "the uninstaller's last message",
                                 "removed-kept")
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
    process, refused = answered_yes(s, check, uninstall_command(s), "the refusal", "running")
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
    code = install_then_uninstall(s, check)
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

    process, told = answered_yes(s, check, command, "the uninstaller's last message",
                                 "partly-removed")
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
    check.equal(removed_whole(s, check, command, run="the second run", says="the second run"), 0,
                "the second run exits with 0")
    check_prefix_unchanged(s, check, record, "before the install")
