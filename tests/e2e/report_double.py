#!/usr/bin/env python3
"""The crash journeys' test double of a report server, for what quil-reports
never does: refuse a report on purpose. It keeps every request it receives
as one JSON line in a file (time, client, method, path, headers, body) and
answers what it is told to, so that a journey sees what a crashed Quil.exe
does when the server says "busy" or anything but "OK".

    report_double.py --reports r.jsonl --reply "busy"        refuses every report
    report_double.py --reports r.jsonl --reply-file answer   answers the file's
                                                             content, read anew
                                                             for each request

Options: --port (80), --bind (127.0.0.1), --status (the HTTP status of the
answer, 200). It prints "listening on ADDRESS:PORT" once it takes requests.
Python's standard library only. The real service is quil-reports (reports/).
"""

import argparse
import datetime
import http.server
import json
import os
import sys
import threading

REPORT_PATH = "/sreport.asp"
MAX_BODY = 64 * 1024


class ReportHandler(http.server.BaseHTTPRequestHandler):
    server_version = "QuilReports/1"
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        self._take()

    def do_GET(self):
        self._take()

    def do_PUT(self):
        self._take()

    def _take(self):
        length = self.headers.get("Content-Length", "0")
        try:
            size = max(0, min(int(length), MAX_BODY))
        except ValueError:
            size = 0
        body = self.rfile.read(size) if size else b""
        is_report = self.command == "POST" and self.path == REPORT_PATH
        if is_report:
            status, reply = self.server.status, self.server.answer()
        else:
            status, reply = 404, b"not a report"
        self.server.keep({
            "time": datetime.datetime.now(datetime.timezone.utc).isoformat(),
            "client": self.client_address[0],
            "method": self.command,
            "path": self.path,
            "version": self.request_version,
            "headers": [[k, v] for k, v in self.headers.items()],
            # Reports are ANSI text: Latin-1 keeps every byte as it came.
            "body": body.decode("latin-1"),
            "status": status,
            "reply": reply.decode("latin-1"),
        })
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(reply)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(reply)
        self.close_connection = True

    def log_message(self, fmt, *args):
        sys.stderr.write("report server: %s - %s\n" % (self.client_address[0], fmt % args))


class ReportServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, reports, reply, reply_file, status):
        super().__init__(address, ReportHandler)
        self.reports = reports
        self.reply = reply.encode("latin-1")
        self.reply_file = reply_file
        self.status = status
        self.lock = threading.Lock()

    def answer(self):
        """The reply body: the control file's bytes when it exists, else --reply."""
        if self.reply_file:
            try:
                with open(self.reply_file, "rb") as f:
                    return f.read()
            except FileNotFoundError:
                pass
        return self.reply

    def keep(self, record):
        line = json.dumps(record, ensure_ascii=True) + "\n"
        with self.lock:
            with open(self.reports, "a", encoding="ascii") as f:
                f.write(line)
                f.flush()
                os.fsync(f.fileno())


def main(argv):
    parser = argparse.ArgumentParser(description="A report server that answers as it is told.")
    parser.add_argument("--reports", required=True, help="file the requests are appended to")
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--reply", default="OK", help='reply body ("OK" accepts a report)')
    parser.add_argument("--reply-file", help="file whose content is the reply, read per request")
    parser.add_argument("--status", type=int, default=200, help="HTTP status of the reply")
    args = parser.parse_args(argv)

    server = ReportServer((args.bind, args.port), os.path.abspath(args.reports), args.reply,
                          args.reply_file, args.status)
    print("listening on %s:%d" % server.server_address[:2], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
