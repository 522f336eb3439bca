"""Leak cases: a capture on the test namespace's physical link (vt-phys) while the machine's other
programs try DNS, TCP, UDP, ICMP, bound sockets and IPv6 (leak_probe.py), in each state of a
session. While connected nothing may leave there but the engine's own traffic to the proxy
server; idle, after a disconnect and after a killed broker the same probes go out directly.

The far side of vt-phys is the "LAN": the proxy server's namespace with the real engine, a
namespace made for the case with the stand-in. It holds the gateway 10.213.0.1 with a DNS
responder (the on-link resolver almost every home PC is given) and a "public" host 203.0.113.9.
"""

import json
import os
import signal
import subprocess
import time

import leak_probe
from case_support import check_clean, connected_session, disconnect, session_text, wait_idle
from e2e_env import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
RESPONDER = os.path.join(HERE, "..", "world", "dns_responder.py")
PUBLIC_HOST = "203.0.113.9"
PUBLIC_HOST6 = "2001:db8:113::9"
PHYSICAL = ("vt-phys", "10.213.0.2")
LAN6 = ("2001:db8:213::1", "2001:db8:213::2")  # the gateway's and the host's IPv6 addresses
NAME = "leak.vantorel.test"
WORLD_ANSWER = "198.18.0.80"  # the world's responder, reached only through the tunnel


