#!/usr/bin/env python3
"""Route agent: applies the route and adapter requests of Windows programs under Wine to the
kernel of the network namespace it runs in (as root), and answers with Windows error numbers.

Clients: the test iphlpapi.dll inside the broker (route writes, the IPv6 table, the link list
with the holders of emulated adapters), the stand-in engine (which holds the adapter
"VantorelTun" for as long as its process lives) and the engine launcher (which has the real
Linux engine run here, see engine_process.py).

Wire: one request per line, "verb key=value ...". The answer is a line with the Windows error
number, then data lines "kind key=value ...", then an empty line. A connection may carry any
number of requests. What a connection acquires (a held adapter) is owned by that connection and
released when it closes, whatever ended the peer; further kinds of owned resources (a supervised
Linux process whose output is relayed) fit the same ownership.

Every request and every release is logged, one line each.
"""

import argparse
import ipaddress
import os
import select
import selectors
import signal
import socket
import sys
import time

import kernel_filters
import kernel_links
import kernel_routes
from engine_process import SupervisedEngine
from kernel_links import AdapterPlan

ERROR_INVALID_PARAMETER = 87
ERROR_NOT_SUPPORTED = 50
ERROR_ALREADY_EXISTS = 183
ERROR_FILE_NOT_FOUND = 2

# A VPN adapter claims a low interface metric so that its routes win, as on Windows.
DEFAULT_INTERFACE_METRICS = {"loopback": 75, "ether": 25, "tunnel": 5}


def parse_request(line):
    words = line.split()
    if not words:
        return None, {}
    fields = {}
    for word in words[1:]:
        key, _, value = word.partition("=")
        fields[key] = value
    return words[0], fields


def format_fields(record, **fields):
    return record + "".join(f" {k}={v}" for k, v in fields.items())


class HeldAdapter:
    """An emulated adapter owned by one connection."""

    def __init__(self, plan, pid, created):
        self.plan = plan
        self.pid = pid
        self.created = created

    def release(self):
        kernel_links.delete_adapter(self.plan)


class FirewallTable:
    """The nftables table standing for one process's WFP filters; it goes when that process's
    connection closes, as a dynamic session's filters go with the process."""

    def release(self):
        kernel_filters.remove()


class Resolver:
    """The namespace's /etc/resolv.conf as Windows' resolver would use the adapters' DNS servers:
    while an adapter that has servers exists, its servers are asked first (the tunnel's metric
    is the lowest); otherwise the file as the suite wrote it. Rewritten in place, since
    `ip netns exec` bind-mounts this very file over /etc/resolv.conf."""

    PATH = "/etc/resolv.conf"

    def __init__(self):
        try:
            with open(self.PATH, encoding="utf-8") as f:
                self.original = f.read()
        except OSError:
            self.original = None
        self.servers = {}  # adapter GUID -> [address]
        self.written = self.original

    def content(self):
        present = {kernel_links.link_alias(link.name).upper() for link in kernel_links.list_links()}
        servers = [s for guid, found in sorted(self.servers.items()) if guid in present for s in found]
        if not servers or self.original is None:
            return self.original
        options = [line for line in self.original.splitlines() if not line.startswith("nameserver")]
        return "".join(f"nameserver {s}\n" for s in servers) + "".join(f"{line}\n" for line in options)

    def refresh(self):
        """Writes the file when its content changes; returns a note for the log or ""."""
        text = self.content()
        if text is None or text == self.written:
            return ""
        with open(self.PATH, "r+", encoding="utf-8") as f:
            f.write(text)
            f.truncate()
        self.written = text
        return "resolver: " + " ".join(line.split()[1] for line in text.splitlines() if line.startswith("nameserver"))


class Connection:
    def __init__(self, sock, number):
        self.sock = sock
        self.number = number
        self.buffer = b""
        self.resources = []
        self.pending_filters = []


