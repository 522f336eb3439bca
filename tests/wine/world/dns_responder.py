#!/usr/bin/env python3
"""A DNS responder for the leak probes: answers A queries for the names it is given, NXDOMAIN for
the rest, over UDP, and logs every query with the address it came from and the one it reached,
so a probe can tell which resolver (the world's, behind the tunnel, or the on-link one) was asked.
Optionally accepts TCP connections on more ports (a "public" host that answers directly)."""

import argparse
import selectors
import socket
import struct
import threading
import time


def question(packet):
    """(id, flags, name, qtype, end of the question) of a query, or None."""
    if len(packet) < 12:
        return None
    ident, flags, qdcount = struct.unpack("!HHH", packet[:6])
    if qdcount != 1 or flags & 0x8000:
        return None
    labels, at = [], 12
    while at < len(packet) and packet[at] != 0:
        length = packet[at]
        if length > 63 or at + 1 + length > len(packet):
            return None
        labels.append(packet[at + 1:at + 1 + length].decode("ascii", "replace"))
        at += 1 + length
    if at + 5 > len(packet):
        return None
    qtype, _ = struct.unpack("!HH", packet[at + 1:at + 5])
    return ident, flags, ".".join(labels).lower(), qtype, at + 5


def answer(packet, answers):
    parsed = question(packet)
    if parsed is None:
        return None, ""
    ident, flags, name, qtype, end = parsed
    address = answers.get(name)
    rcode = 0 if address else 3
    records = b""
    if address and qtype == 1:
        records = struct.pack("!HHHIH", 0xC00C, 1, 1, 5, 4) + socket.inet_aton(address)
    header = struct.pack("!HHHHHH", ident, 0x8180 | (flags & 0x0100) | rcode, 1, 1 if records else 0, 0, 0)
    return header + packet[12:end] + records, name


def serve_udp(sockets, answers, log):
    """One socket per address: a resolver takes an answer only from the address it asked."""
    selector = selectors.DefaultSelector()
    for sock in sockets:
        selector.register(sock, selectors.EVENT_READ)
    while True:
        for key, _ in selector.select():
            packet, peer = key.fileobj.recvfrom(4096)
            reply, name = answer(packet, answers)
            if reply is None:
                continue
            log(f"query {name} from {peer[0]}:{peer[1]} to {key.fileobj.getsockname()[0]}")
            key.fileobj.sendto(reply, peer)


def serve_tcp(listener, log):
    while True:
        conn, peer = listener.accept()
        log(f"tcp from {peer[0]} to {conn.getsockname()[0]}:{conn.getsockname()[1]}")
        conn.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen", action="append", required=True, help="an address for UDP port 53")
    parser.add_argument("--answer", action="append", default=[], help="NAME=ADDRESS")
    parser.add_argument("--tcp-port", action="append", type=int, default=[])
    parser.add_argument("--log", required=True)
    args = parser.parse_args()
    answers = dict(item.lower().split("=", 1) for item in args.answer)
    out = open(args.log, "a", buffering=1, encoding="utf-8")
    lock = threading.Lock()

    def log(text):
        with lock:
            out.write(f"{time.time():.3f} {text}\n")

    sockets = []
    for address in args.listen:
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind((address, 53))
        sockets.append(udp)
    for port in args.tcp_port:
        for family, anywhere in ((socket.AF_INET, "0.0.0.0"), (socket.AF_INET6, "::")):
            listener = socket.socket(family, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            listener.bind((anywhere, port))
            listener.listen(16)
            threading.Thread(target=serve_tcp, args=(listener, log), daemon=True).start()
    print(f"dns responder on {', '.join(args.listen)} port 53", flush=True)
    serve_udp(sockets, answers, log)


if __name__ == "__main__":
    main()
