"""A crash of the shipped Quil.exe, and its report: delivered to quil-reports
and read back through its export, or refused by a test double."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

from checks import JourneyError, log
from wine.probe import is_main_program
from journeys.runner import journey, session_options
from journeys.walks import walk_agreement, walk_location

E2E = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(E2E, "..", "reports"))
import service  # noqa: E402  (tests/reports/service.py)


# A stand-in LZ32 (tests/e2e/faulty_lz32) faults in LZInit at the first packed
# file, so the shipped Quil.exe meets a real unhandled exception. Wine and the
# report server run in a private network where the build's report host is
# this machine's loopback.

REPORT_KEY = "HKCU\\Software\\Kestrel\\Quillmark\\report"
INTERNET_SETTINGS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
CRASH_NOTICE = "An unknown error has occured -- installation aborted"
REPORT_DOUBLE = os.path.join(E2E, "report_double.py")
PAGE = "127.0.0.1:8080"


def report_host(wine):
    """The report server's host name that the build was made with."""
    with open(os.path.join(wine.build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("QUIL_REPORT_HOST:"):
                return line.split("=", 1)[1].strip()
    raise JourneyError("the build in %s names no QUIL_REPORT_HOST" % wine.build)


def crash_session(wine):
    # winedbg off: an exception that the installer passes on ends the process
    # without a debugger or a crash dialog.
    return dict(hosts={report_host(wine): "127.0.0.1"}, dll_overrides="lz32=n;winedbg.exe=d")


def is_crash_notice(w):
    return w.exe == "quil.exe" and w.title == "Error Notice"


def start_report_double(s, reply):
    """The test double on port 80, answering `reply`; the file that it keeps
    the requests in."""
    reports = os.path.join(s.root, "reports.jsonl")
    if os.path.exists(reports):
        os.remove(reports)  # an earlier run's
    process = s.start_service(["python3", REPORT_DOUBLE, "--reports", reports, "--port", "80",
                               "--reply", reply], "report-double")
    wait_started(s, process, "report-double", "listening on")
    return reports


def wait_started(s, process, name, ready):
    try:
        service.wait_ready(os.path.join(s.root, name + ".log"), process, ready=ready)
    except RuntimeError as e:
        raise JourneyError(str(e))


def reports_program(wine):
    """quil-reports of the host build beside the Windows build."""
    program = os.environ.get("QUIL_REPORTS_PROGRAM") or os.path.join(
        os.path.dirname(os.path.abspath(wine.build)), "host", "reports", "quil-reports")
    if not os.access(program, os.X_OK):
        raise JourneyError("no quil-reports at %s: build the host build (or set "
                           "QUIL_REPORTS_PROGRAM)" % program)
    return program


def start_quil_reports(s):
    """quil-reports on port 80 of the private network, with a fresh store and
    the build's symbol maps; its process."""
    db = os.path.join(s.root, "reports.db")
    service.fresh_store(db)
    argv = service.command(reports_program(s.wine), db, "127.0.0.1:80", PAGE,
                           symbols=os.path.join(s.wine.build, "symbols"))
    process = s.start_service(argv, "quil-reports")
    wait_started(s, process, "quil-reports", service.READY)
    return process


def page_json(s, path):
    """What quil-reports' page answers for `path`, read inside the network."""
    out = os.path.join(s.root, "page-answer.json")
    with open(out, "w") as f:
        code = subprocess.call(s.network.command(["python3", service.__file__, "get",
                                                  "http://%s%s" % (PAGE, path)]),
                               stdout=f, stderr=subprocess.STDOUT)
    with open(out) as f:
        text = f.read()
    if code != 0:
        raise JourneyError("GET %s: %s" % (path, text[-500:]))
    return json.loads(text)


def received(reports):
    if not os.path.exists(reports):
        return []
    with open(reports) as f:
        return [json.loads(line) for line in f if line.strip()]


def crash_to_notice(s, check, start_server, sent):
    """Places the faulty LZ32 in the system folder (a faulty system library:
    Quil.exe loads it from nowhere else), starts the server
    (`start_server`(s), whose requests so far `sent`(server) lists), walks to
    the file work and meets the crash notice; the installer's process, the
    server, the notice and the address the fault happened at, as the report
    writes it. The notice is left up."""
    folder = s.unix_path(s.windir + "\\system32")
    # The prefix's file is a link to the template's: replaced, not written.
    os.remove(os.path.join(folder, "lz32.dll"))
    shutil.copy2(os.path.join(s.wine.build, "tests", "e2e", "faulty_lz32", "lz32.dll"), folder)
    server = start_server(s)
    s.reg_add(INTERNET_SETTINGS, "EnableAutodial", "REG_DWORD", "1")
    process = s.start_installer()
    walk_location(s, check, process)
    agr = walk_agreement(s, check, process)
    s.key(agr, "Return")
    notice = s.wait_for(is_crash_notice, "the crash notice", process=process,
                        instead=[is_main_program, lambda w: w.title.startswith("ERROR ")])
    s.shot("crash-notice")
    check.equal(sorted(notice.texts()), sorted([CRASH_NOTICE, "OK"]),
                "the notice says %r, with OK" % CRASH_NOTICE)
    check.equal([c["id"] for c in notice.controls if c.get("icon")], [],
                "the notice shows no icon")
    check.equal(sent(server), [], "nothing is sent before the notice is dismissed")
    with open(os.path.join(folder, "lz32-fault.txt")) as f:
        address = "%08X" % (int(f.read().strip(), 16) & 0xFFFFFFFF)
    log("  (LZInit faulted at %s)" % address)
    return process, server, notice, address


def dial_up(s):
    """The automatic dial-up value, whichever spelling of its name it carries."""
    values = s.reg_values(INTERNET_SETTINGS) or {}
    return next((v for k, v in values.items() if k.lower() == "enableautodial"), None)


def expected_report(address):
    return service.compose("EXCEPTION_ACCESS_VIOLATION", int(address, 16), 37).decode()


def expected_key(address):
    return {"log00": ("REG_SZ", "INSTALLER ERROR"),
            "log01": ("REG_SZ", "EXCEPTION_ACCESS_VIOLATION"),
            "log02": ("REG_SZ", "at " + address),
            "log03": ("REG_SZ", "Build: 037")}


def check_one_report(check, requests, address):
    """What the test double received: one request, as Quil.exe makes it."""
    if not check.equal(len(requests), 1, "the server holds exactly one request"):
        return
    r = requests[0]
    headers = {k.lower(): v for k, v in r["headers"]}
    log("  (the report as received: %s %s %s)" % (r["method"], r["path"], r["body"]))
    check.equal((r["method"], r["path"]), ("POST", "/sreport.asp"), "it is a POST of /sreport.asp")
    check.equal(headers.get("content-type"), "application/x-www-form-urlencoded",
                "it carries the form's Content-Type")
    check.equal(headers.get("user-agent"), "quil", "its agent is \"quil\"")
    check.equal(r["body"], expected_report(address), "its body is the report of the fault")


def wait_for_key(s, seconds=60):
    """The report key's values once all four are there (or what it holds
    when the time is up)."""
    deadline = time.monotonic() + seconds
    values = {}
    while time.monotonic() < deadline:
        values = s.reg_values(REPORT_KEY) or {}
        if len(values) == 4:
            break
        time.sleep(0.5)
    return values


@journey("crash-report")
@session_options(crash_session)
def crash_report_journey(s, check):
    """The report reaches quil-reports, which stores it before it answers
    "OK"; the export gives back what the installer recorded."""
    process, server, notice, address = crash_to_notice(
        s, check, start_quil_reports, lambda _: page_json(s, "/reports.json")["reports"])
    # Held still, the service leaves the installer waiting for its reply with
    # the report key written: what the installer stored can be read before
    # the "OK" makes it delete the key.
    os.kill(server.pid, signal.SIGSTOP)
    try:
        s.key(notice, "Return")
        key = wait_for_key(s)
    finally:
        os.kill(server.pid, signal.SIGCONT)
    check.equal(key, expected_key(address), "the report key holds log00 to log03 meanwhile")
    code = s.wait_exit(process, 120)
    log("  (Quil.exe ended with exit code 0x%X)" % (code & 0xFFFFFFFF))
    check.equal(s.reg_values(REPORT_KEY), None, "the report key is gone once the report is taken")
    check.equal(dial_up(s), ("REG_DWORD", "0x1"), "the dial-up setting is put back")

    stored = page_json(s, "/reports.json")["reports"]
    if check.equal(len(stored), 1, "quil-reports holds exactly one report"):
        r = stored[0]
        log("  (the report as stored: %s)" % json.dumps(r))
        check.equal((r["parsed"], r["exception"], "at " + r["address"], "Build: %03d" % r["build"]),
                    (True, key.get("log01", ("", ""))[1], key.get("log02", ("", ""))[1],
                     key.get("log03", ("", ""))[1]),
                    "its exception, address and build are those of the report key")
        check.equal(r["body"], expected_report(address), "its body is the report as sent")
        check.equal(r["client"], "127.0.0.1", "its sender is the installer's machine")
    groups = page_json(s, "/groups.json")["groups"]
    if check.equal(len(groups), 1, "it makes one group"):
        g = groups[0]
        log("  (named: %s %s by %s)" % (g["function"], g["offset"], g["named_by"]))
        # The fault is in LZ32, a system library: its address may pass for a
        # place in Quil.exe by its low 16 bits, never at the preferred base.
        check.true(g["named_by"] in ("candidate, low 16 bits", "not placed"),
                   "a fault in a system library is at most a candidate (%s)" % g["named_by"])
    s.shot("after-crash")
    check.equal(s.windows(), [], "no window is left: neither a crash dialog nor a debugger")
    with open(os.path.join(s.root, "quil.log"), encoding="latin-1") as f:
        check.true("winedbg" not in f.read().lower(), "no debugger was started")


@journey("crash-report-refused")
@session_options(crash_session)
def crash_report_refused_journey(s, check):
    """A server that answers anything but "OK" (the test double): the record
    stays, and the installer waits ten minutes to send it again."""
    process, reports, notice, address = crash_to_notice(
        s, check, lambda s: start_report_double(s, "try again later"), received)
    s.key(notice, "Return")
    deadline = time.monotonic() + 90
    while time.monotonic() < deadline and not received(reports):
        time.sleep(0.5)
    # The report key was written before the first attempt.
    values = s.reg_values(REPORT_KEY) or {}
    check_one_report(check, received(reports), address)
    check.equal(values, expected_key(address),
                "the report key holds log00 to log03 while the installer waits")
    time.sleep(5)
    check.true(process.poll() is None, "Quil.exe waits to try again (ten minutes)")
    check.equal(len(received(reports)), 1, "no second attempt before the pause is over")
    check.equal(dial_up(s), ("REG_DWORD", "0x1"),
                "the dial-up setting is put back after the attempt")
    s.shot("waiting")
    os.killpg(process.pid, signal.SIGKILL)
    process.wait(timeout=60)
    check.equal(sorted((s.reg_values(REPORT_KEY) or {}).keys()),
                ["log00", "log01", "log02", "log03"], "the record outlives the ended process")
