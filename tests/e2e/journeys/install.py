"""The default install and the ways out of it: Cancel, Escape, Decline;
the registry entries an install makes; the platform facts that winsim
copies, checked against Wine itself."""

import filecmp
import os
import shutil

from wine.session import INSTALLER_FOLDER
from journeys.runner import journey
from journeys.walks import (app_paths_key, check_main_program_up, check_nothing_installed,
                            default_folder, default_walk, JAPANESE_CODE_PAGE, location_up,
                            machine_key, no_leftovers, payload_rows, SETTINGS_KEY, uninstall_key,
                            walk_agreement, walk_location)


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


@journey("platform-facts")
def platform_facts_journey(s, check):
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
