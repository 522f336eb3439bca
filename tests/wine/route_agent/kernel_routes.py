"""Route writes as Windows' CreateIpForwardEntry2/DeleteIpForwardEntry2 answer them, applied to
the kernel's main table with `ip`.

Windows identifies a route by destination prefix, interface and next hop; the kernel also by
metric. So the duplicate and missing-route checks are made here on Windows' key before the
kernel is asked, and the kernel's own refusals are mapped onto Windows error numbers.
"""

import ipaddress
import json
import subprocess
from dataclasses import dataclass

from kernel_links import link_by_index, run_ip

ERROR_INVALID_PARAMETER = 87
ERROR_NOT_FOUND = 1168
ERROR_NETWORK_UNREACHABLE = 1231
ERROR_OBJECT_ALREADY_EXISTS = 5010
ERROR_GEN_FAILURE = 31

# Windows' NL_ROUTE_PROTOCOL values for what the kernel reports.
PROTOCOL_LOCAL = 2
PROTOCOL_NETMGMT = 3

SKIPPED_TYPES = {"unreachable", "blackhole", "prohibit", "throw", "local", "broadcast",
                 "multicast", "anycast", "nat"}


@dataclass
class KernelRoute:
    network: object  # ipaddress.IPv4Network or IPv6Network
    gateway: str     # "" when on-link
    dev: str
    metric: int
    protocol: str

    def windows_protocol(self):
        return PROTOCOL_LOCAL if self.protocol == "kernel" else PROTOCOL_NETMGMT


def _network_of(dst, family):
    if dst == "default":
        dst = "0.0.0.0/0" if family == 4 else "::/0"
    return ipaddress.ip_network(dst, strict=False)


def parse_routes(text, family):
    """The unicast routes of `ip -j route show table main` output."""
    routes = []
    for entry in json.loads(text or "[]"):
        if entry.get("type", "unicast") in SKIPPED_TYPES or "dev" not in entry:
            continue
        routes.append(KernelRoute(network=_network_of(entry["dst"], family),
                                  gateway=entry.get("gateway", ""), dev=entry["dev"],
                                  metric=int(entry.get("metric", 0)),
                                  protocol=entry.get("protocol", "boot")))
    return routes


def read_routes(family):
    done = subprocess.run(["ip", "-j", f"-{family}", "route", "show", "table", "main"],
                          capture_output=True, text=True, check=False)
    return parse_routes(done.stdout, family)


@dataclass
class RouteRequest:
    """The parts of a MIB_IPFORWARD_ROW2 the kernel needs; the shim checked the row's shape."""
    family: int
    destination: str
    prefix_length: int
    next_hop: str     # "" or the unspecified address: on-link
    if_index: int
    metric: int

    def network(self):
        """The prefix, or None when host bits are set beyond the prefix length."""
        try:
            return ipaddress.ip_network(f"{self.destination}/{self.prefix_length}", strict=True)
        except ValueError:
            return None

    def gateway(self):
        if not self.next_hop:
            return ""
        address = ipaddress.ip_address(self.next_hop)
        return "" if address.is_unspecified else str(address)


def matches(route, request, network, dev):
    return route.network == network and route.dev == dev and route.gateway == request.gateway()


def map_kernel_refusal(message, has_gateway):
    """The Windows error number for an `ip route` failure message."""
    if "File exists" in message:
        return ERROR_OBJECT_ALREADY_EXISTS
    if "No such process" in message or "Cannot find device" in message:
        return ERROR_NOT_FOUND
    if has_gateway and ("gateway" in message or "unreachable" in message.lower()):
        return ERROR_NETWORK_UNREACHABLE
    if "Invalid" in message or "invalid" in message:
        return ERROR_INVALID_PARAMETER
    return ERROR_GEN_FAILURE


def _route_args(request, network, dev, metric):
    args = [f"-{request.family}", "route"]
    target = [str(network)]
    if request.gateway():
        target += ["via", request.gateway()]
    return args, target + ["dev", dev, "metric", str(metric)]


def _target(request):
    """(network, link, None), or (None, None, (error, message)) when the request names neither."""
    network = request.network()
    if network is None:
        return None, None, (ERROR_INVALID_PARAMETER, "host bits set beyond the prefix")
    link = link_by_index(request.if_index)
    if link is None:
        return None, None, (ERROR_NOT_FOUND, f"no interface {request.if_index}")
    return network, link, None


def add_route(request):
    """Returns a Windows error number (0 on success) and the command's message."""
    network, link, refusal = _target(request)
    if refusal:
        return refusal
    if any(matches(r, request, network, link.name) for r in read_routes(request.family)):
        return ERROR_OBJECT_ALREADY_EXISTS, "route exists"
    head, tail = _route_args(request, network, link.name, request.metric)
    status, message = run_ip(*head, "add", *tail, "proto", "static")
    if status != 0:
        return map_kernel_refusal(message, bool(request.gateway())), message
    return 0, ""


def delete_route(request):
    network, link, refusal = _target(request)
    if refusal:
        return refusal
    found = [r for r in read_routes(request.family) if matches(r, request, network, link.name)]
    if not found:
        return ERROR_NOT_FOUND, "no such route"
    head, tail = _route_args(request, network, link.name, found[0].metric)
    status, message = run_ip(*head, "del", *tail)
    if status != 0:
        return map_kernel_refusal(message, False), message
    return 0, ""
