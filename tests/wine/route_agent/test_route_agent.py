"""The route agent's pure parts: reading `ip -j route`, requests, and the Windows error numbers
given to the kernel's refusals. Run natively by ctest; needs no privileges."""

import ipaddress
import os
import stat
import tempfile
import time
import unittest

import kernel_filters
import kernel_links
import kernel_routes
from engine_process import SupervisedEngine
from kernel_routes import KernelRoute, RouteRequest, map_kernel_refusal, parse_routes
from route_agent import parse_request


class ParseRoutes(unittest.TestCase):
    def test_defaults_hosts_and_skipped_types(self):
        text = ('[{"dst":"default","gateway":"10.213.0.1","dev":"vt-phys","metric":10,"flags":[]},'
                '{"dst":"192.0.2.10","gateway":"10.213.0.1","dev":"vt-phys","protocol":"static","metric":16},'
                '{"dst":"10.213.0.0/24","dev":"vt-phys","protocol":"kernel","scope":"link"},'
                '{"type":"unreachable","dst":"203.0.113.0/24","flags":[]},'
                '{"type":"blackhole","dst":"198.51.100.0/24","dev":"lo"}]')
        routes = parse_routes(text, 4)
        self.assertEqual([str(r.network) for r in routes], ["0.0.0.0/0", "192.0.2.10/32", "10.213.0.0/24"])
        self.assertEqual([r.gateway for r in routes], ["10.213.0.1", "10.213.0.1", ""])
        self.assertEqual([r.metric for r in routes], [10, 16, 0])
        self.assertEqual([r.windows_protocol() for r in routes], [3, 3, 2])

    def test_ipv6_default_and_empty_output(self):
        routes = parse_routes('[{"dst":"default","dev":"VantorelTun","metric":1024}]', 6)
        self.assertEqual(routes[0].network, ipaddress.ip_network("::/0"))
        self.assertEqual(parse_routes("", 6), [])


class Requests(unittest.TestCase):
    def test_prefix_must_have_no_host_bits(self):
        self.assertIsNotNone(RouteRequest(4, "203.0.113.0", 24, "", 3, 1).network())
        self.assertIsNone(RouteRequest(4, "203.0.113.5", 24, "", 3, 1).network())
        self.assertIsNotNone(RouteRequest(6, "8000::", 1, "::", 3, 1).network())

    def test_unspecified_next_hop_means_on_link(self):
        self.assertEqual(RouteRequest(4, "0.0.0.0", 1, "0.0.0.0", 3, 1).gateway(), "")
        self.assertEqual(RouteRequest(6, "::", 1, "::", 3, 1).gateway(), "")
        self.assertEqual(RouteRequest(6, "::", 1, "FE80:0::1", 3, 1).gateway(), "fe80::1")

    def test_windows_identity_ignores_the_metric(self):
        request = RouteRequest(4, "192.0.2.10", 32, "10.213.0.1", 3, 16)
        network = request.network()
        same = KernelRoute(network, "10.213.0.1", "vt-phys", 22, "static")
        other_hop = KernelRoute(network, "10.213.0.9", "vt-phys", 16, "static")
        self.assertTrue(kernel_routes.matches(same, request, network, "vt-phys"))
        self.assertFalse(kernel_routes.matches(other_hop, request, network, "vt-phys"))
        self.assertFalse(kernel_routes.matches(same, request, network, "vt-phys2"))

    def test_request_words(self):
        self.assertEqual(parse_request("route_add family=4 next_hop= index=3"),
                         ("route_add", {"family": "4", "next_hop": "", "index": "3"}))
        self.assertEqual(parse_request("  "), (None, {}))


class EngineGuid(unittest.TestCase):
    def test_the_guid_sing_tun_derives(self):
        # printed by sing-tun's generateGUIDByDeviceName; tests/portable/test_adapter_identity.cpp
        self.assertEqual(kernel_links.wintun_guid("VantorelTun"), "{6F38951C-99C2-40F8-F66D-CEB2DB9D19D9}")


class KernelRefusals(unittest.TestCase):
    def test_messages_map_to_windows_errors(self):
        cases = [
            ("File exists", False, 5010),
            ("No such process", False, 1168),
            ('Cannot find device "VantorelTun"', False, 1168),
            ("Nexthop has invalid gateway.", True, 1231),
            ("Network is unreachable", True, 1231),
            ("Invalid prefix for given prefix length.", False, 87),
            ("Nexthop has invalid gateway.", False, 87),
            ("Operation not permitted", False, 31),
        ]
        for message, has_gateway, code in cases:
            self.assertEqual(map_kernel_refusal(message, has_gateway), code, message)


