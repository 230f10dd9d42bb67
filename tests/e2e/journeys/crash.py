"""A crash of the shipped Quil.exe, and its report to the reference server."""

import json
import os
import shutil
import signal
import time

from checks import JourneyError, log
from wine.probe import is_main_program
from journeys.runner import journey, session_options
from journeys.walks import walk_agreement, walk_location


# A stand-in LZ32 (tests/e2e/faulty_lz32) faults in LZInit at the first packed
# file, so the shipped Quil.exe meets a real unhandled exception. Wine and the
# reference report server run in a private network where the build's report
# host is this machine's loopback.

REPORT_KEY = "HKCU\\Software\\Kestrel\\Quillmark\\report"
INTERNET_SETTINGS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
CRASH_NOTICE = "An unknown error has occured -- installation aborted"
REPORT_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tools",
                             "report_server.py")


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


def start_report_server(s, reply):
    """The reference report server on port 80, answering `reply`; the file
    that it keeps the requests in."""
    reports = os.path.join(s.root, "reports.jsonl")
    if os.path.exists(reports):
        os.remove(reports)  # an earlier run's
    s.start_service(["python3", REPORT_SERVER, "--reports", reports, "--port", "80",
                     "--reply", reply], "report-server")
    log_path = os.path.join(s.root, "report-server.log")
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        with open(log_path) as f:
            if "listening on" in f.read():
                return reports
        time.sleep(0.2)
    raise JourneyError("the report server did not start: see %s" % log_path)


def received(reports):
    if not os.path.exists(reports):
        return []
    with open(reports) as f:
        return [json.loads(line) for line in f if line.strip()]


def crash_to_notice(s, check, reply):
    """Places the faulty LZ32 in the system folder (a faulty system library:
    Quil.exe loads it from nowhere else), starts the server, walks to the
    file work and meets the crash notice; the installer's process, the
    notice and the address the fault happened at, as the report writes it."""
    folder = s.unix_path(s.windir + "\\system32")
    # The prefix's file is a link to the template's: replaced, not written.
    os.remove(os.path.join(folder, "lz32.dll"))
    shutil.copy2(os.path.join(s.wine.build, "tests", "e2e", "faulty_lz32", "lz32.dll"), folder)
    reports = start_report_server(s, reply)
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
    check.equal(received(reports), [], "nothing is sent before the notice is dismissed")
    with open(os.path.join(folder, "lz32-fault.txt")) as f:
        address = "%08X" % (int(f.read().strip(), 16) & 0xFFFFFFFF)
    log("  (LZInit faulted at %s)" % address)
    s.key(notice, "Return")
    return process, reports, address


def dial_up(s):
    """The automatic dial-up value, whichever spelling of its name it carries."""
    values = s.reg_values(INTERNET_SETTINGS) or {}
    return next((v for k, v in values.items() if k.lower() == "enableautodial"), None)


def expected_report(address):
    return ("log=INSTALLER+ERROR%0A%0DEXCEPTION_ACCESS_VIOLATION%0A%0Dat+" + address +
            "%0A%0DBuild:+037%0A%0D")


def check_one_report(check, requests, address):
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


@journey("crash-report")
@session_options(crash_session)
def crash_report_journey(s, check):
    process, reports, address = crash_to_notice(s, check, "OK")
    code = s.wait_exit(process, 120)
    log("  (Quil.exe ended with exit code 0x%X)" % (code & 0xFFFFFFFF))
    check_one_report(check, received(reports), address)
    check.equal(s.reg_values(REPORT_KEY), None, "the report key is gone once the report is taken")
    check.equal(dial_up(s), ("REG_DWORD", "0x1"), "the dial-up setting is put back")
    s.shot("after-crash")
    check.equal(s.windows(), [], "no window is left: neither a crash dialog nor a debugger")
    with open(os.path.join(s.root, "quil.log"), encoding="latin-1") as f:
        check.true("winedbg" not in f.read().lower(), "no debugger was started")


@journey("crash-report-refused")
@session_options(crash_session)
def crash_report_refused_journey(s, check):
    process, reports, address = crash_to_notice(s, check, "try again later")
    deadline = time.monotonic() + 90
    while time.monotonic() < deadline and not received(reports):
        time.sleep(0.5)
    # The report key was written before the first attempt.
    values = s.reg_values(REPORT_KEY) or {}
    check_one_report(check, received(reports), address)
    check.equal(values, {"log00": ("REG_SZ", "INSTALLER ERROR"),
                         "log01": ("REG_SZ", "EXCEPTION_ACCESS_VIOLATION"),
                         "log02": ("REG_SZ", "at " + address),
                         "log03": ("REG_SZ", "Build: 037")},
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
