#!/usr/bin/env python3
"""Notices of quil-reports against sinks this check starts: a sendmail that
writes each mail it is given to a file, and a web hook on loopback.

A group is marked fixed while notices are off; with them on, and both sinks
failing, a new group and that group's regression are reported (each "OK"
answered while the mail transfer agent hangs); the page counts the failed
attempts. Restarted with the sinks working, the service sends each notice
once, saying what the page says. Six more new groups within the hour, past
the bound of three: one notice, then a digest of the other five.

    notice_check.py --program quil-reports --work DIR
"""

import argparse
import http.server
import json
import os
import re
import shutil
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import service  # noqa: E402
from checks import Checks, log  # noqa: E402

# Stands in for sendmail: each mail in a file of its own, its arguments
# beside it, the file named only once it is whole; waits while "hold" exists
# (a minute at most), refuses while "fail" does.
SENDMAIL = """#!/bin/sh
d=$(dirname "$0")
i=0
while [ -e "$d/hold" ] && [ $i -lt 600 ]; do touch "$d/held"; sleep 0.1; i=$((i+1)); done
if [ -e "$d/fail" ]; then cat >/dev/null; echo "relay refused" >&2; exit 75; fi
f="$d/mail-$(date +%s%N)"
printf '%s\\n' "$*" > "$f.args"
cat > "$f.part" && mv "$f.part" "$f"
"""
AV = "EXCEPTION_ACCESS_VIOLATION"
DIV = "EXCEPTION_INT_DIVIDE_BY_ZERO"
ADDRESS = 0x00401210  # CrashFilter+0x10 in the stand-in map
PAGE_URL = "http://reports.example:8080"


class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(min(int(self.headers.get("Content-Length", "0")), 1 << 20))
        if not self.server.failing:
            self.server.posts.append((self.path, self.headers.get("Content-Type"), body))
        self.send_response(503 if self.server.failing else 204)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


def until(what, seconds=60):
    """`what()` once it is true, polled; None after `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = what()
        if value:
            return value
        time.sleep(0.1)
    return None


def notices(page):
    """The page's account of notices: {sent, waiting, failures, text}."""
    _, _, body = service.get("http://%s/" % page)
    line = re.search(rb'<p class="note" id="notices">(.*?)</p>', body, re.S)
    text = line.group(1).decode() if line else ""
    counts = {k: int(re.search(r"(\d+) " + w, text).group(1)) if re.search(r"(\d+) " + w, text)
              else None for k, w in (("sent", "sent"), ("waiting", "waiting"),
                                     ("failures", "failed attempts"))}
    return dict(counts, text=text)


def mails(folder):
    """The mails the stand-in took, oldest first: (arguments, headers, body)."""
    found = []
    for name in sorted(f for f in os.listdir(folder) if re.fullmatch(r"mail-\d+", f)):
        with open(os.path.join(folder, name)) as f:
            head, _, body = f.read().partition("\n\n")
        with open(os.path.join(folder, name + ".args")) as f:
            args = f.read().strip()
        found.append((args, dict(line.split(": ", 1) for line in head.split("\n")), body))
    return found


