"""What most journeys share: where the installer puts things, and the walk
through its dialogs that a user takes."""

import os
import time

import payload as manifest
from checks import JourneyError, log
from wine.probe import is_agreement_dialog, is_location_dialog, is_main_program, is_progress_dialog


SETTINGS_KEY = "HKCU\\Software\\Kestrel\\Quillmark\\Settings"


NOTICE_5 = ("A more recent version of Quillmark already exists at the install location.  "
            "Installation aborted.")


# Code page 932 with Wine's own texts in English (the folder browser is then
# walked by names it shows), and the whole Japanese locale.
JAPANESE_CODE_PAGE = {"LANG": "ja_JP.UTF-8", "LC_MESSAGES": "C"}
JAPANESE = {"LANG": "ja_JP.UTF-8"}


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


def payload_rows():
    """The installer's payload table, from the payload manifest: (resource
    id, folder, name, storage, read-only) of every row; folder is install,
    windows or uninstaller, storage raw or packed."""
    return [(r.id, r.folder, r.name, r.storage, r.read_only) for r in manifest.table_rows()]


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


def message_text(w):
    """What a message box says: its longest text (the others are buttons)."""
    return max(w.texts(), key=len, default="")


def files_below(top, suffix=""):
    found = set()
    for root, _, files in os.walk(top):
        found |= {os.path.join(root, n) for n in files if n.lower().endswith(suffix)}
    return found
