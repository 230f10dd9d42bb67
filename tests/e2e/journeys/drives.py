"""Drives that cannot hold the program: removable, network, CD-ROM."""

import os

from wine.probe import is_agreement_dialog, is_location_dialog, is_notice, is_notice_other_than
from journeys.runner import journey
from journeys.walks import default_folder, machine_key


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
