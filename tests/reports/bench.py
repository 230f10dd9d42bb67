#!/usr/bin/env python3
"""The report service's benchmark (scripts/bench_reports.sh runs it on a
release build): figures printed, nothing timed against a bound.

1. The disk: how many 4 KiB write+fsync a second it takes.
2. Load: CLIENTS keep-alive clients post real bodies for SECONDS; reports/s,
   p50/p99 latency, and the "OK" replies against the new rows.
3. Kill: the same load, the service killed with SIGKILL halfway and started
   again at once; every report answered "OK" must be in the store, which
   must pass SQLite's integrity check.
4. Bad input, each followed by a real report that must be stored: a 1 MB
   body, a body with NUL bytes, 10,000 headers, a client that sends one byte
   a second, and 1,000 connections opened and left idle. The strangers send
   from 127.0.0.2, the real installer from 127.0.0.1.

    bench.py --program quil-reports --loadgen quil-reports-loadgen --work DIR
             [--seconds 10] [--clients 64]
"""

import argparse
import json
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import service  # noqa: E402

STRANGER = "127.0.0.2"
REAL = service.compose("EXCEPTION_ACCESS_VIOLATION", 0x0040245A, 37)


class Service:
    def __init__(self, program, work, name):
        self.db = os.path.join(work, name + ".db")
        service.fresh_store(self.db)
        self.intake = "127.0.0.1:%d" % service.free_port()
        self.page = "127.0.0.1:%d" % service.free_port()
        # Its load comes from one address, far past the rate one address
        # is allowed.
        self.argv = service.command(program, self.db, self.intake, self.page,
                                    extra=["--address-rate", "1000000000"])
        self.log = os.path.join(work, name + ".log")
        self.process = None

    def start(self):
        self.process = service.start(self.argv, self.log)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=60)

    def rows(self, build=None):
        with sqlite3.connect("file:%s?mode=ro" % self.db, uri=True) as db:
            if build is None:
                return db.execute("SELECT COUNT(*) FROM reports").fetchone()[0]
            return db.execute("SELECT COUNT(*) FROM reports WHERE build = ?", (build,)).fetchone()[0]


def disk(work):
    path = os.path.join(work, "sync-probe")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    count, start = 0, time.monotonic()
    while time.monotonic() - start < 2:
        os.write(fd, b"x" * 4096)
        os.fsync(fd)
        count += 1
    os.close(fd)
    os.remove(path)
    print("disk: %.0f write+fsync a second (4 KiB, %s)" % (count / (time.monotonic() - start), work))


def load(args, svc, build, seconds, during=None):
    ok_file = os.path.join(args.work, "ok-%d.txt" % build)
    runner = subprocess.Popen([args.loadgen, svc.intake, str(args.clients), str(seconds), str(build),
                               ok_file], stdout=subprocess.PIPE, text=True)
    if during:
        during()
    out, _ = runner.communicate(timeout=seconds + 120)
    print("  " + out.strip().replace("\n", "\n  "))
    with open(ok_file) as f:
        return [int(line) for line in f if line.strip()]


def load_phase(args):
    print("== load: %d clients for %d s" % (args.clients, args.seconds))
    svc = Service(args.program, args.work, "load")
    svc.start()
    ok = load(args, svc, 901, args.seconds)
    svc.stop()
    rows = svc.rows(901)
    print("  \"OK\" replies %d, new rows %d: %s" % (len(ok), rows, "equal" if rows == len(ok) else
                                                     "NOT EQUAL"))
    with open(svc.log) as f:
        print("  " + f.read().strip().splitlines()[-1])
    return rows == len(ok)


