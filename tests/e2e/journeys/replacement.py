"""An install over a main program already there: running, newer, read-only,
or an earlier install of the same."""

import filecmp
import os

from wine.probe import (is_agreement_dialog, is_location_dialog, is_main_program, is_notice,
                        is_notice_other_than)
from journeys.runner import journey
from journeys.walks import (check_main_program_up, close_main_program, default_folder,
                            default_walk, no_leftovers, NOTICE_5, payload_rows, place_main_program,
                            walk_agreement, walk_location)


NOTICE_4 = ("Unable to overwrite existing quillmark.exe file; installation aborted.  If your "
            "existing copy of Quillmark is running, please shut it down and try again.  "
            "Otherwise, rebooting your computer should take care of the problem.")


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
