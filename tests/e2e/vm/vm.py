#!/usr/bin/env python3
"""A virtual machine for the journeys where this kernel cannot run 32-bit
programs: QEMU boots Debian's own amd64 kernel (which can), with the host's
root shared read-only over virtio-9p, so the 32-bit Wine installed here runs
there unchanged.

    vm.py where [--quiet]        prints "guest" when the journeys must run in
                                 a guest, "here" when this kernel runs them
                                 (and why, on standard error)
    vm.py initramfs --share DIR  builds the guest's initramfs into DIR/vm
    vm.py run --share DIR [--name N] [--cwd DIR] [--timeout S] -- COMMAND...
                                 runs COMMAND in a guest, as root, with this
                                 environment; its output and exit code come
                                 back, and the guest ends whatever happens.
                                 Guests of different names (each with its
                                 records in DIR/vm/N) may run at once.

DIR is shared writable and appears in the guest at the same path (the build
folder: the journeys' prefixes, screenshots and CTest's records go there); so
does this source tree, read-only.
The guest keeps /tmp, /var/tmp and /run in memory, empty: COMMAND's folder
must lie elsewhere, or inside DIR or the source tree. KVM is used where the
processor has hardware virtualisation and /dev/kvm opens, software emulation
(TCG) otherwise.

Environment:
    QUIL_E2E_VM=1      the journeys run in a guest even where this kernel
                       could run them itself
    QUIL_VM_ACCEL      kvm or tcg, in place of the choice above
"""

import argparse
import ctypes
import fcntl
import gzip
import hashlib
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The source tree, shared read-only at its own path: the job's scripts are here.
SOURCE = os.path.realpath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.dirname(HERE))
from wine.machine import WINE32, win32_obstacle  # noqa: E402

INIT = os.path.join(HERE, "init")
BUSYBOX = "/bin/busybox"
MODULES = ("virtio_pci", "9pnet_virtio", "9p", "overlay")
QEMU = "qemu-system-x86_64"

# Paths go to the guest on the kernel's command line, which splits at blanks.
SIMPLE_PATH = re.compile(r"^/[A-Za-z0-9._+/-]*$")

# Not carried into the guest: the host's display and session, and the wish
# for a guest itself (inside, the journeys run where they are).
HOST_ONLY = {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR",
             "DBUS_SESSION_BUS_ADDRESS", "HOME", "PWD", "OLDPWD", "SHLVL", "_", "TMPDIR",
             "QUIL_E2E_VM", "QUIL_VM_ACCEL", "TERM"}


def log(text):
    print("vm: " + text, file=sys.stderr, flush=True)


class VmError(Exception):
    pass


# ------------------------------------------------------------ the decision ---

def reason_for_guest():
    """Why the journeys must run in a guest, or None when they run here."""
    if os.environ.get("QUIL_E2E_VM") == "1":
        return "asked for with QUIL_E2E_VM=1"
    if not os.access(WINE32, os.X_OK):
        raise VmError("32-bit Wine is not installed (scripts/setup.sh installs it)")
    return win32_obstacle()


# ----------------------------------------------------------------- kernel ---

def _version_key(version):
    return [int(p) if p.isdigit() else p for p in re.split(r"[.-]", version)]


def guest_kernel():
    """(version, image) of the newest Debian amd64 kernel whose 9p modules
    are installed."""
    found = []
    for name in os.listdir("/boot"):
        m = re.match(r"^vmlinuz-(.+-amd64)$", name)
        if m and os.path.isfile("/lib/modules/%s/kernel/fs/9p/9p.ko" % m.group(1)):
            found.append(m.group(1))
    if not found:
        raise VmError("no amd64 kernel with 9p modules in /boot (package linux-image-amd64; "
                      "scripts/setup.sh installs it where it is needed)")
    version = max(found, key=_version_key)
    return version, "/boot/vmlinuz-" + version


def module_order(version):
    """The module files to load, dependencies first, each once."""
    out = subprocess.run(["modprobe", "-S", version, "--show-depends", "-a"] + list(MODULES),
                         capture_output=True, text=True, check=True).stdout
    order = []
    for line in out.splitlines():
        words = line.split()
        if len(words) >= 2 and words[0] == "insmod" and words[1] not in order:
            order.append(words[1])
    if not order:
        raise VmError("modprobe named no modules for %s" % ", ".join(MODULES))
    return order