class Agent:
    def __init__(self, args):
        self.world_ns = args.world_ns
        self.log_file = open(args.log, "a", buffering=1, encoding="utf-8")
        self.adapters = {args.adapter_name: AdapterPlan(
            name=args.adapter_name, index=args.adapter_index,
            network=ipaddress.ip_network(args.adapter_network), peer_name=args.peer_name)}
        self.held = {}  # adapter name -> (connection, HeldAdapter)
        self.engine_path = args.engine
        self.metrics = {}
        self.selector = selectors.DefaultSelector()
        self.connections = 0
        self.resolver = Resolver()
        self.firewall_owner = None  # the connection whose filters the table holds

    def log(self, text):
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime()) + f".{int(time.time() * 1000) % 1000:03d}Z"
        self.log_file.write(f"{stamp} {text}\n")

    # --- verbs; each returns (code, data lines, log note)

    def verb_ping(self, conn, fields):
        return 0, [], ""

    def verb_state(self, conn, fields):
        lines = []
        self.mark_engine_tun()
        self.refresh_resolver()
        for link in kernel_links.list_links():
            metric = self.metrics.get(link.name, DEFAULT_INTERFACE_METRICS[link.kind()])
            lines.append(format_fields("link", index=link.index, name=link.name, kind=link.kind(),
                                       up=int(link.up), mtu=link.mtu, ipv6=int(link.ipv6),
                                       metric=metric))
        for name, (_, held) in sorted(self.held.items()):
            lines.append(format_fields("held", name=name, index=held.plan.index, pid=held.pid,
                                       created=held.created))
        return 0, lines, ""

    def mark_engine_tun(self):
        """The real engine's TUN (a Linux tun made while an engine runs) gets the GUID Wintun would
        give it, before any caller can see it."""
        if not any(isinstance(key.data, SupervisedEngine) for key in self.selector.get_map().values()):
            return
        for name in self.adapters:
            link = kernel_links.link_by_name(name)
            if link is not None and link.kind() == "tunnel" and kernel_links.link_alias(name) != kernel_links.wintun_guid(name):
                kernel_links.mark_engine_made(name)

    def verb_release(self, conn, fields):
        name = fields.get("name", "")
        entry = self.held.get(name)
        if entry is None or str(entry[1].pid) != fields.get("pid"):
            return 0, [], "nothing held"
        self.release(entry[0], entry[1], "holder gone")
        return 0, [], "released"

    def verb_hold_adapter(self, conn, fields):
        plan = self.adapters.get(fields.get("name", ""))
        if plan is None:
            return ERROR_NOT_SUPPORTED, [], "unknown adapter name"
        if plan.name in self.held:
            self.notice_close(self.held[plan.name][0])  # its holder may be gone, unread
        if plan.name in self.held:
            return ERROR_ALREADY_EXISTS, [], "held by another process"
        kernel_links.delete_adapter(plan)  # a leftover of a holder this agent never saw
        failure = kernel_links.create_adapter(plan, self.world_ns)
        if failure:
            return kernel_routes.ERROR_GEN_FAILURE, [], failure
        held = HeldAdapter(plan, fields.get("pid", "0"), fields.get("created", "0"))
        conn.resources.append(held)
        self.held[plan.name] = (conn, held)
        return 0, [format_fields("adapter", name=plan.name, index=plan.index)], "created"

    def verb_run_engine(self, conn, fields):
        if not self.engine_path:
            return ERROR_NOT_SUPPORTED, [], "no engine given to the agent"
        config = fields.get("config", "")
        if not config.startswith("/") or not os.path.isfile(config):
            return ERROR_FILE_NOT_FOUND, [], f"no configuration at {config!r}"
        try:
            engine = SupervisedEngine(self.engine_path, config)
        except OSError as failure:
            return ERROR_FILE_NOT_FOUND, [], f"engine did not start: {failure!r}"
        engine.conn = conn
        conn.resources.append(engine)
        self.selector.register(engine.fd, selectors.EVENT_READ, engine)
        return 0, [format_fields("engine", pid=engine.pid)], f"engine pid={engine.pid}"

    def on_engine_output(self, engine):
        frame, ended = engine.read_frame()
        if ended:
            self.selector.unregister(engine.fd)
            if engine in engine.conn.resources:
                engine.conn.resources.remove(engine)
            self.log(f"conn={engine.conn.number} engine pid={engine.pid} ended: {frame.strip()}")
            self.refresh_resolver()
        try:
            engine.conn.sock.sendall(frame.encode())
        except OSError:
            pass

    def verb_firewall_filter(self, conn, fields):
        conn.pending_filters.append(kernel_filters.Filter(fields))
        return 0, [], ""

    def verb_firewall_apply(self, conn, fields):
        """The process's whole filter set, sent after every change that took effect."""
        filters, conn.pending_filters = conn.pending_filters, []
        if str(len(filters)) != fields.get("count"):
            return ERROR_INVALID_PARAMETER, [], f"{len(filters)} filters sent, count={fields.get('count')}"
        names = {link.index: link.name for link in kernel_links.list_links()}
        failure = kernel_filters.apply(kernel_filters.ruleset(filters, names))
        if failure:
            return kernel_routes.ERROR_GEN_FAILURE, [], failure
        owner = self.firewall_owner
        if owner is not None and owner is not conn:
            owner.resources = [r for r in owner.resources if not isinstance(r, FirewallTable)]
        has_table = any(isinstance(r, FirewallTable) for r in conn.resources)
        if filters and not has_table:
            conn.resources.append(FirewallTable())
        elif not filters and has_table:
            conn.resources = [r for r in conn.resources if not isinstance(r, FirewallTable)]
        self.firewall_owner = conn if filters else None
        return 0, [], f"{len(filters)} filters"

    def verb_dns_servers(self, conn, fields):
        guid = fields.get("guid", "").upper()
        if len(guid) != 38:
            return ERROR_INVALID_PARAMETER, [], "guid wanted"
        servers = [s for s in fields.get("servers", "").split(",") if s]
        if servers:
            self.resolver.servers[guid] = servers
        else:
            self.resolver.servers.pop(guid, None)
        return 0, [], self.resolver.refresh()

    def refresh_resolver(self):
        note = self.resolver.refresh()
        if note:
            self.log(note)

    def verb_interface_metric(self, conn, fields):
        try:
            self.metrics[fields["name"]] = int(fields["metric"])
        except (KeyError, ValueError):
            return ERROR_INVALID_PARAMETER, [], "name and metric wanted"
        return 0, [], ""

    def route_request(self, fields):
        return kernel_routes.RouteRequest(
            family=int(fields["family"]), destination=fields["destination"],
            prefix_length=int(fields["prefix"]), next_hop=fields.get("next_hop", ""),
            if_index=int(fields["index"]), metric=int(fields.get("metric", "0")))

    def apply_route(self, fields, write):
        try:
            request = self.route_request(fields)
        except (KeyError, ValueError):
            return ERROR_INVALID_PARAMETER, [], "malformed request"
        code, message = write(request)
        return code, [], message

    def verb_route_add(self, conn, fields):
        return self.apply_route(fields, kernel_routes.add_route)

    def verb_route_delete(self, conn, fields):
        return self.apply_route(fields, kernel_routes.delete_route)

    def verb_routes6(self, conn, fields):
        indexes = {link.name: link.index for link in kernel_links.list_links()}
        lines = []
        for route in kernel_routes.read_routes(6):
            if route.dev not in indexes:
                continue
            lines.append(format_fields("route", destination=route.network.network_address,
                                       prefix=route.network.prefixlen,
                                       next_hop=route.gateway or "::", index=indexes[route.dev],
                                       metric=route.metric, protocol=route.windows_protocol()))
        return 0, lines, ""

    # --- connections

    def release(self, conn, held, why):
        if isinstance(held, SupervisedEngine):
            self.selector.unregister(held.fd)
            held.stop()
            conn.resources.remove(held)
            self.log(f"conn={conn.number} engine pid={held.pid} stopped ({why})")
            self.refresh_resolver()
            return
        if isinstance(held, FirewallTable):
            held.release()
            conn.resources.remove(held)
            self.firewall_owner = None
            self.log(f"conn={conn.number} filters removed ({why})")
            return
        held.release()
        if held in conn.resources:
            conn.resources.remove(held)
        self.held.pop(held.plan.name, None)
        self.log(f"conn={conn.number} release {held.plan.name} pid={held.pid} ({why})")
        self.refresh_resolver()

    def handle_line(self, conn, line):
        verb, fields = parse_request(line)
        handler = getattr(self, f"verb_{verb}", None) if verb else None
        if handler is None:
            code, lines, note = ERROR_NOT_SUPPORTED, [], "unknown verb"
        else:
            try:
                code, lines, note = handler(conn, fields)
            except Exception as failure:  # one bad request must not end the agent
                code, lines, note = kernel_routes.ERROR_GEN_FAILURE, [], f"agent fault: {failure!r}"
        self.log(f"conn={conn.number} {line} -> {code}" + (f" ({note})" if note else ""))
        reply = "".join(f"{text}\n" for text in [str(code)] + lines) + "\n"
        try:
            conn.sock.sendall(reply.encode())
        except OSError:
            pass

    def close(self, conn):
        self.selector.unregister(conn.sock)
        conn.sock.close()
        for resource in list(conn.resources):
            self.release(conn, resource, "connection closed")

    def notice_close(self, conn):
        """Handles a connection's pending end now rather than at its turn in the loop."""
        ready, _, _ = select.select([conn.sock], [], [], 0)
        if not ready:
            return
        try:
            ended = not conn.sock.recv(1, socket.MSG_PEEK)
        except OSError:
            ended = True
        if ended:
            self.close(conn)

    def on_readable(self, conn):
        try:
            data = conn.sock.recv(65536)
        except OSError:
            data = b""
        if not data:
            self.close(conn)
            return
        conn.buffer += data
        while b"\n" in conn.buffer:
            raw, conn.buffer = conn.buffer.split(b"\n", 1)
            self.handle_line(conn, raw.decode("utf-8", "replace").strip())

    def on_accept(self, listener):
        sock, _ = listener.accept()
        self.connections += 1
        conn = Connection(sock, self.connections)
        self.selector.register(sock, selectors.EVENT_READ, conn)

    def serve(self, listener):
        self.selector.register(listener, selectors.EVENT_READ, None)
        while True:
            for key, _ in self.selector.select():
                if key.data is None:
                    self.on_accept(listener)
                elif isinstance(key.data, SupervisedEngine):
                    self.on_engine_output(key.data)
                else:
                    self.on_readable(key.data)

    def shutdown(self):
        self.resolver.servers.clear()
        for name, (conn, held) in list(self.held.items()):
            self.release(conn, held, "agent stopping")
        for key in list(self.selector.get_map().values()):
            if isinstance(key.data, Connection):
                for resource in list(key.data.resources):
                    self.release(key.data, resource, "agent stopping")
        self.refresh_resolver()


def write_port_file(path, port):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".tmp", "w", encoding="ascii") as f:
        f.write(f"127.0.0.1:{port}\n")
    os.replace(path + ".tmp", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port-file", required=True, help="where to write 127.0.0.1:PORT")
    parser.add_argument("--log", required=True)
    parser.add_argument("--world-ns", required=True, help="namespace of the adapters' far ends")
    parser.add_argument("--adapter-name", default="VantorelTun")
    parser.add_argument("--adapter-index", type=int, default=40)
    parser.add_argument("--adapter-network", default="172.19.0.0/30")
    parser.add_argument("--peer-name", default="tun-world")
    parser.add_argument("--engine", default="", help="the Linux sing-box that run_engine starts")
    args = parser.parse_args()

    agent = Agent(args)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def stop(signum, frame):
        agent.shutdown()
        try:
            os.unlink(args.port_file)
        except OSError:
            pass
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    agent.log(f"listening on 127.0.0.1:{listener.getsockname()[1]}")
    write_port_file(args.port_file, listener.getsockname()[1])
    agent.serve(listener)


if __name__ == "__main__":
    main()