class FilterRules(unittest.TestCase):
    """The test fwpuclnt.dll's filters, as its lines read, to nftables rules."""

    LINKS = {1: "lo", 2: "vt-phys", 40: "VantorelTun"}

    def rules(self, *lines):
        filters = [kernel_filters.Filter(dict(w.split("=", 1) for w in line.split())) for line in lines]
        text = kernel_filters.ruleset(filters, self.LINKS)
        return [line.strip() for line in text.splitlines() if "comment" in line]

    def test_each_condition(self):
        cases = [
            ("id=1 layer=connect_v4 action=permit weight=13 local_interface=9 if_index=40",
             'meta nfproto ipv4 oifname "VantorelTun" accept comment "filter 1"'),
            ("id=2 layer=recv_accept_v6 action=permit weight=14 flags_all_set=1",
             'meta nfproto ipv6 iifname "lo" accept comment "filter 2"'),
            ("id=3 layer=connect_v4 action=block weight=12 remote_port=53",
             'meta nfproto ipv4 meta l4proto { tcp, udp } th dport 53 drop comment "filter 3"'),
            ("id=4 layer=recv_accept_v4 action=permit weight=8 protocol=17 local_port=68 remote_port=67",
             'meta nfproto ipv4 meta l4proto 17 th dport 68 th sport 67 accept comment "filter 4"'),
            ("id=5 layer=connect_v6 action=permit weight=8 protocol=58 local_port=133-137",
             'meta nfproto ipv6 meta l4proto 58 icmpv6 type 133-137 accept comment "filter 5"'),
            ("id=6 layer=connect_v4 action=permit weight=15 app_id=40",
             f'meta nfproto ipv4 meta skgid {kernel_filters.ENGINE_GID} accept comment "filter 6"'),
            ("id=7 layer=recv_accept_v4 action=permit weight=8 remote_address=10.213.0.0/24",
             'meta nfproto ipv4 ip saddr 10.213.0.0/24 accept comment "filter 7"'),
        ]
        for line, rule in cases:
            self.assertEqual(self.rules(line), [rule], line)

    def test_conditions_that_cannot_match_here_drop_the_filter(self):
        for line in ("id=1 layer=connect_v4 action=permit weight=13 if_index=77",
                     "id=2 layer=recv_accept_v4 action=permit weight=15 app_id=40",
                     "id=3 layer=connect_v4 action=permit weight=14 flags_all_set=2"):
            self.assertEqual(self.rules(line), [], line)

    def test_highest_weight_first_and_empty_set_removes_the_table(self):
        order = self.rules("id=9 layer=connect_v4 action=block weight=0",
                           "id=8 layer=connect_v4 action=permit weight=13 if_index=40",
                           "id=7 layer=connect_v4 action=block weight=12 remote_port=53")
        self.assertEqual([r.split('"')[-2] for r in order], ["filter 8", "filter 7", "filter 9"])
        self.assertEqual(kernel_filters.ruleset([], self.LINKS), "")


class EngineRelay(unittest.TestCase):
    """The engine launcher's other half, with a shell script in the engine's place."""

    def engine(self, body):
        handle, path = tempfile.mkstemp(suffix=".sh")
        with os.fdopen(handle, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(path, stat.S_IRWXU)
        self.addCleanup(os.unlink, path)
        return path

    def frames(self, engine):
        frames = []
        while True:
            frame, ended = engine.read_frame()
            frames.append(frame)
            if ended:
                return frames

    def test_output_and_exit_status_are_relayed(self):
        cases = [
            ('echo "$1 $2 $3"; echo oops >&2; exit 3', "run -c /cfg.json\noops\n", "exit 3\n"),
            ("exit 0", "", "exit 0\n"),
            ("kill -9 $$", "", "exit 137\n"),
        ]
        for body, output, last in cases:
            frames = self.frames(SupervisedEngine(self.engine(body), "/cfg.json"))
            relayed = b"".join(bytes.fromhex(f[4:].strip()) for f in frames if f.startswith("out "))
            self.assertEqual(relayed.decode(), output, body)
            self.assertEqual(frames[-1], last, body)

    def test_stop_is_polite_first_then_forced(self):
        cases = [
            ("trap 'exit 0' INT; while :; do sleep 0.05; done", 0, 3.0),
            ("trap '' INT; while :; do sleep 0.05; done", -9, 0.3),
        ]
        for body, status, polite in cases:
            engine = SupervisedEngine(self.engine(body), "/cfg.json")
            time.sleep(0.2)
            engine.stop(polite_seconds=polite)
            self.assertEqual(engine.proc.returncode, status, body)
            self.assertTrue(engine.ended)


if __name__ == "__main__":
    unittest.main()
