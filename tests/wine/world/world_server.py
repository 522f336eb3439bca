#!/usr/bin/env python3
"""The "internet" beyond the tunnel: an HTTP server in the world namespace, reachable from the
test namespace only through the emulated adapter.

GET /generate_204 answers as the mode file says (read afresh at every request):
  204            204, always (the default, also when the file is missing)
  503            503, always
  silent         reads the request and never answers (the client gives up)
  204-once       204 to the first request after the file was written, 503 afterwards
Any other path: 200 with a page naming the address it was asked on.
Every request is logged: time, client, local address, method, path, Host header, status.
"""

import argparse
import os
import socketserver
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PAGE = "Vantorel world page: you reached {address} through the tunnel\n"


class ModeFile:
    """The current mode; "204-once" counts its requests per version of the file."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.version = None
        self.answered = 0

    def status(self):
        with self.lock:
            try:
                stat = os.stat(self.path)
                with open(self.path, encoding="ascii") as f:
                    mode = f.read().strip() or "204"
                version = (stat.st_mtime_ns, stat.st_ino, mode)
            except OSError:
                mode, version = "204", None
            if version != self.version:
                self.version, self.answered = version, 0
            self.answered += 1
            if mode == "204-once":
                return 204 if self.answered == 1 else 503
            if mode == "silent":
                return None
            return 503 if mode == "503" else 204


class Handler(BaseHTTPRequestHandler):
    server_version = "world/1"
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def record(self, status):
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime())
        line = (f"{stamp} client={self.client_address[0]} local={self.connection.getsockname()[0]} "
                f"{self.command} {self.path} host={self.headers.get('Host', '-')} status={status}\n")
        with self.server.log_lock:
            self.server.log_file.write(line)
            self.server.log_file.flush()

    def answer(self, status, body=b""):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def do_GET(self):
        if self.path == "/generate_204":
            status = self.server.modes.status()
            self.record(status if status is not None else "silent")
            if status is None:
                time.sleep(15)
                self.close_connection = True
                return
            self.answer(status)
            return
        self.record(200)
        self.answer(200, PAGE.format(address=self.connection.getsockname()[0]).encode())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port", type=int, default=80)
    args = parser.parse_args()
    socketserver.TCPServer.allow_reuse_address = True
    # A burst of connections (scripts/bench burst) must not meet the default backlog of 5, whose
    # dropped SYNs cost a second each.
    socketserver.TCPServer.request_queue_size = 1024
    server = ThreadingHTTPServer(("0.0.0.0", args.port), Handler)
    server.daemon_threads = True
    server.modes = ModeFile(args.mode_file)
    server.log_file = open(args.log, "a", encoding="utf-8")
    server.log_lock = threading.Lock()
    print("listening", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        sys.exit(0)


if __name__ == "__main__":
    main()
