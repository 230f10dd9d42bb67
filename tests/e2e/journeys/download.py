"""A downloaded copy: libraries planted beside it, or bytes damaged on the
way."""

import contextlib
import os
import re
import shutil

from checks import log
from pe import Pe
from wine.probe import is_location_dialog, is_notice
from wine.session import INSTALLER_FOLDER
from journeys.crash import REPORT_KEY
from journeys.runner import journey
from journeys.uninstall import install_then_uninstall
from journeys.walks import (check_main_program_up, check_nothing_installed, default_walk,
                            machine_key, message_text, payload_rows)


DAMAGED_NOTICE = "Quil.exe installer file is damaged.  Please download it again."


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
        code = install_then_uninstall(s, check)
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