class Lan:
    """The gateway's side of vt-phys for the length of a case."""

    def __init__(self, env, ipv6=True):
        self.env = env
        # IPv6 for the host too, which changes the host's own routes: only before a session, as
        # the watch ends one whose uplink gains a route.
        self.ipv6 = ipv6
        self.peer = os.environ.get("VT_PEER_NS", "")
        self.ns = self.peer or f"vt-lan-{os.getpid()}"
        self.log = os.path.join(env.work, "lan-dns.log")
        self.responder = None

    def ip(self, *args):
        subprocess.run(["ip", "-n", self.ns, *args], check=True, capture_output=True)

    def __enter__(self):
        if not self.peer:
            subprocess.run(["ip", "netns", "add", self.ns], check=True)
            self.ip("link", "set", "lo", "up")
            self.env.ip("link", "set", "vt-gw", "netns", self.ns)
            self.ip("addr", "add", f"{self.env.gateway}/24", "dev", "vt-gw")
            self.ip("link", "set", "vt-gw", "up")
        self.ip("addr", "add", f"{PUBLIC_HOST}/32", "dev", "lo")
        if self.ipv6:
            # IPv6 on the LAN too, so that IPv6 has a way out that the filters must close.
            self.ip("addr", "add", f"{PUBLIC_HOST6}/128", "dev", "lo")
            self.ip("addr", "add", f"{LAN6[0]}/64", "dev", "vt-gw", "nodad")
            self.env.ip("addr", "add", f"{LAN6[1]}/64", "dev", PHYSICAL[0], "nodad")
            self.env.ip("-6", "route", "add", "default", "via", LAN6[0], "dev", PHYSICAL[0], "metric", "10")
        self.responder = subprocess.Popen(
            ["ip", "netns", "exec", self.ns, "python3", "-B", RESPONDER, "--listen", self.env.gateway,
             "--answer", f"{NAME}={self.env.gateway}", "--tcp-port", "80", "--log", self.log],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.responder.stdout.readline()  # "dns responder on ..."
        return self

    def __exit__(self, *exc):
        self.responder.send_signal(signal.SIGTERM)
        self.responder.wait()
        self.ip("addr", "del", f"{PUBLIC_HOST}/32", "dev", "lo")
        if self.ipv6:
            self.ip("addr", "del", f"{PUBLIC_HOST6}/128", "dev", "lo")
            self.ip("addr", "del", f"{LAN6[0]}/64", "dev", "vt-gw")
            self.env.ip("-6", "route", "del", "default", "via", LAN6[0], "dev", PHYSICAL[0])
            self.env.ip("addr", "del", f"{LAN6[1]}/64", "dev", PHYSICAL[0])
        if not self.peer:
            self.ip("link", "set", "vt-gw", "netns", self.env.ns)
            self.env.ip("link", "set", "vt-gw", "up")
            subprocess.run(["ip", "netns", "del", self.ns], check=False)

    def queries(self):
        """The DNS queries the on-link resolver answered."""
        try:
            with open(self.log, encoding="utf-8") as f:
                return [line for line in f if " query " in line]
        except OSError:
            return []


class Capture:
    """tcpdump on vt-phys while the block runs; `lines` are the packets it saw, as tcpdump reads them."""

    def __init__(self, env, label):
        self.env = env
        self.path = os.path.join(env.work, f"capture-{label}.pcap")
        self.lines = []

    def __enter__(self):
        self.proc = subprocess.Popen(
            # Immediate mode: the kernel's ring otherwise hands packets over in blocks once a second,
            # and the last block before the stop would be lost.
            ["ip", "netns", "exec", self.env.ns, "tcpdump", "-i", PHYSICAL[0], "-n", "--immediate-mode", "-U",
             "-w", self.path],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.proc.stderr.readline()  # "listening on vt-phys ..." once the capture runs
        return self

    def __exit__(self, *exc):
        time.sleep(0.3)  # the last answers
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(10)
        done = subprocess.run(["tcpdump", "-r", self.path, "-n", "-tt", "not", "arp"], capture_output=True, text=True)
        self.lines = done.stdout.splitlines()

    def outside(self, server_ip):
        """Packets other than the engine's to the proxy server, DHCP and neighbour discovery."""
        allowed = (f" {server_ip}.", f" {server_ip}:", "ICMP6, neighbor", "ICMP6, router", "ICMP6, multicast",
                   "BOOTP/DHCP")
        return [line for line in self.lines if not any(word in line for word in allowed)]


def probe(env, quick=False, only=None):
    """Runs the probes in the test namespace: {probe label: result}."""
    choice = ["quick"] if quick else [str(only)] if only is not None else []
    args = ["ip", "netns", "exec", env.ns, "python3", "-B", os.path.join(HERE, "leak_probe.py"), env.gateway,
            PUBLIC_HOST, *PHYSICAL, NAME, PUBLIC_HOST6, LAN6[1]] + choice
    done = subprocess.run(args, capture_output=True, text=True, timeout=60, check=False)
    results = {}
    for line in done.stdout.splitlines():
        record = json.loads(line)
        results[record["probe"]] = record["result"]
    return results


def shown(results, capture=None):
    lines = [f"{label}: {result}" for label, result in results.items()]
    return lines + (["packets on vt-phys:"] + capture.lines if capture else [])


def check_direct(suite, name, lan, results, capture):
    """What a host without the tunnel does: the on-link resolver answers, the public host too,
    and the capture saw them go."""
    env = suite.env
    suite.check(f"{name}: the on-link resolver answers and the public host accepts, directly on vt-phys",
                results.get("DNS to the on-link resolver") == env.gateway
                and results.get("TCP to a public address") == "connected"
                and results.get("IPv6 to a public address") == "connected"
                and any(f"{env.gateway}.53:" in line for line in capture.lines)
                and any(f"{PUBLIC_HOST}.80:" in line for line in capture.lines)
                and any(f"{PUBLIC_HOST6}.80:" in line for line in capture.lines), *shown(results, capture))


def leaks_while_connected(suite, name, connect, server_ip, through_tunnel_tcp):
    """The whole leak case; `connect` makes a connected session: (session, generation) or (None, None)."""
    env = suite.env
    with Lan(env) as lan:
        before = env.routes()
        with Capture(env, "idle") as idle:
            results = probe(env)
        check_direct(suite, f"{name}: idle", lan, results, idle)

        session, generation = connect()
        if session is None:
            return
        asked = len(lan.queries())
        world_asked = env.text_of("world-dns.log").count(f"query {NAME}")
        with Capture(env, "connected") as connected:
            results = probe(env)
        suite.check(f"{name}: connected, nothing leaves on vt-phys but the engine's traffic to the proxy server",
                    connected.outside(server_ip) == [], *shown(results, connected))
        suite.check(f"{name}: connected, the on-link resolver was asked nothing",
                    len(lan.queries()) == asked, *lan.queries()[asked:])
        suite.check(f"{name}: connected, names resolve through the tunnel (the world's resolver answers)",
                    results.get("a name through the system resolver") == WORLD_ANSWER
                    and env.text_of("world-dns.log").count(f"query {NAME}") > world_asked,
                    *shown(results), env.text_of("world-dns.log"))
        if through_tunnel_tcp:
            suite.check(f"{name}: connected, the public host is reached through the tunnel",
                        results.get("TCP to a public address") == "connected", *shown(results))

        final = disconnect(session, generation)
        suite.check(f"{name}: disconnect ends idle, cleanup verified", final is not None, *session_text(session))
        session.close()
        check_clean(suite, f"{name}: after the disconnect, filters, resolver and tables are as before", before)
        with Capture(env, "after") as after:
            results = probe(env)
        check_direct(suite, f"{name}: after the disconnect", lan, results, after)

        # A route that beats the capture halves (DHCP option 121): the filters hold until the
        # watch ends the session.
        session, generation = connect()
        if session is None:
            return
        env.ip("route", "add", "203.0.113.0/24", "via", env.gateway, "dev", PHYSICAL[0])
        try:
            with Capture(env, "pushed-route") as pushed:
                results = probe(env, quick=True)
            suite.check(f"{name}: a route pushed onto vt-phys takes nothing out before the session ends",
                        pushed.outside(server_ip) == [], *shown(results, pushed))
            final = wait_idle(session, generation)
            suite.check(f"{name}: the pushed route ends the session, cleanup verified",
                        final is not None and final.get("cleanup_verified") is True, final, *session_text(session))
        finally:
            env.ip("route", "del", "203.0.113.0/24", "via", env.gateway, "dev", PHYSICAL[0])
        session.close()
        check_clean(suite, f"{name}: after the pushed route, filters, resolver and tables are as before", before)
    return before


def killed_broker(suite, name, connect):
    """Inside a Lan: a broker killed while connected takes its filters with it at once."""
    env = suite.env
    session, generation = connect()
    if session is None:
        return
    broker = env.broker_pid()
    filters_up = env.filters() != env.filters_before
    os.kill(broker, signal.SIGKILL)
    gone = wait_until(lambda: env.filters() == env.filters_before and env.resolver() == env.resolver_before, 5)
    suite.check(f"{name}: the filters and the tunnel's resolver go with the killed broker's process",
                filters_up and gone, env.filters(), env.resolver())
    session.close()
    return generation


def case_leaks(suite):
    """With the stand-in engine (the tunnel is a veth to the world; no proxy server is asked)."""
    env = suite.env
    name = "leaks"
    before = leaks_while_connected(suite, name, lambda: connected_session(suite, f"{name}-connect"), env.server_ip,
                                   through_tunnel_tcp=False)
    if before is None:
        return
    with Lan(env) as lan:
        killed_broker(suite, f"{name}: killed broker", lambda: connected_session(suite, f"{name}-killed"))
        with Capture(env, "killed") as capture:
            results = probe(env)
        check_direct(suite, f"{name}: killed broker, before recovery", lan, results, capture)
        suite.check(f"{name}: killed broker: the service starts again", env.service("start") == 0)
        status = wait_until(lambda: (lambda s: s if s and s.get("state") == "idle" else None)(env.status()), 20)
        suite.check(f"{name}: killed broker: recovery ends idle, cleanup verified",
                    status is not None and status.get("cleanup_verified") is True, status)
        check_clean(suite, f"{name}: killed broker: the host is as before", before)
    # vt-gw's link-local route comes back when its address does; the kernel may list it first.
    settled = wait_until(lambda: sorted(env.routes().splitlines()) == sorted(suite.baseline.splitlines()), 10)
    suite.check(f"{name}: vt-gw is back and the tables hold the suite's baseline routes", settled, env.routes(),
                "baseline:", suite.baseline)


def report():
    """For scripts/run, while connected: one line per probe, with what it got and what the
    capture on vt-phys saw of it."""
    from e2e_env import Env
    env = Env()
    server_ip = env.server_ip
    with Lan(env, ipv6=False):  # the session is up: the host's routes must stay as they are
        for number in range(len(leak_probe.probes(*[""] * 7))):
            with Capture(env, f"report-{number}") as capture:
                results = probe(env, only=number)
            for label, result in results.items():
                outside = capture.outside(server_ip)
                proxied = len(capture.lines) - len(outside)
                where = (f"LEFT on vt-phys: {outside[0]}" if outside else
                         f"nothing on vt-phys but {proxied} packets of the engine to the proxy server" if proxied else
                         "nothing on vt-phys")
                print(f"  {label}: {result} -- {where}")


if __name__ == "__main__":
    report()
