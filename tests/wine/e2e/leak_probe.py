#!/usr/bin/env python3
"""Traffic as the machine's other programs make it, for the leak cases: run inside the test
namespace, it tries each probe once and prints one JSON line per probe with what came back.
Where the packets went is not its business: a capture on the physical link says that.

Usage: leak_probe.py GATEWAY PUBLIC_HOST PHYSICAL_LINK PHYSICAL_ADDRESS NAME PUBLIC_HOST6 PHYSICAL_ADDRESS6 [quick|N]
("quick": the TCP and UDP probes alone, for a moment that lasts a moment; N: the N-th alone)
"""

import json
import socket
import struct
import sys

TIMEOUT = 1.5
SO_BINDTODEVICE = 25


def dns_query(name):
    labels = b"".join(bytes([len(p)]) + p.encode() for p in name.split("."))
    return struct.pack("!HHHHHH", 0x5654, 0x0100, 1, 0, 0, 0) + labels + b"\0" + struct.pack("!HH", 1, 1)


def dns_answer(reply):
    """The first A record of a reply, or the rcode as text."""
    if len(reply) < 12:
        return "short reply"
    rcode = struct.unpack("!H", reply[2:4])[0] & 0xF
    if rcode or len(reply) < 16:
        return f"rcode {rcode}"
    return socket.inet_ntoa(reply[-4:])


def udp_dns(server, name):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(TIMEOUT)
        s.sendto(dns_query(name), (server, 53))
        return dns_answer(s.recv(512))


def system_dns(name):
    return socket.getaddrinfo(name, 80, socket.AF_INET, socket.SOCK_STREAM)[0][4][0]


def tcp(host, port, family=socket.AF_INET, device=None, source=None):
    with socket.socket(family, socket.SOCK_STREAM) as s:
        if device:
            s.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, device.encode())
        if source:
            s.bind((source, 0))
        s.settimeout(TIMEOUT)
        s.connect((host, port))
        return "connected"


def udp(host, port, family=socket.AF_INET, device=None, source=None):
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        if device:
            s.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, device.encode())
        if source:
            s.bind((source, 0))
        s.sendto(b"vantorel leak probe", (host, port))
        return "sent"


def checksum(data):
    data += b"\0" * (len(data) % 2)
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ping(host):
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP) as s:
        s.settimeout(TIMEOUT)
        body = struct.pack("!BBHHH", 8, 0, 0, 0x5654, 1) + b"probe"
        s.sendto(body[:2] + struct.pack("!H", checksum(body)) + body[4:], (host, 0))
        while True:
            reply, peer = s.recvfrom(1024)
            if peer[0] == host and reply[20] == 0:
                return "echo reply"


def probes(gateway, public, link, address, name, public6, address6):
    return [
        ("DNS to the on-link resolver", lambda: udp_dns(gateway, name)),
        ("DNS over TCP to the on-link resolver", lambda: tcp(gateway, 53)),
        ("DNS to a public resolver", lambda: udp_dns("9.9.9.9", name)),
        ("a name through the system resolver", lambda: system_dns(name)),
        ("TCP to a public address", lambda: tcp(public, 80)),
        ("UDP to a public address", lambda: udp(public, 9)),
        ("ICMP to a public address", lambda: ping(public)),
        ("TCP from a socket bound to the physical link",
         lambda: tcp(public, 80, device=link, source=address)),
        ("UDP from a socket bound to the physical link",
         lambda: udp(public, 9, device=link, source=address)),
        ("IPv6 to a public address", lambda: tcp(public6, 80, family=socket.AF_INET6)),
        ("IPv6 from a socket bound to the physical link",
         lambda: tcp(public6, 80, family=socket.AF_INET6, device=link, source=address6)),
    ]


QUICK = ("TCP to a public address", "UDP to a public address")


def main():
    choice = sys.argv[8] if len(sys.argv) > 8 else ""
    for number, (label, probe) in enumerate(probes(*sys.argv[1:8])):
        if (choice == "quick" and label not in QUICK) or (choice.isdigit() and int(choice) != number):
            continue
        try:
            result = probe()
        except OSError as failure:
            result = f"error: {failure.strerror or failure}" if not isinstance(failure, socket.timeout) else "timed out"
        print(json.dumps({"probe": label, "result": result}), flush=True)


if __name__ == "__main__":
    main()
