#!/usr/bin/env python3
"""Holds the built Quil.exe and the uninst1.exe it carries to what a program
run from a download folder (or, for the uninstaller's copy, from TEMP) must
be, read straight from their PE files:

- its import table names only Windows' known DLLs, which the loader takes
  from the system folder whatever lies beside the program; every other
  library is delay-loaded after the search is restricted;
- its load configuration asks for the libraries its imports need to come
  from the system folder too (DependentLoadFlags);
- its version record names the maker and the product, and holds none of the
  words that make Windows' installer detection ask to elevate a program;
- its manifest asks Windows for an execution level, so that it is never a
  "legacy" program whose writes are redirected into the VirtualStore: the
  highest rights the user has for Quil.exe and its uninstaller, the rights of
  whoever starts it for every other program carried and for the manifest
  installed beside the main program; none asks for uiAccess.

Usage: program_check.py QUIL_EXE PAYLOAD_FOLDER
"""

import os
import sys
import xml.etree.ElementTree as ET

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path[:0] = [os.path.join(SOURCE, d) for d in ("tools", "tests/e2e", "resources")]
import payload  # noqa: E402
from checks import Checks  # noqa: E402
from pe import RT_VERSION, Pe, version_strings  # noqa: E402

# Known DLLs of every Windows from XP to 11 (the values under HKLM\System\
# CurrentControlSet\Control\Session Manager\KnownDLLs, as Microsoft's
# "Dynamic-Link Library Search Order" and "Dynamic-Link Library Security"
# describe them), as far as these programs import them. VERSION, LZ32 and
# WININET were known DLLs on XP but are not since Vista, COMCTL32 never was;
# OLE32 is one, but is loaded by name when the shortcuts are made, never with
# the program.
KNOWN_DLLS = {"advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "shell32.dll",
              "user32.dll"}
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
# Words that Windows' installer detection looks for in the version texts of a
# program whose manifest requests no execution level.
ELEVATING_WORDS = ("install", "setup", "update", "patch")

def check_program(check, path, name, description):
    with open(path, "rb") as f:
        pe = Pe(f.read())
    imports = pe.imports()
    check.true(imports != [], "%s's import table can be read" % name)
    for dll in imports:
        check.true(dll.lower() in KNOWN_DLLS, "%s imports %s, a known DLL" % (name, dll))
    size = 96 if pe.plus else 64
    check.true(pe.load_config() == (size, LOAD_LIBRARY_SEARCH_SYSTEM32),
               "%s's load configuration (size %d) keeps its imports' libraries to the system "
               "folder: %r" % (name, size, pe.load_config()))
    versions = pe.resources(RT_VERSION)
    check.true(len(versions) == 1, "%s carries one version record" % name)
    if len(versions) != 1:
        return
    texts = version_strings(next(iter(versions.values()))[1])
    for field, want in (("CompanyName", "Kestrel"), ("ProductName", "Quillmark 2003"),
                        ("FileDescription", description), ("FileVersion", "1.0.0.0"),
                        ("ProductVersion", "1.0.0.0"), ("OriginalFilename", name)):
        check.true(texts.get(field) == want,
                   "%s's %s is %r: %r" % (name, field, want, texts.get(field)))
    for field, text in texts.items():
        for word in ELEVATING_WORDS:
            check.true(word not in text.lower(),
                       "%s's %s (%r) does not say %r" % (name, field, text, word))


RT_MANIFEST = 24


def check_level(check, text, name, level):
    """The one execution level a manifest requests, whichever trustInfo
    namespace it is written in."""
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        check.fail("%s's manifest is XML: %s" % (name, e))
        return
    found = [e.attrib for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
    check.equal(found, [{"level": level, "uiAccess": "false"}],
                "%s's manifest requests %s, without uiAccess" % (name, level))


def check_manifest(check, path, name, level):
    with open(path, "rb") as f:
        manifests = Pe(f.read()).resources(RT_MANIFEST)
    check.equal(sorted(manifests), [1], "%s carries one manifest, id 1" % name)
    if 1 in manifests:
        check_level(check, manifests[1][1], name, level)


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    quil, folder = argv
    check = Checks()
    check_program(check, quil, "Quil.exe", "Quillmark 2003 self-extracting package")
    check_program(check, os.path.join(folder, "uninst1.exe"), "uninst1.exe",
                  "Quillmark 2003 removal program")
    check_manifest(check, quil, "Quil.exe", "highestAvailable")
    programs = 0
    for row in payload.rows():
        path = os.path.join(folder, row.name)
        level = "highestAvailable" if row.folder == "uninstaller" else "asInvoker"
        if row.name.lower().endswith(".exe"):
            programs += 1
            check_manifest(check, path, row.name, level)
        elif row.name.lower().endswith(".manifest"):
            with open(path, "rb") as f:
                check_level(check, f.read(), row.name, level)
    check.true(programs >= 2, "the carried programs are checked, the main program's and the "
               "uninstaller's among them: %d" % programs)
    return check.summary()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
