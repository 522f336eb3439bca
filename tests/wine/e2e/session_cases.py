"""Whole sessions of the real broker service under Wine: connect to connected and back, the
refusals and failures before connected, and a service stop while connected."""

import os
import time

from case_support import (CONNECT_LEDGER_SAVES, DISCONNECT, connect_command, connected_session, disconnect,
                          expect_end, is_event, check_clean, session_text, start_connect, wait_idle, wait_state,
                          STATE_TIMEOUT)
from e2e_env import LedgerSaves, Session, wait_until

FOREIGN_MESSAGE = "Обнаружен активный туннель"
EGRESS_TIMEOUT_MESSAGE = "Узел недоступен"
EGRESS_FAILED_MESSAGE = "Не удалось подтвердить доступность узла. Попробуйте другой сервер"


def added_lines(before, after):
    old = set(before.splitlines())
    return sorted(line.strip() for line in after.splitlines() if line not in old)


def world_requests(env, path):
    return [line for line in env.text_of("world.log").splitlines() if f" GET {path} " in line]


def case_connect_and_disconnect(suite):
    """A connect reaches connected through the controller's proof; the tunnel carries traffic;
    a disconnect leaves the kernel tables exactly as they were."""
    env = suite.env
    name = "connect"
    env.engine_working()
    env.world_mode("204")
    suite.baseline = env.routes()
    checks_before = len(world_requests(env, "/generate_204"))
    run_directory = os.path.dirname(env.ledger)
    saves = LedgerSaves(run_directory) if os.path.isdir(run_directory) else None
    session = Session(env, name)
    generation = start_connect(session, env)
    suite.check(f"{name}: accepted with a new generation", generation is not None, *session_text(session))
    connected = wait_state(session, generation, "connected")
    if saves:
        saves.stop()
        suite.connect_saves = saves.count
    docs = session.documents()
    order = [i for i, d in enumerate(docs) if is_event(d, "state", state="connecting")][:1] + \
            [i for i, d in enumerate(docs) if is_event(d, "tun_ready", generation=generation)][:1] + \
            [i for i, d in enumerate(docs) if is_event(d, "ack", command="prove", accepted=True)][:1] + \
            [i for i, d in enumerate(docs) if is_event(d, "state", state="connected")][:1]
    suite.check(f"{name}: connecting, tun_ready, the proof's ack, connected, in that order",
                connected is not None and len(order) == 4 and order == sorted(order), *session_text(session))
    suite.check(f"{name}: the connect saved the ledger {CONNECT_LEDGER_SAVES} times (one rename each)",
                suite.connect_saves == CONNECT_LEDGER_SAVES, f"counted {suite.connect_saves}")

    checks = world_requests(env, "/generate_204")[checks_before:]
    suite.check(f"{name}: the world saw the egress check and the controller's proof, through the tunnel",
                len(checks) == 2 and all("client=172.19.0.1" in c and f"host={env.check_host}" in c for c in checks),
                *checks)
    routes = env.routes()
    wanted = sorted([
        f"{env.server_ip} via {env.gateway} dev vt-phys proto static metric 16",
        "0.0.0.0/1 dev VantorelTun proto static scope link metric 1",
        "128.0.0.0/1 dev VantorelTun proto static scope link metric 1",
        "172.19.0.0/30 dev VantorelTun proto kernel scope link src 172.19.0.1",
        "::/1 dev VantorelTun proto static metric 1 pref medium",
        "8000::/1 dev VantorelTun proto static metric 1 pref medium",
        "fe80::/64 dev VantorelTun proto kernel metric 256 pref medium",
    ])
    suite.check(f"{name}: the kernel holds the pin route via the gateway and the four capture routes",
                added_lines(suite.baseline, routes) == wanted, "added:", *added_lines(suite.baseline, routes))
    code, body = env.curl(f"http://{env.page_host}/")
    suite.check(f"{name}: curl in the namespace reaches the world page through VantorelTun",
                code == 0 and body.rstrip().endswith("200 198.18.0.80") and "through the tunnel" in body, body)
    flow = wait_until(lambda: f"generation={generation} event=flow_seen" in env.service_log(), 10)
    suite.check(f"{name}: flow lines appear in the service log", flow,
                *[l for l in env.service_log().splitlines() if "flow" in l][-5:])
    with open(env.ledger, encoding="utf-8") as f:
        ledger = f.read()
    suite.check(f"{name}: the ledger names the connected session and its four routes",
                "phase=connected" in ledger and ledger.count("route=") == 4, ledger)
    guid = next((l.split("=", 1)[1] for l in ledger.splitlines() if l.startswith("adapter_guid=")), "")
    suite.check(f"{name}: the ledger names the filters and the adapter whose DNS server was set",
                "firewall_open=1" in ledger and f"tunnel_dns_guid={guid}" in ledger and guid, ledger)
    suite.check(f"{name}: VantorelTun's DNS server is the tunnel's, 198.18.0.2",
                "198.18.0.2" in tunnel_dns(env, guid), tunnel_dns(env, guid))
    filters = session_filters(env)
    suite.check(f"{name}: the test fwpuclnt.dll holds the session's filters, DNS blocked outside the tunnel",
                "action=block weight=12 remote_port=53" in filters and "action=block weight=0" in filters, filters)

    final = disconnect(session, generation)
    suite.check(f"disconnect: idle with cleanup verified", final is not None and final.get("code") is None,
                *session_text(session))
    suite.check("disconnect: VantorelTun's DNS server is cleared", "198.18.0.2" not in tunnel_dns(env, guid),
                tunnel_dns(env, guid))
    suite.check("disconnect: no filter is left", session_filters(env).strip() == "", session_filters(env))
    check_clean(suite, "disconnect: both kernel tables are byte for byte what they were", suite.baseline)
    suite.check("disconnect: the flow totals were written",
                f"generation={generation} event=flow_total" in env.service_log())
    code, body = env.curl(f"http://{env.page_host}/")
    suite.check("disconnect: the world page is out of reach without the tunnel", not body.rstrip().endswith("200 198.18.0.80"), body)
    session.close()


