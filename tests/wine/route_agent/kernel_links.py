"""The links of the agent's network namespace, read from sysfs, and the emulated adapters.

An emulated adapter is a veth whose far end sits in the "world" namespace, so traffic sent
into it really leaves the test namespace. It is always created with the same interface index:
Wine keeps every link it has seen under its first index, so a link re-created under a new index
would be reported with stale identifiers.
"""

import hashlib
import ipaddress
import os
import subprocess
import uuid
from dataclasses import dataclass

SYS_NET = "/sys/class/net"
ARPHRD_ETHER = 1
ARPHRD_LOOPBACK = 772
IFF_UP = 0x1


@dataclass
class Link:
    index: int
    name: str
    arp_type: int
    up: bool
    mtu: int
    ipv6: bool

    def kind(self):
        if self.arp_type == ARPHRD_LOOPBACK:
            return "loopback"
        if self.arp_type == ARPHRD_ETHER:
            return "ether"
        return "tunnel"


def _read(path):
    with open(path, encoding="ascii") as f:
        return f.read().strip()


def _ipv6_enabled(name):
    try:
        return _read(f"/proc/sys/net/ipv6/conf/{name}/disable_ipv6") == "0"
    except OSError:
        return False


def list_links():
    """Every link of the namespace, ordered by index; a link that vanishes while read is left out."""
    links = []
    for name in os.listdir(SYS_NET):
        base = os.path.join(SYS_NET, name)
        try:
            links.append(Link(index=int(_read(base + "/ifindex")), name=name,
                              arp_type=int(_read(base + "/type")),
                              up=(int(_read(base + "/flags"), 16) & IFF_UP) != 0,
                              mtu=int(_read(base + "/mtu")), ipv6=_ipv6_enabled(name)))
        except (OSError, ValueError):
            continue
    return sorted(links, key=lambda link: link.index)


def link_by_index(index):
    for link in list_links():
        if link.index == index:
            return link
    return None


def link_by_name(name):
    for link in list_links():
        if link.name == name:
            return link
    return None


def wintun_guid(name):
    """The GUID sing-tun asks Wintun to give its adapter: md5("wintun" + name) as a GUID structure."""
    return "{%s}" % str(uuid.UUID(bytes_le=hashlib.md5(b"wintun" + name.encode()).digest())).upper()


def link_alias(name):
    try:
        return _read(os.path.join(SYS_NET, name, "ifalias"))
    except OSError:
        return ""


def mark_engine_made(name):
    """Writes the GUID Wintun would have given the adapter into the link's alias, which the test
    iphlpapi.dll reports as the adapter's GUID (Wine derives GUIDs from the index instead)."""
    return run_ip("link", "set", name, "alias", wintun_guid(name))


def run_ip(*args):
    """Runs `ip`; returns (exit status, the error text without its "Error:"/"RTNETLINK answers:" lead)."""
    done = subprocess.run(("ip",) + args, capture_output=True, text=True, check=False)
    message = done.stderr.strip().splitlines()[-1] if done.stderr.strip() else ""
    for lead in ("Error: ", "RTNETLINK answers: "):
        if message.startswith(lead):
            message = message[len(lead):]
    return done.returncode, message


@dataclass
class AdapterPlan:
    """One emulated adapter: its name and fixed index here, its far end in the world namespace."""
    name: str
    index: int
    network: ipaddress.IPv4Network
    peer_name: str

    def local_address(self):
        return f"{self.network[1]}/{self.network.prefixlen}"

    def peer_address(self):
        return f"{self.network[2]}/{self.network.prefixlen}"


def create_adapter(plan, world_ns):
    """Creates the veth pair up on both ends with addresses and the world's way back.

    Returns None on success, otherwise the failing command's message.
    """
    steps = [
        ("link", "add", plan.name, "index", str(plan.index), "type", "veth", "peer", "name",
         plan.peer_name, "netns", world_ns),
        ("addr", "add", plan.local_address(), "dev", plan.name),
        ("-n", world_ns, "addr", "add", plan.peer_address(), "dev", plan.peer_name),
        ("-n", world_ns, "link", "set", plan.peer_name, "up"),
        ("link", "set", plan.name, "alias", wintun_guid(plan.name)),
        ("link", "set", plan.name, "up"),
        ("-n", world_ns, "route", "replace", "default", "via", str(plan.network[1]), "dev",
         plan.peer_name),
    ]
    for step in steps:
        status, message = run_ip(*step)
        if status != 0:
            delete_adapter(plan)
            return f"ip {' '.join(step)}: {message}"
    return None


def delete_adapter(plan):
    """Deleting one end of a veth deletes both; every route through it goes with it."""
    if link_by_name(plan.name) is not None:
        run_ip("link", "del", plan.name)
