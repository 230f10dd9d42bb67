#!/usr/bin/env python3
"""Writes the build's record of Quil.exe's "FILE" resources, which the
program checks itself against at start-up (installer/self_check.h): for each
FILE line of the configured resource script, in its order, the id, the size
and the CRC-32 of the file it names, computed here with zlib's CRC-32.

    resource_digests.py QUIL_RC OUT_CPP"""

import re
import sys
import zlib


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    script, out = argv
    lines = []
    with open(script) as f:
        for number, line in enumerate(f, 1):
            # Every line that declares a FILE resource, however it is
            # written, must be one this reads: a line skipped here would be
            # a resource the program never checks.
            if not re.match(r'^\s*\S+\s+"?FILE\b', line):
                continue
            found = re.match(r'^(\d+) FILE "([^"]+)"\s*$', line)
            if not found:
                sys.exit('resource_digests: %s:%d: not of the form ID FILE "PATH": %r'
                         % (script, number, line.rstrip("\n")))
            lines.append(found.groups())
    if not lines:
        sys.exit("resource_digests: %s names no FILE resource" % script)
    rows = []
    for rid, path in lines:
        with open(path, "rb") as f:
            data = f.read()
        rows.append("    {%s, %d, 0x%08Xu}," % (rid, len(data), zlib.crc32(data)))
    text = ("// Made by resources/resource_digests.py from the resource script: id, size\n"
            "// and CRC-32 of every FILE resource, as the build put it in Quil.exe.\n"
            '#include "installer/self_check.h"\n\n'
            "const ResourceDigest kResourceDigests[] = {\n%s\n};\n"
            "const int kResourceDigestCount = %d;\n" % ("\n".join(rows), len(rows)))
    with open(out, "w") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
