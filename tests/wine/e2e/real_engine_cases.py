#!/usr/bin/env python3
"""Sessions of the real broker service under Wine with the real engine: the sing-box.exe the
broker starts is the engine launcher, which has the route agent run the Linux sing-box with the
configuration the broker wrote. The proxy server is a real sing-box in the peer namespace
(scripts/lib/wine_service.sh, vt_peer_up). Run by run_real_engine.sh with the service running;
prints "ok"/"FAIL" lines and ends with "N passed, M failed"."""

import os
import subprocess
import sys
import time

import leak_cases
from case_support import (CONNECTION_LOST, Suite, check_clean, disconnect, is_event, session_text, wait_idle,
                          wait_state)
from e2e_env import Env, Session, wait_until

AUTH_REJECTED = "Ключ не принят сервером"
UNREACHABLE = "Узел недоступен"
CORE_EXITED = "Сбой локальной службы туннеля"
PEER_SIDE = "10.214.0.1"  # the peer's address on its link to the world: traffic the proxy carried
PAGE_IP = "198.18.0.80"


class RealEnv(Env):
    def __init__(self):
        super().__init__()
        self.uuid = os.environ["VT_PEER_UUID"]
        self.password = os.environ["VT_PEER_PASSWORD"]
        self.public_key = os.environ["VT_PEER_PUBLIC_KEY"]

    def fresh_wine(self):
        """The service again in a new wineserver. The real engine's TUN gets a new interface index
        at every start, and Wine keeps the first index it saw for a link name until its server
        ends (docs/testing.md), so each session starts with a Wine that has seen none."""
        self.service("stop")
        for args in (["wineserver", "-k"], ["wineserver", "-w"], ["wineserver", "-p"], ["wine", "cmd", "/c", "exit 0"]):
            self.run(self.ns_cmd(*args), timeout=60)
        self.service("start")
        return wait_until(lambda: self.status() is not None, 20)

    def linux_engines(self):
        """The Linux engines the agent runs (the launcher's are listed by engine_pids)."""
        return [p for p in self.processes("run -c") if "sing-box.exe" not in self.cmdline(p)]


def connect_document(link):
    return {"command": "connect", "protocol_version": 3, "uri": link, "direct_domains": ["example.org"],
            "force_proxy_domains": [], "udp_direct": 0}


def world_requests(env):
    return [line for line in env.text_of("world.log").splitlines() if PEER_SIDE in line]


def start(session, link):
    session.send(connect_document(link))
    ack = session.wait_for(lambda d: is_event(d, "ack", command="connect"), 30)
    return ack["generation"] if ack and ack.get("accepted") else None


def host_clean_of_engines(suite, name):
    env = suite.env
    gone = wait_until(lambda: not env.linux_engines() and not env.engine_pids(), 10)
    suite.check(f"{name}: no launcher and no Linux engine left", gone,
                f"launchers {env.engine_pids()}, engines {env.linux_engines()}")


