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
import socket
import subprocess
import sys
import time
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


def get(url, token=None, timeout=30, form=None, cookie=None):
    """(status, headers, body) of GET url, or of POST with the bytes of
    `form`; redirections are answers, not followed."""
    request = urllib.request.Request(url, data=form)
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
