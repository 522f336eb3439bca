#!/usr/bin/env python3
"""The site a Reality server borrows its handshake from, for the test namespaces: TLS 1.3 with
the given certificate, any number of connections at once (openssl s_server serves one at a time,
and the engine's own fallback request can hold that one for seconds), a short page to every
request.

usage: cover_site.py --listen 127.0.0.1:9443 --cert CERT --key KEY"""

import argparse
import http.server
import ssl


class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):  # noqa: N802  (the handler's name is fixed by http.server)
        body = b"cover\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    args = parser.parse_args()
    host, port = args.listen.rsplit(":", 1)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_3
    context.load_cert_chain(args.cert, args.key)
    server = http.server.ThreadingHTTPServer((host, int(port)), Page)
    server.daemon_threads = True
    server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    server.serve_forever()


if __name__ == "__main__":
    main()
