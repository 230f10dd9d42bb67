#!/usr/bin/env python3
"""A throwaway RFC 3161 time-stamping authority for the signing test: answers
each POSTed request with `openssl ts -reply` under the given configuration, on
127.0.0.1 only, at a port of the system's choosing that it prints first. It
ends by itself after the given number of seconds.

    timestamp_server.py OPENSSL_TS_CONFIG SECONDS
"""
import http.server
import os
import subprocess
import sys
import tempfile
import time


def handler(config):
    class TimeStamps(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            with tempfile.TemporaryDirectory() as folder:
                request = os.path.join(folder, "request.tsq")
                reply = os.path.join(folder, "reply.tsr")
                with open(request, "wb") as f:
                    f.write(query)
                made = subprocess.run(["openssl", "ts", "-reply", "-config", config,
                                       "-queryfile", request, "-out", reply],
                                      capture_output=True, timeout=60).returncode == 0
                body = b""
                if made:
                    with open(reply, "rb") as f:
                        body = f.read()
            self.send_response(200 if made else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return TimeStamps


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: timestamp_server.py OPENSSL_TS_CONFIG SECONDS")
    server = http.server.HTTPServer(("127.0.0.1", 0), handler(os.path.abspath(argv[0])))
    print(server.server_port, flush=True)
    server.timeout = 1
    deadline = time.monotonic() + float(argv[1])
    while time.monotonic() < deadline:
        server.handle_request()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
