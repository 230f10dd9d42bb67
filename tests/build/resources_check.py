#!/usr/bin/env python3
"""Reads the resources of the built Quil.exe straight from its PE file and
holds them to the system's own values: the dialog templates (styles, font,
size, every control's id, class, style, position and text), the icon's two
images, the manifest, the language of every resource, the bytes of every
"FILE" resource against the payload file it carries, and the record of those
resources that the program checks itself against (read at the addresses
that the linker's map beside it gives) against the resources themselves.

The expected values are written here from the system's constants, not read
from the resource script, so that a wrong flag in the script, a resource
compiler that adds or drops one, or a build that embeds the wrong file all
show up.

Usage: resources_check.py QUIL_EXE PAYLOAD_DIR SOURCE_DIR
"""

import os
import re
import struct
import sys
import xml.etree.ElementTree as ET
import zlib

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path[:0] = [os.path.join(SOURCE, d) for d in ("resources", "tools", "tests/e2e")]
import payload as manifest  # noqa: E402
from checks import Checks  # noqa: E402
from pe import Pe, map_addresses  # noqa: E402

# Window, dialog and control styles, as the SDK defines them.
WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_BORDER, WS_VSCROLL, WS_GROUP, WS_TABSTOP = 0x00800000, 0x00200000, 0x00020000, 0x00010000
DS_MODALFRAME, DS_SETFONT, DS_CENTER = 0x80, 0x40, 0x800
BS_PUSHBUTTON, BS_DEFPUSHBUTTON = 0x0, 0x1
ES_MULTILINE, ES_AUTOHSCROLL, ES_READONLY = 0x4, 0x80, 0x800
SS_LEFT, SS_CENTER, SS_ICON, SS_CENTERIMAGE, SS_REALSIZEIMAGE = 0x0, 0x1, 0x3, 0x200, 0x800
BUTTON, EDIT, STATIC = 0x80, 0x81, 0x82  # the predefined class atoms
CHILD = WS_CHILD | WS_VISIBLE
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_MANIFEST = 3, 5, 14, 24
LANG_EN_US = 1033

# (id, class atom, text or resource ordinal, (x, y, cx, cy), style)
DIALOGS = {
    101: dict(style=WS_POPUP | DS_CENTER | DS_MODALFRAME | DS_SETFONT, size=(262, 90), controls=[
        (1, BUTTON, "Install", (75, 69, 51, 14), CHILD | BS_DEFPUSHBUTTON | WS_TABSTOP),
        (2, BUTTON, "Cancel", (131, 69, 51, 14), CHILD | BS_PUSHBUTTON | WS_TABSTOP),
        (1000, EDIT, "", (40, 42, 171, 12),
         CHILD | ES_READONLY | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP),
        (1002, BUTTON, "Change...", (216, 41, 39, 14), CHILD | BS_PUSHBUTTON | WS_TABSTOP),
        (-1, STATIC, 103, (14, 14, 20, 20), CHILD | SS_ICON | SS_REALSIZEIMAGE),
        (-1, STATIC, "This program will install Quillmark to your computer at the location "
                     "shown below.", (39, 11, 180, 23), CHILD | SS_LEFT | WS_GROUP),
    ]),
    103: dict(style=WS_POPUP | WS_VISIBLE | DS_CENTER | DS_MODALFRAME | DS_SETFONT,
              size=(130, 34), controls=[
        (-1, STATIC, "A moment please...", (7, 7, 116, 19),
         CHILD | SS_CENTER | SS_CENTERIMAGE | WS_GROUP),
    ]),
    158: dict(style=WS_POPUP | DS_MODALFRAME | DS_CENTER | DS_SETFONT, size=(284, 202), controls=[
        (1, BUTTON, "Accept", (113, 166, 60, 14), CHILD | BS_DEFPUSHBUTTON | WS_TABSTOP),
        (2, BUTTON, "Decline", (113, 183, 60, 14), CHILD | BS_PUSHBUTTON | WS_TABSTOP),
        (1000, EDIT, "", (7, 9, 270, 152), CHILD | ES_MULTILINE | WS_BORDER | WS_VSCROLL | WS_TABSTOP),
        (-1, STATIC, 'Click and drag the "scroll thumb" to view the entire contract.',
         (183, 165, 88, 34), CHILD | SS_LEFT | WS_GROUP),
    ]),
}

# --------------------------------------------------------- dialog templates ---

