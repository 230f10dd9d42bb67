#!/usr/bin/env python3
"""The payload manifest, resources/payload.tsv: every file Quil.exe carries.

As a module, it is the one reader of the manifest (`rows()`), of the
resource script's FILE lines (`script_files()`) and of a packed file
(`expanded()`), for the build checks and the journeys. As a command, it makes what the builds need:

    payload.py table OUT_H OUT_CPP    the installer's payload table
    payload.py rc PAYLOAD PACKED OUT  the resource script's FILE lines, the
                                      raw files from PAYLOAD, packed from PACKED
    payload.py cmake OUT              the files by source, for the build rules
"""

import collections
import os
import re
import subprocess
import sys
import tempfile

MANIFEST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "payload.tsv")
COLUMNS = ("id", "folder", "name", "storage", "read-only", "source")
FOLDERS = ("main", "install", "windows", "uninstaller")

Row = collections.namedtuple("Row", "id folder name storage read_only source")


class ManifestError(Exception):
    pass


def rows(path=MANIFEST):
    """Every row, in the manifest's order; the main program's first."""
    found = []
    with open(path, encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f if line.strip() and not line.startswith("#")]
    if not lines or tuple(lines[0].split("\t")) != COLUMNS:
        raise ManifestError("%s: the first line must name the columns %s" % (path, COLUMNS))
    for number, line in enumerate(lines[1:], 2):
        fields = line.split("\t")
        if len(fields) != len(COLUMNS):
            raise ManifestError("%s: row %d has %d fields" % (path, number, len(fields)))
        rid, folder, name, storage, read_only, source = fields
        if (not rid.isdigit() or not 0 < int(rid) < 65536 or folder not in FOLDERS
                or storage not in ("raw", "packed") or read_only not in ("yes", "no")
                or not re.match(r"^[A-Za-z0-9._-]+$", name)
                or not (source == "generated" or source.startswith("program ")
                        or source.startswith("resources/"))):
            raise ManifestError("%s: row %d is not a row of the manifest: %r" % (path, number, line))
        found.append(Row(int(rid), folder, name, storage, read_only == "yes", source))
    ids = [r.id for r in found]
    names = [r.name.lower() for r in found]
    if len(set(ids)) != len(ids) or len(set(names)) != len(names):
        raise ManifestError("%s: an id or a name comes twice" % path)
    if [r.folder for r in found].count("main") != 1 or found[0].folder != "main":
        raise ManifestError("%s: the main program's row comes first, and once" % path)
    if [r.folder for r in found][-1] != "uninstaller" or \
            [r.folder for r in found].count("uninstaller") != 1:
        raise ManifestError("%s: the uninstaller's row comes last, and once" % path)
    return found


def table_rows(path=MANIFEST):
    """The installer's payload table: every row but the main program's."""
    return rows(path)[1:]


def agreement(path=MANIFEST):
    """The row of the agreement text, which the agreement dialog shows."""
    found = [r for r in rows(path) if r.name == "agreement.txt"]
    if len(found) != 1:
        raise ManifestError("%s: no row names agreement.txt" % path)
    return found[0]


def script_files(script):
    """(id, path) of every FILE line of a resource script, as `rc` writes them."""
    found = []
    with open(script) as f:
        for line in f:
            if re.match(r"^[0-9]+ FILE ", line):
                rid, _, path = line.rstrip("\n").split(" ", 2)
                found.append((int(rid), path.replace('"', "")))
    return found


def expanded(data):
    """A packed file's bytes as Debian's msexpand expands them (a reader of
    SZDD that shares nothing with our packer), or None when it cannot."""
    with tempfile.TemporaryFile() as packed:
        packed.write(data)
        packed.seek(0)
        out = subprocess.run(["msexpand"], stdin=packed, capture_output=True)
    return out.stdout if out.returncode == 0 else None


CPP_FOLDERS = {"install": "kInstallFolder", "windows": "kWindowsDirectory",
               "uninstaller": "kUninstallerFolder"}


def write_table(header, source):
    table = table_rows()
    with open(header, "w") as f:
        f.write("// Made by resources/payload.py from resources/payload.tsv.\n"
                "#pragma once\n\n"
                "const int kPayloadRows = %d;\n"
                "const WORD kMainProgramResource = %d;\n"
                "const WORD kAgreementResource = %d;\n"
                % (len(table), rows()[0].id, agreement().id))
    with open(source, "w") as f:
        f.write("// Made by resources/payload.py from resources/payload.tsv: the rows in\n"
                "// the order of writing.\n"
                '#include "core/payload.h"\n\n'
                "const PayloadEntry kPayloadTable[kPayloadRows] = {\n")
        for r in table:
            f.write('    {%d, %s, "%s", %s, %s},\n'
                    % (r.id, CPP_FOLDERS[r.folder], r.name,
                       "kCompressed" if r.storage == "packed" else "kRaw",
                       "true" if r.read_only else "false"))
        f.write("};\n")


def write_rc(payload, packed, out):
    with open(out, "w") as f:
        for r in rows():
            folder = packed if r.storage == "packed" else payload
            f.write('%d FILE "%s/%s"\n' % (r.id, folder, r.name))


def write_cmake(out):
    """CMake lists: every file's name, the packed ones, the generated ones,
    and pairs of (source, name) of those copied from this tree and (target,
    name) of the programs the build makes."""
    every = rows()
    lists = collections.OrderedDict(
        PAYLOAD_FILES=[r.name for r in every],
        PAYLOAD_PACKED=[r.name for r in every if r.storage == "packed"],
        PAYLOAD_GENERATED=[r.name for r in every if r.source == "generated"],
        PAYLOAD_COPIED=[x for r in every if r.source.startswith("resources/")
                        for x in (r.source, r.name)],
        PAYLOAD_PROGRAMS=[x for r in every if r.source.startswith("program ")
                          for x in (r.source.split(" ", 1)[1], r.name)])
    with open(out, "w") as f:
        f.write("# Made by resources/payload.py from resources/payload.tsv.\n")
        for name, values in lists.items():
            f.write("set(%s %s)\n" % (name, " ".join(values)))


def main(argv):
    try:
        if argv[:1] == ["table"] and len(argv) == 3:
            write_table(argv[1], argv[2])
        elif argv[:1] == ["rc"] and len(argv) == 4:
            write_rc(argv[1], argv[2], argv[3])
        elif argv[:1] == ["cmake"] and len(argv) == 2:
            write_cmake(argv[1])
        else:
            sys.exit(__doc__)
    except ManifestError as e:
        sys.exit("payload.py: %s" % e)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