def tunnel_dns(env, guid):
    """The NameServer value the broker wrote for the adapter (Wine has no SetInterfaceDnsSettings)."""
    key = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + guid
    return env.run(env.ns_cmd("wine", "reg", "query", key, "/v", "NameServer"))[1]


def session_filters(env):
    """The filters the test fwpuclnt.dll holds, one line each (docs/testing.md)."""
    path = os.path.join(env.prefix, "drive_c/vantorel-test/fwp-filters.txt")
    if not os.path.exists(path):
        return ""
    with open(path, encoding="utf-8") as f:
        return f.read()


def case_foreign_tunnels(suite):
    """Another tunnel owning the traffic (both /1 halves, or a better default) is refused before
    anything starts; nothing on the host changes. One link serves both: Wine would report a
    re-created link under its first index."""
    env = suite.env
    env.ip("tuntap", "add", "dev", "fvpn0", "mode", "tun")
    try:
        env.ip("link", "set", "fvpn0", "up")
        variants = (("split routes", [["0.0.0.0/1"], ["128.0.0.0/1"]]),
                    # with a gateway: Wine's GetAdaptersAddresses fails (13) while a default route has none
                    ("better default route", [["default", "via", "10.99.0.1", "onlink", "metric", "5"]]))
        for variant, routes in variants:
            for route in routes:
                env.ip("route", "add", *route, "dev", "fvpn0")
            refused_foreign(suite, f"foreign tunnel ({variant})")
            for route in routes:
                env.ip("route", "del", *route, "dev", "fvpn0")
    finally:
        env.ip("link", "del", "fvpn0")


def refused_foreign(suite, name):
    env = suite.env
    env.engine_working()
    baseline = env.routes()
    holds = env.text_of("route-agent.log").count("hold_adapter")
    session = Session(env, name)
    generation = start_connect(session, env)
    expect_end(suite, name, session, generation, "foreign_tunnel", FOREIGN_MESSAGE, baseline)
    suite.check(f"{name}: no engine was started", env.text_of("route-agent.log").count("hold_adapter") == holds)
    suite.check(f"{name}: the log names the foreign adapter",
                f"generation={generation} event=foreign_adapter code=fvpn0" in env.service_log())
    session.close()


def case_egress_without_204(suite):
    env = suite.env
    with env.world_answering("503"):
        env.engine_working()
        session = Session(env, "egress")
        generation = start_connect(session, env)
        expect_end(suite, "egress check answered 503", session, generation, "egress_timeout",
                   EGRESS_TIMEOUT_MESSAGE, suite.baseline)
        suite.check("egress check answered 503: logged as egress timeout",
                    f"generation={generation} event=egress code=timeout win32=3500" in env.service_log())
        session.close()


def case_failed_proof(suite):
    """The broker's egress check passes, the controller's proof then gets no 204."""
    env = suite.env
    with env.world_answering("204-once"):
        env.engine_working()
        session = Session(env, "proof")
        generation = start_connect(session, env)
        tun_ready = session.wait_for(lambda d: is_event(d, "tun_ready", generation=generation), STATE_TIMEOUT)
        suite.check("failed proof: tun_ready reached the controller", tun_ready is not None, *session_text(session))
        expect_end(suite, "failed proof", session, generation, "egress_failed", EGRESS_FAILED_MESSAGE,
                   suite.baseline)
        suite.check("failed proof: logged as proof fail", f"generation={generation} event=proof code=fail" in env.service_log())
        session.close()