def sz_or_ord(data, pos):
    """A name or an ordinal in a dialog template; (value, next position)."""
    (first,) = struct.unpack_from("<H", data, pos)
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
    end = pos
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def parse_dialog(data):
    style, exstyle, count, x, y, cx, cy = struct.unpack_from("<IIHhhhh", data, 0)
    menu, pos = sz_or_ord(data, 18)
    wclass, pos = sz_or_ord(data, pos)
    title, pos = sz_or_ord(data, pos)
    font = None
    if style & DS_SETFONT:
        (points,) = struct.unpack_from("<H", data, pos)
        face, pos = sz_or_ord(data, pos + 2)
        font = (points, face)
    controls = []
    for _ in range(count):
        pos = (pos + 3) & ~3
        cstyle, cexstyle, x, y, w, h, cid = struct.unpack_from("<IIhhhhH", data, pos)
        cls, pos = sz_or_ord(data, pos + 18)
        text, pos = sz_or_ord(data, pos)
        (extra,) = struct.unpack_from("<H", data, pos)
        pos += 2 + extra
        controls.append(dict(id=struct.unpack("<h", struct.pack("<H", cid))[0], cls=cls, text=text,
                             rect=(x, y, w, h), style=cstyle, exstyle=cexstyle))
    return dict(style=style, exstyle=exstyle, size=(cx, cy), menu=menu, cls=wclass, title=title,
                font=font, controls=controls)


def check_dialogs(check, resources):
    for number, want in DIALOGS.items():
        entries = resources.get((RT_DIALOG, number))
        if not entries:
            check.fail("dialog template %d is in Quil.exe" % number)
            continue
        d = parse_dialog(entries[0][1])
        name = "dialog %d" % number
        check.equal(hex(d["style"]), hex(want["style"]), name + " style")
        check.equal(d["exstyle"], 0, name + " extended style")
        check.equal(d["size"], want["size"], name + " size in dialog units")
        check.equal((d["menu"], d["cls"], d["title"]), ("", "", ""),
                    name + " has no menu, class or title")
        check.equal(d["font"], (8, "MS Sans Serif"), name + " font")
        check.equal(len(d["controls"]), len(want["controls"]), name + " control count")
        for i, (cid, cls, text, rect, style) in enumerate(want["controls"]):
            if i >= len(d["controls"]):
                break
            c = d["controls"][i]
            label = "%s control %d (%d)" % (name, i + 1, cid)
            check.equal(c["id"], cid, label + " id")
            check.equal(c["cls"], cls, label + " class")
            check.equal(c["text"], text, label + " text")
            check.equal(c["rect"], rect, label + " position and size")
            check.equal(hex(c["style"]), hex(style), label + " style")
            check.equal(c["exstyle"], 0, label + " extended style")


def check_dialog_controls(check, resources, source):
    """The control lists of resources/resource_ids.h, which the simulated
    system is given for each template, are those the built program carries."""
    with open(os.path.join(source, "resources", "resource_ids.h")) as f:
        header = f.read()
    numbers = dict((name, int(value)) for name, value in
                   re.findall(r"^#define (\w+) (\d+)$", header, re.M))
    numbers.update(IDOK=1, IDCANCEL=2)
    for name, items in re.findall(r"^#define (IDD_\w+)_CONTROLS \{([^}]*)\}$", header, re.M):
        want = [numbers.get(i.strip(), None) if not i.strip().lstrip("-").isdigit()
                else int(i.strip()) for i in items.split(",")]
        entries = resources.get((RT_DIALOG, numbers[name]))
        got = [c["id"] for c in parse_dialog(entries[0][1])["controls"]] if entries else None
        check.equal(got, want, "the controls of %s in resource_ids.h are the template's" % name)


# ---------------------------------------------------------------- the icon ---

def check_icon(check, resources):
    group = resources.get((RT_GROUP_ICON, 103))
    if not group:
        check.fail("icon group 103 is in Quil.exe")
        return
    data = group[0][1]
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    check.equal((reserved, kind, count), (0, 1, 2), "icon 103 is an icon group of two images")
    sizes = []
    for i in range(count):
        w, h, colours, _, planes, bits, size, image = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        images = resources.get((RT_ICON, image))
        check.true(images is not None, "icon image %d is in Quil.exe" % image)
        if not images:
            continue
        bitmap = images[0][1]
        header, bw, bh, bplanes, bbits = struct.unpack_from("<IiiHH", bitmap, 0)
        check.equal(len(bitmap), size, "icon image %d's size matches its directory entry" % image)
        check.equal((header, bw, bh, bplanes, bbits), (40, w, 2 * h, 1, 4),
                    "icon image %d is a %d x %d bitmap of 16 colours" % (image, w, h))
        check.equal(colours, 16, "icon image %d's directory entry says 16 colours" % image)
        sizes.append((w, h))
    check.equal(sorted(sizes), [(16, 16), (32, 32)],
                "icon 103 holds a 32 x 32 and a 16 x 16 image")