def check_group_notice(check, mail, post, group, subject, lines):
    """A mail and a hook's post of one notice: what the page says of the group."""
    args, headers, body = mail
    check.equal((args, headers.get("To")), ("-t", "maker@example.org"),
                "the mail goes through sendmail -t, to --notify-mail")
    check.true(headers.get("Subject", "").startswith(subject), "its subject: %s" % headers.get("Subject"))
    missing = [line for line in lines if line not in body.split("\n")]
    check.equal(missing, [], "its text says: %s" % "; ".join(lines))
    path, kind, data = post
    hook = json.loads(data)
    check.equal((path, kind), ("/hook", "application/json"), "the hook has it as JSON")
    said = {k: hook.get(k) for k in ("exception", "address", "named_by", "count", "first_build",
                                     "state", "fixed_build", "regressed_build")}
    check.equal(said, {k: group[k] for k in said}, "saying what groups.json says of the group")
    check.equal(hook.get("link"), PAGE_URL + service.group_path(group["exception"],
                                                                 int(group["address"], 16)),
                "with the link to the group's page at --page-url")


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args(argv)
    check = Checks("report-notices")
    shutil.rmtree(args.work, ignore_errors=True)
    sink = os.path.join(args.work, "mta")
    os.makedirs(sink)
    os.makedirs(os.path.join(args.work, "symbols"))
    service.stand_in_map(os.path.join(args.work, "symbols"))
    sendmail = os.path.join(sink, "sendmail")
    with open(sendmail, "w") as f:
        f.write(SENDMAIL)
    os.chmod(sendmail, 0o755)
    flag = lambda name: os.path.join(sink, name)  # noqa: E731
    hook = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hook)
    hook.posts, hook.failing = [], True
    threading.Thread(target=hook.serve_forever, daemon=True).start()

    notify = ["--notify-mail", "maker@example.org", "--sendmail", sendmail,
              "--notify-url", "http://127.0.0.1:%d/hook" % hook.server_address[1],
              "--page-url", PAGE_URL, "--notify-per-hour", "3", "--notify-retry", "1"]
    log_path = os.path.join(args.work, "quil-reports.log")
    runs = []

    def run(more=()):
        """Starts the service on ports of its own each time (a port given
        up may be taken meanwhile); its intake and page."""
        ends = ["127.0.0.1:%d" % service.free_port() for _ in range(2)]
        runs.append(service.start(service.command(
            args.program, os.path.join(args.work, "reports.db"), *ends,
            symbols=os.path.join(args.work, "symbols"), extra=more), log_path))
        return ends

    def stop():
        runs[-1].terminate()
        check.equal(runs[-1].wait(timeout=60), 0, "the service stops on SIGTERM")

    try:
        intake, page = run()
        service.post(intake, service.compose(AV, ADDRESS, 37))
        cookies, token = service.form_session(page, AV, ADDRESS)
        service.mark(page, "fixed", AV, ADDRESS, cookies, token, 38)
        stop()

        for name in ("hold", "fail"):
            open(flag(name), "w").close()
        intake, page = run(notify)
        check.equal(service.post(intake, service.compose(DIV, ADDRESS, 37)), (200, b"OK"),
                    "a new group is stored")
        check.true(until(lambda: os.path.exists(flag("held")), 30), "its notice is under way")
        check.equal(service.post(intake, service.compose(AV, ADDRESS, 38)), (200, b"OK"),
                    "a report is answered OK while the mail transfer agent hangs")
        os.remove(flag("hold"))
        failed = until(lambda: (notices(page)["failures"] or 0) >= 2 and notices(page), 30)
        check.true(failed and "relay refused" in failed["text"] and "status 503" in failed["text"],
                   "the page counts the failed attempts and says why: %s"
                   % (failed or notices(page))["text"])
        stop()

        os.remove(flag("fail"))
        hook.failing = False
        intake, page = run(notify)
        check.true(until(lambda: notices(page)["waiting"] == 0, 60),
                   "restarted, the service sends what waited")
        sent = mails(sink)
        check.equal((len(sent), len(hook.posts)), (2, 2), "each notice once, by mail and by hook")
        groups = service.groups(page)
        if len(sent) == 2 and len(hook.posts) == 2:
            named = "Function: CrashFilter(_EXCEPTION_POINTERS*)+0x10"
            check_group_notice(check, sent[0], hook.posts[0], groups[(DIV, ADDRESS)],
                               "[quil-reports] New crash: %s at 00401210 (CrashFilter" % DIV,
                               [named, "Build: 037 (first seen in build 037, latest 037)",
                                "State: new", "Count: 1 deliveries",
                                "Page: %s%s" % (PAGE_URL, service.group_path(DIV, ADDRESS))])
            check_group_notice(check, sent[1], hook.posts[1], groups[(AV, ADDRESS)],
                               "[quil-reports] Regressed: %s at 00401210" % AV,
                               [named, "Build: 038 (first seen in build 037, latest 038)",
                                "State: regressed in build 038 (fixed in 038)",
                                "Count: 2 deliveries"])
            check.true(any(line.startswith("Named by: candidate, exact at the preferred base")
                           for line in sent[0][2].split("\n")), "and how the address was named")

        # Past the hour's bound: one more notice, then the rest in one digest.
        os.remove(flag("held"))
        open(flag("hold"), "w").close()
        service.post(intake, service.compose("EXCEPTION_STACK_OVERFLOW", 0x7BC40000, 37))
        until(lambda: os.path.exists(flag("held")), 30)
        replies = {service.post(intake, service.compose("EXCEPTION_STACK_OVERFLOW",
                                                        0x7BC40001 + i, 37)) for i in range(5)}
        check.equal(replies, {(200, b"OK")}, "five more new groups are stored")
        os.remove(flag("hold"))
        check.true(until(lambda: len(mails(sink)) == 4 and notices(page)["waiting"] == 0, 60),
                   "and the notices settle")
        sent = mails(sink)
        check.equal([m[1]["Subject"] for m in sent[2:]],
                    ["[quil-reports] New crash: EXCEPTION_STACK_OVERFLOW at 7BC40000, build 037",
                     "[quil-reports] 5 more new groups"],
                    "three notices in the hour, then a digest of the other five")
        digest = json.loads(hook.posts[-1][2]) if len(hook.posts) == 4 else {}
        check.equal((digest.get("event"), digest.get("count"), len(digest.get("groups", []))),
                    ("digest", 5, 5), "the hook has the same digest, listing the five")
        check.equal(notices(page)["sent"], 4, "the page counts 4 sent")
        stop()
    finally:
        for process in runs:
            if process.poll() is None:
                process.kill()
        hook.shutdown()
    return check.summary()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
