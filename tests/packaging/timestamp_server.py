#!/usr/bin/env python3
"""An RFC 3161 timestamp authority on loopback, for the signing tests: every POST of a
timestamp query is answered by `openssl ts -reply` with the given TSA certificate and key, and
counted in COUNT_FILE. Prints the port it listens on, then serves until killed.

usage: timestamp_server.py TSA_CONFIG COUNT_FILE
"""

import http.server
import os
import subprocess
import sys
import tempfile

CONFIG, COUNT_FILE = sys.argv[1], sys.argv[2]


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with tempfile.TemporaryDirectory() as work:
            query_file = os.path.join(work, "query.tsq")
            reply_file = os.path.join(work, "reply.tsr")
            with open(query_file, "wb") as f:
                f.write(query)
            done = subprocess.run(["openssl", "ts", "-reply", "-config", CONFIG, "-queryfile", query_file,
                                   "-out", reply_file], cwd=os.path.dirname(CONFIG), capture_output=True,
                                  check=False)
            if done.returncode != 0:
                self.send_error(500)
                return
            with open(reply_file, "rb") as f:
                reply = f.read()
        with open(COUNT_FILE, "a", encoding="ascii") as f:
            f.write("%s\n" % self.headers.get("Content-Type", ""))
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print(server.server_address[1], flush=True)
server.serve_forever()