# ------------------------------------------------------------ the manifest ---

def check_manifest(check, resources, machine):
    entries = resources.get((RT_MANIFEST, 1))
    if not entries:
        check.fail("manifest (type 24, id 1) is in Quil.exe")
        return
    ns = {"a": "urn:schemas-microsoft-com:asm.v1"}
    root = ET.fromstring(entries[0][1])
    own = root.find("a:assemblyIdentity", ns)
    check.equal(dict(own.attrib) if own is not None else None,
                {"name": "Quil", "version": "1.0.0.0", "processorArchitecture": machine,
                 "type": "win32"},
                "the manifest names the installer's own assembly")
    desc = root.find("a:description", ns)
    check.equal(desc.text if desc is not None else None,
                "An application that uses the themed ctls.", "the manifest's description")
    deps = root.findall("a:dependency/a:dependentAssembly/a:assemblyIdentity", ns)
    check.equal([(d.get("name"), d.get("version"), d.get("processorArchitecture"),
                  d.get("language"), d.get("type")) for d in deps],
                [("Microsoft.Windows.Common-Controls", "6.0.0.0", machine, "*", "win32")],
                "the manifest depends on the common controls 6.0.0.0")


# ------------------------------------------------------------ the payload ---

def check_payload(check, resources, payload):
    rows = [(r.id, r.name, r.storage) for r in manifest.rows()]
    check.equal(len(rows), 39, "the payload manifest names 39 resources")
    files = {name for (rtype, name) in resources if rtype == "FILE"}
    check.equal(sorted(files), sorted(i for i, _, _ in rows),
                "Quil.exe carries exactly those FILE ids")
    for rid, name, storage in rows:
        entries = resources.get(("FILE", rid))
        if not entries:
            continue
        with open(os.path.join(payload, name), "rb") as f:
            want = f.read()
        data = entries[0][1]
        if storage == "raw":
            check.true(data == want, "FILE %d is %s as it is" % (rid, name))
        else:
            check.true(data.startswith(b"SZDD\x88\xf0\x27\x33A")
                       and manifest.expanded(data) == want,
                       "FILE %d is %s, SZDD-packed" % (rid, name))


# ------------------------------------------------ the self-check's record ---

def check_self_record(check, pe, resources, exe):
    """The record compiled into the program (id, size and CRC-32 of each
    FILE resource, as installer/self_check.h lays it out) is the program's
    FILE resources, one for one."""
    linker_map = os.path.splitext(exe)[0] + ".map"
    symbols = {name: [a - pe.image_base for a in map_addresses(linker_map, name)]
               for name in ("kResourceDigestCount", "kResourceDigests")}
    if not check.equal([len(at) for at in symbols.values()], [1, 1],
                       "the linker's map places the self-check's record"):
        return
    symbols = {name: at[0] for name, at in symbols.items()}
    count = struct.unpack_from("<i", pe.data, pe.offset(symbols["kResourceDigestCount"]))[0]
    at = pe.offset(symbols["kResourceDigests"])
    record = sorted(struct.unpack_from("<H2xII", pe.data, at + 12 * i) for i in range(count))
    carried = sorted((rid, len(entries[0][1]), zlib.crc32(entries[0][1]))
                     for (rtype, rid), entries in resources.items() if rtype == "FILE")
    check.equal(record, carried, "the self-check's record names every FILE resource once, "
                "with its size and CRC-32")


def main(argv):
    exe, payload, source = argv[1:4]
    with open(exe, "rb") as f:
        pe = Pe(f.read())
    resources = {key: [(lang, data) for lang, _, data in entries]
                 for key, entries in pe.resource_tree().items()}
    machine = {0x14C: "x86", 0x8664: "amd64"}.get(pe.machine)
    check = Checks()
    check_dialogs(check, resources)
    check_icon(check, resources)
    check_manifest(check, resources, machine)
    check_payload(check, resources, payload)
    check_self_record(check, pe, resources, exe)
    check_dialog_controls(check, resources, source)
    for (rtype, name), entries in sorted(resources.items(), key=str):
        check.equal([lang for lang, _ in entries], [LANG_EN_US],
                    "resource %s/%s carries one language, English (United States)" % (rtype, name))
    return check.summary()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
