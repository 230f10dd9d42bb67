"""The shortcuts: Start menu, desktop and Quick Launch, read back with
Debian's lnkinfo."""

import os
import re
import subprocess

from checks import JourneyError, log
from wine.probe import is_main_program
from journeys.runner import journey
from journeys.walks import (check_main_program_up, close_main_program, default_folder,
                            default_walk, files_below)


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
