#!/usr/bin/env python3
"""Writes the symbol map of Quil.exe that quil-reports names crash addresses
with: the build number, the preferred image base, the code range and every
function's start, as offsets in the image (RVA), with its demangled name.

Quil.exe ships stripped. The names come from a second link of the very same
objects without -s; its code is held to Quil.exe's byte for byte first, so
that a name in the map is a name of the code that ships.

    symbol_map.py --nm NM --program Quil.exe --unstripped Quil-unstripped.exe
                  --build 37 --out symbols/quil-037.map

The map is written to a new file and renamed into place, so the service never
reads half of one. Python's standard library and binutils' nm.
"""

import argparse
import hashlib
import os
import subprocess
import sys

from pe import Pe


def code_section(path):
    """(image base, RVA, size, bytes) of the program's .text."""
    with open(path, "rb") as f:
        pe = Pe(f.read())
    for name, rva, vsize, raw_size, raw_ptr in pe.section_table:
        if name == ".text":
            return pe.image_base, rva, vsize, pe.data[raw_ptr:raw_ptr + min(vsize, raw_size)]
    raise SystemExit("%s has no .text section" % path)


def functions(nm, path, base, start, end):
    """RVA -> name of every function symbol in [start, end); a global name
    wins over a local one at the same address, and section symbols are no
    names."""
    out = subprocess.run([nm, "-C", "--defined-only", path], check=True, capture_output=True,
                         text=True).stdout
    found = {}
    for line in out.splitlines():
        parts = line.split(" ", 2)
        if len(parts) != 3 or parts[1] not in ("t", "T") or parts[2].startswith("."):
            continue
        rva = int(parts[0], 16) - base
        if not start <= rva < end:
            continue
        if rva not in found or (parts[1] == "T" and found[rva][0] == "t"):
            found[rva] = (parts[1], parts[2])
    return {rva: name for rva, (_, name) in found.items()}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nm", required=True)
    parser.add_argument("--program", required=True, help="the shipped, stripped program")
    parser.add_argument("--unstripped", required=True, help="the same objects linked without -s")
    parser.add_argument("--build", type=int, required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args(argv)

    base, rva, size, code = code_section(args.program)
    other_base, other_rva, other_size, other_code = code_section(args.unstripped)
    if (base, rva, size, code) != (other_base, other_rva, other_size, other_code):
        raise SystemExit("symbol_map.py: the code of %s differs from that of %s: its names "
                         "would not be Quil.exe's" % (args.unstripped, args.program))
    names = functions(args.nm, args.unstripped, base, rva, rva + size)
    if rva not in names:
        raise SystemExit("symbol_map.py: no function starts the code at RVA 0x%X" % rva)
    with open(args.program, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()

    lines = ["# The functions of %s, build %03d, for quil-reports: RVA and name."
             % (os.path.basename(args.program), args.build),
             "quil-symbols 1",
             "build %d" % args.build,
             "program %s sha256 %s" % (os.path.basename(args.program), digest),
             "image-base %08X" % base,
             "code %08X %08X" % (rva, rva + size)]
    lines += ["%08X %s" % (at, names[at]) for at in sorted(names)]
    lines.append("end")
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    temporary = args.out + ".new"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(temporary, args.out)
    print("symbol map: %s, %d functions, code RVA %08X-%08X" % (args.out, len(names), rva,
                                                                rva + size))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