def case_service_stop_while_connected(suite):
    env = suite.env
    session, generation = connected_session(suite, "service stop")
    if session is None:
        return
    started = time.monotonic()
    code = env.service("stop")
    took = time.monotonic() - started
    suite.check(f"service stop while connected: net stop succeeds within 20 s ({took:.1f} s)", code == 0 and took <= 20)
    check_clean(suite, "service stop while connected: the host is as before the connect", suite.baseline)
    suite.check("service stop while connected: the session ended idle, cleanup verified",
                f"generation={generation} event=idle code=- win32=0" in env.service_log())
    session.close()
    suite.check("service starts again", env.service("start") == 0)
    status = wait_until(lambda: (lambda s: s if s and s.get("state") == "idle" else None)(env.status()), 15)
    suite.check("service starts again: idle, cleanup verified", status and status.get("cleanup_verified"), status)


def case_reconnect_at_once(suite):
    """A user interface reconnects: a disconnect and a connect written together, 8 times, after a
    session that had already ended and while one is connected. Each connect waits for the
    disconnect's teardown and is admitted; its ack follows the ended session's idle."""
    env = suite.env
    env.engine_working()
    env.world_mode("204")
    session = Session(env, "reconnect")
    previous = None
    failures = []
    for attempt in range(1, 9):
        ended_first = attempt % 2 == 1  # odd: the session before had ended; even: still connected
        if previous is not None and ended_first and disconnect(session, previous) is None:
            failures.append(f"attempt {attempt}: generation {previous} did not end")
            break
        session.send(DISCONNECT)
        session.send(connect_command(env))
        ack = session.wait_for(lambda d: is_event(d, "ack", command="connect"), STATE_TIMEOUT)
        if not ack or not ack.get("accepted"):
            failures.append(f"attempt {attempt}: connect not admitted: {ack}")
            break
        generation = ack["generation"]
        docs = session.documents()
        ack_at = max(i for i, d in enumerate(docs) if is_event(d, "ack", command="connect", generation=generation))
        late = [d for d in docs[ack_at:] if d.get("event") == "state" and d.get("generation", 0) < generation]
        if previous is not None and (generation != previous + 1 or late):
            failures.append(f"attempt {attempt}: generation {generation} after {previous}, "
                            f"events of an earlier session after the ack: {late}")
            break
        if wait_state(session, generation, "connected") is None:
            failures.append(f"attempt {attempt}: generation {generation} not connected")
            break
        previous = generation
    suite.check("reconnect at once: 8 disconnect+connect pairs, every connect admitted after the teardown, "
                "each session connected", not failures,
                *(failures + (session_text(session)[-1].splitlines()[-12:] if failures else [])))
    final = disconnect(session, previous)
    suite.check("reconnect at once: the last session ends idle, cleanup verified",
                final is not None and final.get("code") is None, *session_text(session))
    check_clean(suite, "reconnect at once: the host is as before", suite.baseline)
    session.close()


def case_hundred_cycles(suite):
    """100 connects and disconnects through one controller, as a user interface would."""
    env = suite.env
    env.engine_working()
    session = Session(env, "cycles")
    broker = env.broker_pid()
    fds = {}
    failures = []
    for cycle in range(1, 101):
        generation = start_connect(session, env)
        if generation is None or wait_state(session, generation, "connected") is None:
            failures.append(f"cycle {cycle}: not connected")
            break
        final = disconnect(session, generation)
        if final is None or final.get("code") is not None:
            failures.append(f"cycle {cycle}: no clean idle after the disconnect: {final}")
            break
        if env.routes() != suite.baseline:
            failures.append(f"cycle {cycle}: routing tables differ after the disconnect")
            break
        if wait_until(lambda: not env.engine_pids(), 3) is False:
            failures.append(f"cycle {cycle}: stray engine {env.engine_pids()}")
            break
        if cycle in (10, 100) and broker:
            fds[cycle] = env.fd_count(broker)
    detail = failures + (session_text(session)[-1].splitlines()[-6:] if failures else [])
    suite.check("100 cycles: every one connected and was verified clean, tables unchanged, no stray engine",
                not failures, *detail)
    suite.check(f"100 cycles: the broker's open descriptors do not grow ({fds})",
                len(fds) == 2 and fds[100] <= fds[10] + 2)
    session.close()