def case_vless_connected(suite):
    env = suite.env
    name = "real engine, VLESS"
    suite.baseline = env.routes()
    before = len(world_requests(env))
    log_start = len(env.service_log().splitlines())
    session = Session(env, name)
    link = f"vless://{env.uuid}@{env.server_ip}:443?security=none&sni=example.org"
    generation = start(session, link)
    connected = generation is not None and wait_state(session, generation, "connected", 40) is not None
    if not suite.check(f"{name}: the session reaches connected", connected, *session_text(session),
                       "service log:", env.service_log()[-3000:], "agent log:", env.text_of("route-agent.log")[-2000:]):
        disconnect(session, generation)
        session.close()
        return
    code, link_text = env.run(["ip", "-n", env.ns, "-d", "link", "show", "dev", "VantorelTun"])
    suite.check(f"{name}: VantorelTun is the engine's real TUN", code == 0 and " tun " in link_text, link_text)
    suite.check(f"{name}: the Linux engine runs the broker's configuration file",
                any("current_session.json" in env.cmdline(p) for p in env.linux_engines()),
                [env.cmdline(p) for p in env.linux_engines()])
    checks = [line for line in world_requests(env)[before:] if "/generate_204" in line]
    suite.check(f"{name}: the egress check reached the world through the proxy", len(checks) >= 1,
                env.text_of("world.log")[-1500:])
    code, text = env.curl(f"http://{env.page_host}/")
    suite.check(f"{name}: a namespace program reaches the world page through capture routes and proxy",
                code == 0 and "through the tunnel" in text and text.rstrip().endswith("200 198.18.0.80"), text)
    suite.check(f"{name}: the world saw that request come from the proxy server",
                any("GET / " in line or '"GET /"' in line or " / " in line for line in world_requests(env)[before:]),
                env.text_of("world.log")[-1500:])
    # A connection that lives across the flow monitor's polls (5 s apart) and keeps sending: the
    # request's header lines trickle out, so the engine's counters grow between polls.
    holder = subprocess.Popen(["ip", "netns", "exec", env.ns, sys.executable, "-c", (
        "import socket,time\n"
        f"s=socket.create_connection(('{PAGE_IP}',80),timeout=30)\n"
        "s.sendall(b'GET /held HTTP/1.1\\r\\nHost: page\\r\\n')\n"
        "for i in range(40):\n"
        "    s.sendall(b'X-Pad-%d: %s\\r\\n' % (i, b'p' * 400)); time.sleep(0.5)\n")],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        rate = wait_until(lambda: [line for line in env.service_log().splitlines()[log_start:]
                                   if f"generation={generation} event=flow_rate" in line and "tcp:proxy=" in line], 25)
        time.sleep(7)  # one more poll sees the counters grown
    finally:
        holder.kill()
        holder.wait()
    suite.check(f"{name}: a flow_rate line counts the held connection in group tcp:proxy", bool(rate),
                env.service_log()[-2000:])
    final = disconnect(session, generation)
    session.close()
    suite.check(f"{name}: disconnect ends idle with cleanup verified", final is not None and final.get("code") is None,
                final)
    check_clean(suite, f"{name}: the host is as before the connect", suite.baseline)
    host_clean_of_engines(suite, name)
    log = [line for line in env.service_log().splitlines()[log_start:] if f"generation={generation} " in line]
    suite.check(f"{name}: the control API was configured", any("event=flow code=api_port=" in line for line in log),
                *log)
    suite.check(f"{name}: the real control API always answered", not any("api_unreachable" in line for line in log),
                *log)
    suite.check(f"{name}: the session's flow totals hold the bytes sent through the proxy",
                any("event=flow_total" in line and "tcp:proxy=dn:" in line and "/up:0" not in line for line in log),
                *log)


def expect_failed_session(suite, name, link, code, message, reason=None, reason_event="engine_reason",
                          after_start=None):
    """A session that must end idle with `code` and `message`; `reason`: a text the service log's
    `reason_event` line (the engine's own account, masked) must hold."""
    env = suite.env
    log_start = len(env.service_log().splitlines())
    session = Session(env, name)
    generation = start(session, link)
    if after_start is not None and generation is not None:
        after_start(generation)
    final = wait_idle(session, generation, 60) if generation is not None else None
    got = {k: final.get(k) for k in ("code", "message", "cleanup_verified")} if final else None
    wanted = {"code": code, "message": message, "cleanup_verified": True}
    suite.check(f"{name}: ends idle with {code}", got == wanted, f"wanted {wanted}", f"got {got}",
                *([] if final else session_text(session)))
    session.close()
    check_clean(suite, f"{name}: the host is as before the connect", suite.baseline)
    host_clean_of_engines(suite, name)
    engine_lines = [line for line in env.service_log().splitlines()[log_start:]
                    if f"generation={generation} " in line and any(
                        f"event={e} " in line for e in ("egress", "engine_reason", "core_exited", "tun_init_timeout"))]
    print(f"    {name}: the user gets {got}", flush=True)
    print(f"    {name}: broker log: {' | '.join(engine_lines)[-600:]}", flush=True)
    if reason is not None:
        said = [line for line in engine_lines if f"event={reason_event} " in line]
        suite.check(f"{name}: the service log's {reason_event} line names the engine's reason ({reason})",
                    any(reason in line for line in said), *engine_lines)
        suite.check(f"{name}: the log line carries no colour codes", not any("\x1b" in line for line in said), *said)
    return got


def case_hysteria2_connected(suite):
    env = suite.env
    name = "real engine, hysteria2"
    session = Session(env, name)
    link = f"hysteria2://{env.password}@{env.server_ip}:443?insecure=1&sni=peer.example"
    generation = start(session, link)
    connected = generation is not None and wait_state(session, generation, "connected", 40) is not None
    suite.check(f"{name}: the session reaches connected", connected, *session_text(session))
    final = disconnect(session, generation)
    session.close()
    suite.check(f"{name}: disconnect ends idle with cleanup verified", final is not None, final)
    check_clean(suite, f"{name}: the host is as before the connect", suite.baseline)


def case_hysteria2_wrong_password(suite):
    env = suite.env
    expect_failed_session(suite, "real engine, hysteria2 with a password the server does not know",
                          f"hysteria2://not-{env.password}@{env.server_ip}:443?insecure=1&sni=peer.example",
                          "auth_rejected", AUTH_REJECTED, reason="authentication failed, status code: 404")


def case_vless_wrong_uuid(suite):
    env = suite.env
    # The server closes the connection after reading an unknown uuid; the engine prints no word
    # about it, so the broker cannot tell a refused uuid from a server that does not answer.
    expect_failed_session(suite, "real engine, VLESS with a uuid the server does not know",
                          f"vless://0b3f1e6c-5d2a-4c8e-9f17-3a6b2d4e8c01@{env.server_ip}:443?security=none",
                          "egress_timeout", UNREACHABLE, reason="timeout", reason_event="egress")


def case_unreachable_server(suite):
    env = suite.env
    expect_failed_session(suite, "real engine, a server that does not answer",
                          f"vless://{env.uuid}@192.0.2.99:443?security=none", "egress_timeout", UNREACHABLE,
                          reason="timeout", reason_event="egress")


def case_reality(suite):
    env = suite.env
    name = "real engine, Reality"
    session = Session(env, name)
    link = (f"vless://{env.uuid}@{env.server_ip}:8443?security=reality&pbk={env.public_key}&sid=ab12"
            f"&sni=www.example.org")
    generation = start(session, link)
    connected = generation is not None and wait_state(session, generation, "connected", 40) is not None
    suite.check(f"{name}: the session reaches connected", connected, *session_text(session))
    final = disconnect(session, generation)
    session.close()
    suite.check(f"{name}: disconnect ends idle with cleanup verified", final is not None, final)


def case_reality_key_mismatch(suite):
    env = suite.env
    # A well-formed key that is not the server's: the server takes the client for a stranger and
    # hands it to its cover site, whose certificate (peer.example) the engine then refuses.
    other = "MkkI0siiYaW-KvH1VEAhGtVvsMBAv88UevmVieg_Swo"
    expect_failed_session(suite, "real engine, Reality with a key that is not the server's",
                          f"vless://{env.uuid}@{env.server_ip}:8443?security=reality&pbk={other}&sid=ab12"
                          f"&sni=www.example.org", "auth_rejected", AUTH_REJECTED, reason="x509: certificate")


def case_reality_wrong_short_id(suite):
    env = suite.env
    expect_failed_session(suite, "real engine, Reality with a short id the server does not know",
                          f"vless://{env.uuid}@{env.server_ip}:8443?security=reality&pbk={env.public_key}&sid=cd34"
                          f"&sni=www.example.org", "auth_rejected", AUTH_REJECTED, reason="x509: certificate")


def case_engine_fatal_at_start(suite):
    env = suite.env
    # A tap device already named VantorelTun: the engine cannot make its TUN and ends with FATAL.
    # The broker cannot remove a device it did not make under Wine, so the case removes it once
    # the engine has ended, and the teardown then finds the host clean.
    env.run(["ip", "-n", env.ns, "tuntap", "add", "dev", "VantorelTun", "mode", "tap"])

    def remove_after_exit(generation):
        wait_until(lambda: f"generation={generation} event=core_exited " in env.service_log(), 30)
        env.run(["ip", "-n", env.ns, "link", "del", "VantorelTun"])

    try:
        expect_failed_session(suite, "real engine, FATAL at start (its adapter name taken)",
                              f"vless://{env.uuid}@{env.server_ip}:443?security=none", "core_exited",
                              CORE_EXITED, reason="configure tun interface", reason_event="core_exited",
                              after_start=remove_after_exit)
    finally:
        env.run(["ip", "-n", env.ns, "link", "del", "VantorelTun"])


def case_leaks(suite):
    env = suite.env
    name = "real engine, leaks"
    made = []

    def connect():
        if made:
            env.fresh_wine()  # a new TUN index for each session (see fresh_wine)
        made.append(1)
        session = Session(env, f"{name}-{len(made)}")
        generation = start(session, f"vless://{env.uuid}@{env.server_ip}:443?security=none&sni=example.org")
        if generation is None or wait_state(session, generation, "connected", 40) is None:
            suite.check(f"{name}: the session reaches connected", False, *session_text(session))
            disconnect(session, generation)
            session.close()
            return None, None
        return session, generation

    leak_cases.leaks_while_connected(suite, name, connect, env.server_ip, through_tunnel_tcp=True)


CASES = [case_vless_connected, case_hysteria2_connected, case_hysteria2_wrong_password, case_unreachable_server,
         case_reality, case_reality_key_mismatch, case_reality_wrong_short_id, case_vless_wrong_uuid,
         case_engine_fatal_at_start, case_leaks]


def main():
    suite = Suite(RealEnv())
    selected = sys.argv[1:]
    for case in CASES:
        if selected and case.__name__ not in selected and case is not CASES[0]:
            continue
        if case is not CASES[0] and not suite.check(f"{case.__name__}: the service runs in a fresh wineserver",
                                                    suite.env.fresh_wine()):
            continue
        suite.run(case)
    print(f"{suite.passed} passed, {suite.failed} failed", flush=True)
    return 0 if suite.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
