#!/usr/bin/env python3
"""Writes the resources of one type from a PE file, read the way the loader
finds them (the resource data directory, its three-level tree, the sections
that map its addresses), into a folder: one file per resource, named by its
id (the first language of each).

    pe_resources.py EXE TYPE OUTDIR     TYPE: a name such as FILE, or a number

Also reports whether the file carries a certificate table (an Authenticode
signature) on its last line of output: "signed" or "unsigned".
"""
import os
import struct
import sys


class PeError(Exception):
    pass


def sections(data, pe):
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    first = pe + 24 + optional_size
    out = []
    for i in range(count):
        _, vsize, va, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, first + 40 * i)
        out.append((va, max(vsize, raw_size), raw_ptr))
    return out


def data_directory(data, pe, index):
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    start = pe + 24 + (96 if magic == 0x10B else 112)
    count = struct.unpack_from("<I", data, start - 4)[0]
    if index >= count:
        return 0, 0
    return struct.unpack_from("<II", data, start + 8 * index)


def file_offset(secs, rva):
    for va, size, raw_ptr in secs:
        if va <= rva < va + size:
            return raw_ptr + rva - va
    raise PeError("address 0x%x is in no section" % rva)


def entries(data, base, table):
    named, ids = struct.unpack_from("<HH", data, base + table + 12)
    for i in range(named + ids):
        name, target = struct.unpack_from("<II", data, base + table + 16 + 8 * i)
        if name & 0x80000000:
            at = base + (name & 0x7FFFFFFF)
            length = struct.unpack_from("<H", data, at)[0]
            name = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
        yield name, target


def resources(data, type_wanted):
    """{id: bytes} of every resource of the type."""
    if data[:2] != b"MZ":
        raise PeError("not an MZ executable")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise PeError("no PE header")
    secs = sections(data, pe)
    rva, _ = data_directory(data, pe, 2)
    if rva == 0:
        return {}
    base = file_offset(secs, rva)
    found = {}
    for kind, target in entries(data, base, 0):
        if str(kind).upper() != str(type_wanted).upper():
            continue
        for rid, names in entries(data, base, target & 0x7FFFFFFF):
            languages = list(entries(data, base, names & 0x7FFFFFFF))
            leaf = base + languages[0][1]
            data_rva, size = struct.unpack_from("<II", data, leaf)
            start = file_offset(secs, data_rva)
            if start + size > len(data):
                raise PeError("resource %s runs past the end of the file" % rid)
            found[rid] = data[start:start + size]
    return found


def signed(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    offset, size = data_directory(data, pe, 4)
    return size > 0 and offset + size <= len(data)


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: pe_resources.py EXE TYPE OUTDIR")
    exe, kind, outdir = argv
    with open(exe, "rb") as f:
        data = f.read()
    try:
        found = resources(data, int(kind) if kind.isdigit() else kind)
    except (PeError, struct.error) as e:
        sys.exit("pe_resources: %s: %s" % (exe, e))
    os.makedirs(outdir, exist_ok=True)
    for rid, blob in found.items():
        with open(os.path.join(outdir, str(rid)), "wb") as f:
            f.write(blob)
    print("%d %s resources" % (len(found), kind))
    print("signed" if signed(data) else "unsigned")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
