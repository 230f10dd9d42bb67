#!/usr/bin/env python3
"""Checks the built Quil.exe and its payload: a 32-bit GUI program carrying
every payload file, each packed row expanding back byte for byte to the file
it was packed from, and every "FILE" resource read back out of Quil.exe the
same bytes as the file the resource script names. Its imports are
program_check.py's to hold.

Usage: form_check.py QUIL_EXE PAYLOAD_DIR PACKED_DIR RESOURCE_SCRIPT
"""

import os
import struct
import subprocess
import sys

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path[:0] = [os.path.join(SOURCE, d) for d in ("resources", "tools", "tests/e2e")]
import payload as manifest  # noqa: E402
from checks import Checks  # noqa: E402
from pe import Pe, PeError  # noqa: E402


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    exe, payload, packed, script = argv
    check = Checks()
    # `file`, a reader that shares nothing with ours, names the program's kind.
    kind = subprocess.run(["file", "-b", exe], capture_output=True, text=True).stdout
    check.true(kind.startswith("PE32 executable (GUI) Intel 80386"), "PE32 GUI program")
    for name in sorted(os.listdir(packed)):
        check.true(manifest.expanded(read(os.path.join(packed, name))) ==
                   read(os.path.join(payload, name)), "%s expands to its source" % name)
    try:
        resources = Pe(read(exe)).resources("FILE")
    except (OSError, PeError, ValueError, struct.error) as e:
        print(e)
        resources = None
    check.true(resources is not None, "the FILE resources can be read")
    files = manifest.script_files(script)
    check.true(len(resources or {}) == len(files),
               "Quil.exe carries the %d FILE resources of its script" % len(files))
    for rid, path in files:
        found = (resources or {}).get(rid)
        check.true(found is not None and os.path.isfile(path) and found[1] == read(path),
                   "FILE %d is %s as built" % (rid, os.path.basename(path)))
    return check.summary()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
