#!/usr/bin/env python3
"""What the checks of quil-reports share: its command line, starting it and
waiting until it serves, posting a report the way Quil.exe does, and reading
the export. Python's standard library only.

    service.py get URL [TOKEN]     prints what GET URL answers (inside the
                                   crash journeys' private network)
"""

import http.client
import json
import os
import re
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request

READY = "quil-reports: intake on"
HEADER = "Content-Type: application/x-www-form-urlencoded"


def compose(exception, address, build):
    """The body as Quil.exe posts it; what would change the form's reading is
    %-encoded, as a crafted report would be."""
    name = "".join("+" if c == " " else c if c not in "%&+=#" else "%%%02X" % ord(c)
                   for c in exception)
    return ("log=INSTALLER+ERROR%%0A%%0D%s%%0A%%0Dat+%08X%%0A%%0DBuild:+%03d%%0A%%0D"
            % (name, address, build)).encode()


def stand_in_map(folder, build=37):
    """Writes a small symbol map of `build` into `folder`, for checks run
    without the Windows build's own; its path."""
    path = os.path.join(folder, "quil-%03d.map" % build)
    with open(path, "w") as f:
        f.write("quil-symbols 1\nbuild %d\nimage-base 00400000\ncode 00001000 00007700\n"
                "00001000 mainCRTStartup\n00001200 CrashFilter(_EXCEPTION_POINTERS*)\n"
                "00001400 ReportCrash(char const*)\n00006000 WinMain@16\nend\n" % build)
    return path


def fresh_store(db):
    """Removes an earlier run's store, with its log and index files."""
    for leftover in (db, db + "-wal", db + "-shm"):
        if os.path.exists(leftover):
            os.remove(leftover)


def command(program, db, listen, page, symbols=None, token=None, extra=()):
    argv = [program, "--db", db, "--listen", listen, "--page", page] + list(extra)
    if symbols:
        argv += ["--symbols", symbols]
    if token:
        argv += ["--page-token", token]
    return argv


def wait_ready(log_path, process=None, seconds=30, ready=READY):
    """Waits for the service's first line (`ready`); its text. Raises
    RuntimeError when it ends first or says nothing in time."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(log_path):
            with open(log_path, errors="replace") as f:
                text = f.read()
            if ready in text:
                return text
        if process is not None and process.poll() is not None:
            break
        time.sleep(0.1)
    with open(log_path, errors="replace") as f:
        raise RuntimeError("%s did not start: %s" % (os.path.basename(log_path),
                                                     f.read()[-2000:]))


def start(argv, log_path):
    """Starts the service; the process, once it serves."""
    log = open(log_path, "w")
    process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL)
    wait_ready(log_path, process)
    return process


def post(address, body, source=None, timeout=10):
    """POST /sreport.asp as Quil.exe sends it (its agent, its one header);
    (status, reply bytes), or (None, the error) when the connection fails."""
    host, port = address.rsplit(":", 1)
    try:
        conn = http.client.HTTPConnection(host, int(port), timeout=timeout,
                                          source_address=(source, 0) if source else None)
        conn.putrequest("POST", "/sreport.asp", skip_accept_encoding=True)
        conn.putheader("User-Agent", "quil")
        conn.putheader(*HEADER.split(": "))
        conn.putheader("Content-Length", str(len(body)))
        conn.endheaders(body)
        reply = conn.getresponse()
        result = reply.status, reply.read()
        conn.close()
        return result
    except (OSError, http.client.HTTPException) as e:
        return None, e


def get(url, token=None, timeout=30, form=None, cookie=None, headers=()):
    """(status, headers, body) of GET url, or of POST with the bytes of
    `form`; redirections are answers, not followed."""
    request = urllib.request.Request(url, data=form, headers=dict(headers))
    if token:
        request.add_header("Authorization", "Bearer " + token)
    if cookie:
        request.add_header("Cookie", cookie)

    class NoRedirect(urllib.request.HTTPRedirectHandler):
        def redirect_request(self, *args):
            return None
    opener = urllib.request.build_opener(NoRedirect)
    try:
        with opener.open(request, timeout=timeout) as reply:
            return reply.status, reply.headers, reply.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def group_path(exception, address):
    return "/group?" + urllib.parse.urlencode({"address": "%08X" % address,
                                                "exception": exception})


def form_session(page, exception, address, token=None, cookie=None):
    """What a browser holds after opening a group's page: (its cookies, the
    form token of its forms)."""
    _, headers, body = get("http://%s%s" % (page, group_path(exception, address)), token,
                           cookie=cookie)
    session = (headers.get("Set-Cookie") or "").split(";")[0]
    found = re.search(rb'name="form_token" value="([0-9a-f]+)"', body)
    cookies = "; ".join(c for c in (cookie, session) if c)
    return cookies, found.group(1).decode() if found else None


def mark(page, action, exception, address, cookies, form_token, build=None, token=None,
         headers=()):
    """Posts a group's form, "fixed" or "reopen", as its page would; the
    status and where it sends the browser."""
    fields = {"form_token": form_token or "", "exception": exception,
              "address": "%08X" % address}
    if build is not None:
        fields["build"] = str(build)
    status, answer, _ = get("http://%s/group/%s" % (page, action), token, cookie=cookies,
                            form=urllib.parse.urlencode(fields).encode(), headers=headers)
    return status, answer.get("Location")


def groups(page, token=None, cookie=None):
    """The export's groups, by (exception, address)."""
    status, _, body = get("http://%s/groups.json" % page, token, cookie=cookie)
    if status != 200:
        raise RuntimeError("GET /groups.json: %s" % status)
    return {(g["exception"], int(g["address"], 16)): g for g in json.loads(body)["groups"]}


def reports(page, token=None):
    """The export's reports."""
    status, _, body = get("http://%s/reports.json" % page, token)
    if status != 200:
        raise RuntimeError("GET /reports.json: %s" % status)
    return json.loads(body)["reports"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "get":
        status, _, body = get(sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else None)
        sys.stdout.write(body.decode("latin-1"))
        sys.exit(0 if status == 200 else 1)
    sys.exit(__doc__)