def kill_phase(args):
    print("== kill: %d clients for %d s, SIGKILL at %d s, started again at once"
          % (args.clients, args.seconds, args.seconds // 2))
    svc = Service(args.program, args.work, "kill")
    svc.start()

    def kill_and_restart():
        time.sleep(args.seconds / 2)
        svc.process.send_signal(signal.SIGKILL)
        svc.process.wait()
        start = time.monotonic()
        svc.start()
        print("  killed, and serving again %.2f s later" % (time.monotonic() - start))
    ok = load(args, svc, 902, args.seconds, kill_and_restart)
    svc.stop()
    with sqlite3.connect("file:%s?mode=ro" % svc.db, uri=True) as db:
        integrity = db.execute("PRAGMA integrity_check").fetchone()[0]
        stored = {a for (a,) in db.execute("SELECT address FROM reports WHERE build = 902")}
    lost = [a for a in ok if a not in stored]
    print("  \"OK\" replies %d, rows %d, of those answered OK missing: %d; integrity check: %s"
          % (len(ok), len(stored), len(lost), integrity))
    print("  rows stored whose reply the kill cut off (an installer sends them again): %d"
          % (len(stored) - len(set(ok) & stored)))
    return not lost and integrity == "ok"


def raw(data, source=STRANGER, read=True):
    """Sends bytes on a connection of their own; the reply's status line, or
    what went wrong."""
    s = socket.socket()
    s.bind((source, 0))
    s.settimeout(15)
    try:
        s.connect(INTAKE)
        s.sendall(data)
        return s.recv(200).split(b"\r\n")[0].decode("latin-1") if read else ""
    except OSError as e:
        return "connection %s" % (e.strerror or e.__class__.__name__).lower()
    finally:
        s.close()


def real_report(svc):
    """Posts a real report from the installer's address; (stored, ms)."""
    before, start = svc.rows(), time.monotonic()
    status, reply = service.post(svc.intake, REAL, timeout=30)
    ms = (time.monotonic() - start) * 1000
    return (status, reply) == (200, b"OK") and svc.rows() == before + 1, ms


def bad_inputs(args):
    print("== bad input, each followed by a real report")
    svc = Service(args.program, args.work, "bad")
    svc.start()
    global INTAKE
    host, port = svc.intake.rsplit(":", 1)
    INTAKE = (host, int(port))
    results = []

    def case(name, send, expect_rows, meanwhile=False):
        before = svc.rows()
        answer = send()
        kept = svc.rows() - before
        stored, ms = real_report(svc)
        ok = kept == expect_rows and stored and svc.process.poll() is None
        results.append(ok)
        print("  %s: %s\n    rows added %d%s; the real report after it stored: %s (%.0f ms)%s"
              % (name, answer, kept, " (the real report sent meanwhile)" if meanwhile else "",
                 "yes" if stored else "NO", ms, "" if ok else "  <- FAILED"))

    head = b"POST /sreport.asp HTTP/1.1\r\nHost: reports\r\nContent-Type: application/x-www-form-urlencoded\r\n"
    case("a 1 MB body", lambda: raw(head + b"Content-Length: 1048576\r\n\r\n" + b"log=" + b"A" * 1048572), 0)
    nul = b"log=INSTALLER+ERROR%0A%0D\x00\x00EXCEPTION\x00%0A%0D"

    def with_nul():
        answer = raw(head + b"Content-Length: %d\r\n\r\n" % len(nul) + nul)
        _, _, body = service.get("http://%s/reports.json" % svc.page)
        kept = json.loads(body)["reports"][-1]["body"].encode("latin-1")
        return answer + (", kept byte for byte" if kept == nul else ", KEPT ALTERED")
    case("a body with NUL bytes (kept raw, unparsed)", with_nul, 1)
    headers = b"".join(b"X-H%d: v\r\n" % i for i in range(10000))
    case("10,000 headers", lambda: raw(head + headers + b"Content-Length: %d\r\n\r\n" % len(REAL) + REAL), 0)

    def slow():
        s = socket.socket()
        s.bind((STRANGER, 0))
        s.connect(INTAKE)
        message = head + b"Content-Length: %d\r\n\r\n" % len(REAL) + REAL
        start = time.monotonic()
        cut = threading.Event()

        def trickle():
            try:
                for byte in message:
                    s.send(bytes([byte]))
                    time.sleep(1)
            except OSError:
                pass
            cut.set()
        threading.Thread(target=trickle, daemon=True).start()
        stored, ms = real_report(svc)  # while it trickles
        s.settimeout(30)
        try:
            while s.recv(4096):
                pass
        except OSError:
            pass
        seconds = time.monotonic() - start
        s.close()
        return "cut off after %.1f s (%s sent)%s" % (seconds, "%d bytes" % int(seconds),
                                                      "" if stored else ", REAL REPORT LOST MEANWHILE")
    case("a client that sends one byte a second", slow, 1, meanwhile=True)

    def idle():
        sockets, refused = [], 0
        for _ in range(1000):
            s = socket.socket()
            s.bind((STRANGER, 0))
            s.connect(INTAKE)
            sockets.append(s)
        time.sleep(0.5)
        for s in sockets:
            s.setblocking(False)
            try:
                if s.recv(1) == b"":
                    refused += 1
            except BlockingIOError:
                pass
            except OSError:
                refused += 1
        stored, ms = real_report(svc)  # while they are held
        held = 1000 - refused
        time.sleep(12)
        still = 0
        for s in sockets:
            try:
                if s.recv(1) != b"":
                    still += 1
            except BlockingIOError:
                still += 1
            except OSError:
                pass
            s.close()
        return "%d closed at once, %d held; a real one meanwhile: %s (%.0f ms); open after 12 s: %d" % (
            refused, held, "stored" if stored else "LOST", ms, still)
    case("1,000 connections opened and left idle", idle, 1, meanwhile=True)
    alive = svc.process.poll() is None
    svc.stop()
    print("  the service ran throughout: %s" % ("yes" if alive else "NO"))
    return all(results) and alive


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--loadgen", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--clients", type=int, default=64)
    args = parser.parse_args(argv)
    os.makedirs(args.work, exist_ok=True)
    disk(args.work)
    outcomes = {"load": load_phase(args), "kill": kill_phase(args), "bad input": bad_inputs(args)}
    print("== %s" % ", ".join("%s: %s" % (k, "as expected" if v else "FAILED")
                             for k, v in outcomes.items()))
    return 0 if all(outcomes.values()) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
