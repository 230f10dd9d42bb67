"""The shipped 32-bit Quil.exe in a 64-bit prefix, as most users run it."""

import os
import shutil

from journeys.install import default_journey
from journeys.runner import journey, session_options
from journeys.uninstall import install_uninstall_journey
from journeys.walks import (check_main_program_up, default_folder, location_up, payload_rows,
                            walk_agreement)


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


# The first journey of a journeys folder on the 64-bit prefix boots it: the
# only one of them in the virtual machine takes three journeys' time there.
@journey("wow64-default", weight=3)
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
