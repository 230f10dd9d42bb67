"""Records of a journey's prefix: every folder and file under drive_c with a
hash of each (the digests of Wine's own files kept beside the template), and
every key and value of the registry as the Wine server saves it."""

import hashlib
import json
import os
import re

from checks import JourneyError, log


def _saved_key_entries(path, root):
    """Every key and value of a key saved whole by the Wine server (its own
    registry format, relative to `root`), one string each. The keys' times
    are left out: a key's time changes when it is written to, even with what
    it already held. A saved file names only the keys that hold values or no
    subkeys; every key above them is there too and is added."""
    with open(path, "rb") as f:
        text = f.read().decode("latin-1")
    entries = set()
    key = None
    pending = ""
    for raw in text.splitlines():
        # A long value goes on over indented lines, each but the last ending
        # in a backslash.
        line = pending + (raw.strip() if pending else raw)
        if line.endswith("\\"):
            pending = line[:-1]
            continue
        pending = ""
        m = re.match(r"^\[(.*)\] \d+$", line)
        if m:
            # Names are escaped: "\\" between names, "\[" for a bracket.
            name = re.sub(r"\\(.)", r"\1", m.group(1))
            key = root + "\\" + name if name else root
            entries.add(key)
            above = key
            while above != root:
                above = above.rsplit("\\", 1)[0]
                entries.add(above)
        elif key is not None and line and not line.startswith("#time="):
            entries.add(key + " | " + line)
    return entries


def prefix_record(s, name):
    """Every folder and file under drive_c (with a hash of each file), and
    every key and value of HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE\\Software
    but for volatile keys, which the Wine server does not save."""
    with s.spent.on("prefix record"):
        return _drive_c_entries(s) | _registry_entries(s, name)


def _drive_c_entries(s):
    # Wine's own files, which a journey's copy links from the template, are
    # 600 MB: hashing them took most of a minute in the virtual machine. So
    # their digests are kept beside the template, and one is reused only for
    # the same file (device and inode) unchanged in size and modification
    # time; a file written to is hashed again.
    digests_path = s.template.digests
    try:
        with open(digests_path) as f:
            digests = json.load(f)
    except (OSError, ValueError):
        digests = {}
    known = len(digests)
    drive_c = os.path.join(s.prefix, "drive_c")
    entries = set()
    for root, dirs, files in os.walk(drive_c):
        for d in dirs:
            entries.add("folder " + os.path.relpath(os.path.join(root, d), drive_c))
        for f in files:
            path = os.path.join(root, f)
            rel = os.path.relpath(path, drive_c)
            if os.path.islink(path):
                entries.add("link %s -> %s" % (rel, os.readlink(path)))
                continue
            st = os.stat(path)
            same = "%d:%d:%d:%d" % (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
            linked = st.st_nlink > 1
            digest = digests.get(same) if linked else None
            if digest is None:
                h = hashlib.sha1()
                with open(path, "rb") as fh:
                    for chunk in iter(lambda: fh.read(1 << 20), b""):
                        h.update(chunk)
                digest = h.hexdigest()
                if linked:
                    digests[same] = digest
            entries.add("file %s %s" % (rel, digest))
    if len(digests) > known:
        with open(digests_path + ".new", "w") as f:
            json.dump(digests, f)
        os.replace(digests_path + ".new", digests_path)
    return entries


def _registry_entries(s, name):
    # The Wine server saves each key whole, in one request: an export through
    # reg.exe asks for every key and value apart, which took a minute of each
    # record in the virtual machine.
    saved = [("HKEY_CURRENT_USER", os.path.join(s.root, "hkcu-%s.reg" % name)),
             ("HKEY_LOCAL_MACHINE\\Software", os.path.join(s.root, "hklm-%s.reg" % name))]
    program = os.path.join(s.wine.build, "tests", "e2e", "reg_dump", "reg_dump.exe")
    code, text = s.run(*[s.windows_path(p) for p in [program] + [out for _, out in saved]])
    if code != 0 or not all(os.path.exists(out) for _, out in saved):
        raise JourneyError("reg_dump.exe could not save the registry: %s" % text.strip())
    entries = set()
    for root, out in saved:
        entries |= _saved_key_entries(out, root)
    return {"reg " + e for e in entries}


def check_prefix_unchanged(s, check, record, what):
    """The prefix equals `record`. (What Wine keeps for a running session,
    such as "Temporary System Parameters", is in volatile keys: not saved,
    so not recorded.)"""
    now = prefix_record(s, what.replace(" ", "-"))
    added = sorted(now - record)
    lost = sorted(record - now)
    for e in added[:40]:
        log("  added:   %s" % e[:200])
    for e in lost[:40]:
        log("  missing: %s" % e[:200])
    check.equal((len(added), len(lost)), (0, 0), "the prefix is as it was %s" % what)
