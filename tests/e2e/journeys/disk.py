"""An install on a nearly full disk, and its repair once space is freed."""

import ctypes
import filecmp
import os
import subprocess

from checks import JourneyError, log
from wine.probe import is_main_program
from journeys.runner import journey
from journeys.walks import (check_main_program_up, location_up, machine_key, no_leftovers,
                            payload_rows, walk_agreement)


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
