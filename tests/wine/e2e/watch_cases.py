"""The network watch of a connected session against the real kernel table: what ends the session
(another interface for the default route, the engine gone, a capture route gone, a route on the
physical link more specific than the capture halves) and what does not (another gateway on the
same interface, the pin route deleted by hand)."""

import time

from case_support import (CONNECTION_LOST, NETWORK_CHANGED, check_clean, connected_session, disconnect,
                          expect_end, is_event, session_text, wait_idle)

# Two ticks of the broker's watch, which runs after 2 s without a task.
TWO_TICKS = 5


def still_connected(suite, name, session, generation):
    """Asked through the session's own controller: the pipe serves one client at a time."""
    time.sleep(TWO_TICKS)
    session.send({"command": "hello", "protocol_version": 3})
    status = session.wait_for(lambda d: is_event(d, "state"), 10)
    suite.check(f"{name}: still connected after two watch ticks",
                status is not None and status.get("state") == "connected" and status.get("generation") == generation,
                status, *session_text(session))


def case_gateway_moves_on_same_interface(suite):
    env = suite.env
    name = "default route via another gateway on the same interface"
    session, generation = connected_session(suite, name)
    if session is None:
        return
    env.ip("route", "replace", "default", "via", "10.213.0.254", "dev", "vt-phys", "metric", "10")
    try:
        still_connected(suite, name, session, generation)
    finally:
        env.ip("route", "replace", "default", "via", env.gateway, "dev", "vt-phys", "metric", "10")
    disconnect(session, generation)
    check_clean(suite, f"{name}: clean after the disconnect", suite.baseline)
    session.close()


def case_default_moves_to_another_interface(suite):
    env = suite.env
    name = "default route moved to another interface"
    env.ip("link", "add", "vt-phys2", "type", "veth", "peer", "name", "vt-gw2")
    try:
        env.ip("addr", "add", "10.214.0.2/24", "dev", "vt-phys2")
        env.ip("link", "set", "vt-phys2", "up")
        env.ip("link", "set", "vt-gw2", "up")
        baseline = env.routes()
        session, generation = connected_session(suite, name)
        if session is None:
            return
        env.ip("route", "del", "default", "via", env.gateway, "dev", "vt-phys")
        env.ip("route", "add", "default", "via", "10.214.0.1", "dev", "vt-phys2", "metric", "10")
        try:
            final_ok = session.wait_for(lambda d: d.get("event") == "state" and d.get("state") == "idle", 15)
            suite.check(f"{name}: ends idle, no code, \"{NETWORK_CHANGED}\", cleanup verified",
                        final_ok is not None and final_ok.get("code") is None
                        and final_ok.get("message") == NETWORK_CHANGED and final_ok.get("cleanup_verified") is True,
                        final_ok, *session_text(session))
        finally:
            env.ip("route", "del", "default", "via", "10.214.0.1", "dev", "vt-phys2")
            env.ip("route", "add", "default", "via", env.gateway, "dev", "vt-phys", "metric", "10")
        check_clean(suite, f"{name}: the host is as before the connect (default route put back)", baseline)
        session.close()
    finally:
        env.ip("link", "del", "vt-phys2")


def case_engine_killed(suite):
    env = suite.env
    name = "engine killed while connected"
    session, generation = connected_session(suite, name)
    if session is None:
        return
    engines = env.engine_pids()
    suite.check(f"{name}: one engine process runs", len(engines) == 1, engines)
    for pid in engines:
        env.run(["kill", "-KILL", str(pid)])
    expect_end(suite, name, session, generation, None, CONNECTION_LOST, suite.baseline)
    session.close()


def case_capture_route_deleted(suite):
    env = suite.env
    name = "capture route 128.0.0.0/1 deleted by hand"
    session, generation = connected_session(suite, name)
    if session is None:
        return
    env.ip("route", "del", "128.0.0.0/1", "dev", "VantorelTun")
    expect_end(suite, name, session, generation, None, CONNECTION_LOST, suite.baseline)
    session.close()


def case_pin_route_deleted(suite):
    """The watch compares only the interface of the physical default route; a pin route deleted by
    hand goes unnoticed, and the disconnect still verifies."""
    env = suite.env
    name = "pin route deleted by hand"
    session, generation = connected_session(suite, name)
    if session is None:
        return
    env.ip("route", "del", f"{env.server_ip}/32", "dev", "vt-phys")
    still_connected(suite, name, session, generation)
    final = disconnect(session, generation)
    suite.check(f"{name}: the disconnect ends idle with cleanup verified", final is not None, *session_text(session))
    check_clean(suite, f"{name}: the host is as before the connect", suite.baseline)
    session.close()


def case_ipv6_capture_route_deleted(suite):
    env = suite.env
    name = "capture route 8000::/1 deleted by hand"
    session, generation = connected_session(suite, name)
    if session is None:
        return
    env.ip("-6", "route", "del", "8000::/1", "dev", "VantorelTun")
    expect_end(suite, name, session, generation, None, CONNECTION_LOST, suite.baseline)
    session.close()


def case_more_specific_route_on_physical_link(suite):
    """DHCP option 121 and the like: a route that beats the capture halves, pushed onto the
    physical link after the connect."""
    env = suite.env
    name = "route 203.0.113.0/24 pushed onto the physical link"
    session, generation = connected_session(suite, name)
    if session is None:
        return
    env.ip("route", "add", "203.0.113.0/24", "via", env.gateway, "dev", "vt-phys")
    try:
        final = wait_idle(session, generation)
        suite.check(f"{name}: ends idle, no code, \"{NETWORK_CHANGED}\", cleanup verified",
                    final is not None and final.get("code") is None and final.get("message") == NETWORK_CHANGED
                    and final.get("cleanup_verified") is True, final, *session_text(session))
    finally:
        env.ip("route", "del", "203.0.113.0/24", "via", env.gateway, "dev", "vt-phys")
    check_clean(suite, f"{name}: the host is as before the connect (the pushed route taken away)", suite.baseline)
    session.close()