def build_initramfs(share):
    """The guest's initramfs (busybox, the init script, the modules), built
    into SHARE/vm when its inputs changed; its path and the kernel's."""
    version, image = guest_kernel()
    modules = module_order(version)
    folder = os.path.join(share, "vm")
    os.makedirs(folder, exist_ok=True)
    # Two guests may start at once; one builds, the other then finds it built.
    with open(os.path.join(folder, "initramfs.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        return _build_initramfs(folder, version, image, modules)


def _build_initramfs(folder, version, image, modules):
    digest = hashlib.sha256()
    for path in [INIT, BUSYBOX] + modules:
        with open(path, "rb") as f:
            digest.update(path.encode() + b"\0" + hashlib.sha256(f.read()).digest())
    target = os.path.join(folder, "initramfs-%s.cpio.gz" % version)
    stamp = target + ".sha256"
    if os.path.exists(target) and os.path.exists(stamp):
        with open(stamp) as f:
            if f.read().strip() == digest.hexdigest():
                return target, image

    staging = os.path.join(folder, "initramfs")
    shutil.rmtree(staging, ignore_errors=True)
    for sub in ("bin", "modules"):
        os.makedirs(os.path.join(staging, sub))
    shutil.copy2(BUSYBOX, os.path.join(staging, "bin", "busybox"))
    shutil.copy2(INIT, os.path.join(staging, "init"))
    os.chmod(os.path.join(staging, "init"), 0o755)
    names = []
    for path in modules:
        names.append(os.path.basename(path))
        shutil.copy2(path, os.path.join(staging, "modules", names[-1]))
    with open(os.path.join(staging, "modules.order"), "w") as f:
        f.write("\n".join(names) + "\n")
    listing = subprocess.run(["find", "."], cwd=staging, capture_output=True, check=True).stdout
    archive = subprocess.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"],
                             cwd=staging, input=listing, capture_output=True, check=True).stdout
    with gzip.open(target + ".new", "wb", compresslevel=6) as f:
        f.write(archive)
    os.replace(target + ".new", target)
    with open(stamp, "w") as f:
        f.write(digest.hexdigest() + "\n")
    shutil.rmtree(staging)
    log("built %s (%d KiB) for kernel %s" % (target, os.path.getsize(target) // 1024, version))
    return target, image


# ------------------------------------------------------------------ QEMU ---

def kvm_usable():
    """Whether KVM can boot Debian's kernel here: /dev/kvm opens and the
    processor has hardware virtualisation. A /dev/kvm served by PVM (module
    kvm_pvm, on processors without vmx or svm) runs only kernels built for
    PVM; Debian's hangs in it before its first message."""
    try:
        os.close(os.open("/dev/kvm", os.O_RDWR | os.O_CLOEXEC))
        with open("/proc/cpuinfo") as f:
            flags = next((line.split(":", 1)[1].split() for line in f
                          if line.startswith("flags")), [])
    except OSError:
        return False
    return "vmx" in flags or "svm" in flags


def accelerator():
    """(name, QEMU arguments) of the accelerator to use."""
    asked = os.environ.get("QUIL_VM_ACCEL", "")
    if asked not in ("", "kvm", "tcg"):
        raise VmError("QUIL_VM_ACCEL must be kvm or tcg, not %r" % asked)
    if asked == "kvm" or (asked == "" and kvm_usable()):
        return "kvm", ["-accel", "kvm", "-cpu", "host"]
    # SMAP must be off: QEMU 7.2's emulation of it faults the 32-bit iret on
    # Wine's signal-return path, and every 32-bit Wine process dies with 137.
    # One host thread runs both processors in turn: with a thread each, on
    # two host cores that other work shares, a Wine program took two to three
    # times as long (a processor spins for the other's answer to a TLB flush
    # while that one's thread waits for a core).
    return "tcg", ["-accel", "tcg,thread=single", "-cpu", "max,smap=off"]


def qemu_command(accel_args, image, initramfs, source, share, run):
    return ([QEMU] + accel_args +
            ["-smp", "2", "-m", "6G", "-nographic", "-no-reboot", "-vga", "none", "-nic", "none",
             "-kernel", image, "-initrd", initramfs,
             "-append", "console=ttyS0 panic=-1 quiet tsc=reliable mitigations=off "
                       "quil.source=%s quil.share=%s quil.run=%s" % (source, share, run),
             # The root holds several file systems; remap keeps their inode
             # numbers apart in the guest.
             "-virtfs", "local,path=/,mount_tag=hostroot,security_model=passthrough,"
                        "readonly=on,multidevs=remap",
             "-virtfs", "local,path=%s,mount_tag=source,security_model=passthrough,"
                        "readonly=on,multidevs=remap" % source,
             "-virtfs", "local,path=%s,mount_tag=work,security_model=passthrough,"
                        "multidevs=remap" % share])


def _die_with_parent():
    # Should this script be killed outright, QEMU goes with it.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def job_script(command, cwd, environ):
    lines = ["# written by vm.py: the job that the guest runs"]
    for key, value in sorted(environ.items()):
        if key not in HOST_ONLY and re.match(r"^[A-Za-z_][A-Za-z0-9_]*$", key):
            lines.append("export %s=%s" % (key, shlex.quote(value)))
    lines += ["export HOME=/root", "cd %s" % shlex.quote(cwd),
              "exec " + " ".join(shlex.quote(a) for a in command)]
    return "\n".join(lines) + "\n"


class _Stopped(Exception):
    pass


def _stop(signum, _frame):
    raise _Stopped(signum)


def _tail(path, offset):
    """Copies what was added to `path` since `offset` to standard output."""
    try:
        with open(path, "rb") as f:
            f.seek(offset)
            data = f.read()
    except FileNotFoundError:
        return offset
    if data:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    return offset + len(data)


def _console_tail(path, lines=40):
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return "(no console output)"
    return "\n".join(text.replace("\r", "").splitlines()[-lines:])


def _end(qemu):
    if qemu.poll() is None:
        qemu.terminate()
        try:
            qemu.wait(timeout=15)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()


def run_in_guest(share, command, cwd, timeout, name="run"):
    """Runs `command` in a guest; its exit code (124 on time-out, 125 when the
    guest ended without one, 128 + N when stopped by signal N)."""
    share = os.path.realpath(share)
    cwd = os.path.realpath(cwd)
    for path in (SOURCE, share):
        if not SIMPLE_PATH.match(path) or path == "/":
            raise VmError("a shared folder's path must be below / and have no blanks or odd "
                          "characters: %s" % path)
    if (SOURCE + "/").startswith(share + "/"):
        raise VmError("the source tree %s cannot lie inside the shared folder" % SOURCE)
    if (re.match(r"^/(tmp|var/tmp|run)(/|$)", cwd) and
            not any((cwd + "/").startswith(p + "/") for p in (SOURCE, share))):
        raise VmError("the guest keeps %s empty: run from another folder" % cwd)
    if shutil.which(QEMU) is None:
        raise VmError("%s is not installed (package qemu-system-x86; scripts/setup.sh "
                      "installs it where it is needed)" % QEMU)
    initramfs, image = build_initramfs(share)
    folder = os.path.join(share, "vm")
    lock = open(os.path.join(folder, name + ".lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        raise VmError("another guest named %s is using %s" % (name, share))
    run = os.path.join(folder, name)
    shutil.rmtree(run, ignore_errors=True)
    os.makedirs(run)
    with open(os.path.join(run, "job.sh"), "w") as f:
        f.write(job_script(command, cwd, os.environ))
    console = os.path.join(run, "console.log")
    output = os.path.join(run, "output")

    name, accel_args = accelerator()
    log("booting a %s guest (kernel %s) to run: %s"
        % (name, os.path.basename(image), " ".join(command)))
    old = {s: signal.signal(s, _stop) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    start = time.monotonic()
    qemu = None
    offset = 0
    try:
        with open(console, "wb") as out:
            qemu = subprocess.Popen(qemu_command(accel_args, image, initramfs, SOURCE, share,
                                                 run),
                                    stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, start_new_session=True,
                                    preexec_fn=_die_with_parent)
        started = None
        while qemu.poll() is None:
            if started is None and os.path.exists(os.path.join(run, "started")):
                started = time.monotonic() - start
                log("the guest started the job %.0f s after QEMU did" % started)
            offset = _tail(output, offset)
            if time.monotonic() - start > timeout:
                _end(qemu)
                _tail(output, offset)
                log("the guest ran out of its %d s and was ended; its console's last lines:\n%s"
                    % (timeout, _console_tail(console)))
                return 124
            time.sleep(0.5)
        _tail(output, offset)
    except _Stopped as e:
        log("stopped (signal %d); ending the guest" % e.args[0])
        return 128 + e.args[0]
    finally:
        if qemu is not None:
            _end(qemu)
        for s, handler in old.items():
            signal.signal(s, handler)
        lock.close()
    seconds = time.monotonic() - start
    try:
        with open(os.path.join(run, "status")) as f:
            code = int(f.read().strip())
    except (OSError, ValueError):
        log("the guest ended after %.0f s without the job's exit code (QEMU: %s); its "
            "console's last lines:\n%s" % (seconds, qemu.returncode, _console_tail(console)))
        return 125
    log("the job ended with %d; the guest ran %.0f s" % (code, seconds))
    return code


# ------------------------------------------------------------------- main ---

def _run_name(text):
    # It names a folder beside the initramfs, and a kernel parameter.
    if not re.match(r"^[A-Za-z0-9_-]{1,40}$", text) or text.startswith("initramfs"):
        raise argparse.ArgumentTypeError("a guest's name is 1 to 40 letters, digits, - or _")
    return text


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="what", required=True)
    p = sub.add_parser("where")
    p.add_argument("--quiet", action="store_true")
    p = sub.add_parser("initramfs")
    p.add_argument("--share", required=True)
    p = sub.add_parser("run")
    p.add_argument("--share", required=True)
    p.add_argument("--name", default="run", type=_run_name)
    p.add_argument("--cwd", default=os.getcwd())
    p.add_argument("--timeout", type=int, default=3600)
    p.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    try:
        if args.what == "where":
            reason = reason_for_guest()
            if not args.quiet:
                log("the journeys run in a virtual machine: %s" % reason if reason else
                    "the journeys run here: this kernel runs 32-bit programs")
            print("guest" if reason else "here")
            return 0
        if args.what == "initramfs":
            print(build_initramfs(os.path.realpath(args.share))[0])
            return 0
        command = args.command[1:] if args.command[:1] == ["--"] else args.command
        if not command:
            parser.error("run needs a command")
        return run_in_guest(args.share, command, args.cwd, args.timeout, args.name)
    except (VmError, subprocess.CalledProcessError, OSError) as e:
        log("FAIL: %s" % e)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
