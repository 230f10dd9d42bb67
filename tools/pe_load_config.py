#!/usr/bin/env python3
"""Points a linked program's PE header at its load configuration.

    pe_load_config.py EXE MAP

GNU ld 2.40 links the structure `_load_config_used` (core/
load_config.cpp) into the program but leaves the load configuration's data
directory empty. This reads the structure's address from the linker's map,
checks that it holds what the program means to say there (its size, and
DependentLoadFlags keeping the imports' own libraries to the system folder),
sets the directory, and writes the header's checksum again. Anything else
found there stops the build."""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe import LOAD_CONFIG, Pe, PeError, checksum, map_addresses  # noqa: E402

LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
# The size up to the table of safe exception handlers, which is left out.
SIZE = {False: 64, True: 96}


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    exe, map_file = argv
    found = map_addresses(map_file, "_load_config_used")
    if len(found) != 1:
        sys.exit("pe_load_config: %s names _load_config_used %d times" % (map_file, len(found)))
    with open(exe, "rb") as f:
        data = bytearray(f.read())
    try:
        pe = Pe(bytes(data))
        rva = found[0] - pe.image_base
        at = pe.offset(rva)
    except PeError as e:
        sys.exit("pe_load_config: %s: %s" % (exe, e))
    size = struct.unpack_from("<I", data, at)[0]
    flags = struct.unpack_from("<H", data, at + (78 if pe.plus else 54))[0]
    if size != SIZE[pe.plus] or flags != LOAD_LIBRARY_SEARCH_SYSTEM32:
        sys.exit("pe_load_config: %s: the structure at 0x%x has size %d and flags 0x%x"
                 % (exe, rva, size, flags))
    if pe.directory_count <= LOAD_CONFIG:
        sys.exit("pe_load_config: %s has no load configuration directory" % exe)
    if pe.directory(LOAD_CONFIG) not in ((0, 0), (rva, size)):
        sys.exit("pe_load_config: %s: its load configuration is elsewhere" % exe)
    struct.pack_into("<II", data, pe.directories + 8 * LOAD_CONFIG, rva, size)
    struct.pack_into("<I", data, pe.checksum_at, checksum(data, pe.checksum_at))
    with open(exe, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
