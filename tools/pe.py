"""Reads a PE file the way the Windows loader does: its headers, sections,
data directories, imports, resources and load configuration. Used by the
build (tools/pe_load_config.py) and by the checks of the built programs.
Python's standard library only."""

import re
import struct


class PeError(Exception):
    pass


# Data directories, by index.
IMPORT, RESOURCE, LOAD_CONFIG = 1, 2, 10
RT_VERSION = 16


class Pe:
    def __init__(self, data):
        if data[:2] != b"MZ":
            raise PeError("not an MZ executable")
        self.data = data
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise PeError("no PE header")
        self.machine = struct.unpack_from("<H", data, self.pe + 4)[0]
        count, optional_size = struct.unpack_from("<H12xH", data, self.pe + 6)
        self.optional = self.pe + 24
        self.plus = struct.unpack_from("<H", data, self.optional)[0] == 0x20B
        self.image_base = (struct.unpack_from("<Q", data, self.optional + 24)[0] if self.plus
                           else struct.unpack_from("<I", data, self.optional + 28)[0])
        self.checksum_at = self.optional + 64
        self.directories = self.optional + (112 if self.plus else 96)
        self.directory_count = struct.unpack_from("<I", data, self.directories - 4)[0]
        # (name, RVA, virtual size, raw size, file offset) of each section.
        self.section_table = []
        for i in range(count):
            at = self.optional + optional_size + 40 * i
            name, vsize, va, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, at)
            self.section_table.append((name.rstrip(b"\0").decode("latin-1"), va, vsize, raw_size,
                                       raw_ptr))
        self.sections = [(name, va, max(vsize, raw_size), raw_ptr)
                         for name, va, vsize, raw_size, raw_ptr in self.section_table]

    def directory(self, index):
        """(RVA, size) of a data directory; (0, 0) when it is absent."""
        if index >= self.directory_count:
            return 0, 0
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def offset(self, rva):
        for _, va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise PeError("address 0x%x is in no section" % rva)

    def string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        """The names of the libraries the loader loads with the program."""
        rva, _ = self.directory(IMPORT)
        names = []
        while rva:
            lookup, _, _, name, first_thunk = struct.unpack_from("<IIIII", self.data,
                                                                 self.offset(rva))
            if not (lookup or name or first_thunk):
                break
            names.append(self.string(name))
            rva += 20
        return names

    def resource_tree(self):
        """{(type, name): [(language, file offset, bytes)]} of every resource,
        each language in the file's order; types and names are numbers or
        upper-case strings."""
        rva, _ = self.directory(RESOURCE)
        if rva == 0:
            return {}
        base = self.offset(rva)

        def entries(table):
            named, ids = struct.unpack_from("<HH", self.data, base + table + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + table + 16 + 8 * i)
                if name & 0x80000000:
                    at = base + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, at)[0]
                    name = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le").upper()
                yield name, target & 0x7FFFFFFF

        found = {}
        for kind, names in entries(0):
            for name, languages in entries(names):
                for language, leaf in entries(languages):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    if start + size > len(self.data):
                        raise PeError("resource %s runs past the end of the file" % name)
                    found.setdefault((kind, name), []).append(
                        (language, start, self.data[start:start + size]))
        return found

    def resources(self, type_wanted):
        """{name: (file offset, bytes)} of the first language of every
        resource of one type (a number, or a name such as "FILE")."""
        wanted = str(type_wanted).upper()
        return {name: (start, data) for (kind, name), ((_, start, data), *_)
                in self.resource_tree().items() if str(kind) == wanted}

    def load_config(self):
        """(Size, DependentLoadFlags) of the load configuration, or None."""
        rva, size = self.directory(LOAD_CONFIG)
        if rva == 0:
            return None
        at = self.offset(rva)
        flags_at = 78 if self.plus else 54
        return (struct.unpack_from("<I", self.data, at)[0],
                struct.unpack_from("<H", self.data, at + flags_at)[0])


def checksum(data, checksum_at):
    """The PE checksum of `data`, its own field counted as zero."""
    data = bytearray(data[:checksum_at]) + b"\0\0\0\0" + data[checksum_at + 4:]
    if len(data) % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def version_strings(block):
    """{name: text} of the string tables of a VS_VERSIONINFO resource."""
    found = {}

    def walk(at, end, depth):
        while at + 6 <= end:
            length, value_length, kind = struct.unpack_from("<HHH", block, at)
            if length == 0:
                break
            key_end = at + 6
            while struct.unpack_from("<H", block, key_end)[0] != 0:
                key_end += 2
            key = block[at + 6:key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            if depth == 3 and kind == 1:
                text = block[value:value + 2 * value_length].decode("utf-16-le")
                found[key] = text.rstrip("\0")
            elif depth < 3:
                children = value + (value_length if kind == 0 else 2 * value_length)
                walk((children + 3) & ~3, at + length, depth + 1)
            at = (at + length + 3) & ~3

    # VS_VERSIONINFO, StringFileInfo, a table per language, its strings.
    length = struct.unpack_from("<H", block, 0)[0]
    walk(0, length, 0)
    return found


def map_addresses(map_file, symbol):
    """The addresses (as linked, image base included) at which a GNU ld map
    places `symbol`, with or without the leading underscore of 32-bit names."""
    with open(map_file) as f:
        return [int(a, 16) for a in re.findall(r"^\s+0x([0-9a-fA-F]+)\s+_?%s\s*$" % re.escape(symbol),
                                               f.read(), re.M)]
