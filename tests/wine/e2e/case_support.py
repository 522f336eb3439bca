"""What the connected-session cases share: the verdict lines, the connect and disconnect a user
interface sends, and the check that the host is as it was."""

import os
import re
import traceback

from e2e_env import Session, wait_until

CONNECTION_LOST = "Соединение прервано"
NETWORK_CHANGED = "Сеть изменилась. Подключение остановлено."
STATE_TIMEOUT = 30


def _connect_ledger_saves():
    path = os.path.join(os.path.dirname(__file__), "..", "..", "core", "core_scenario.h")
    with open(path, encoding="utf-8") as f:
        return int(re.search(r"kConnectLedgerSaves = (\d+);", f.read()).group(1))


# The ledger saves of one successful connect, as the core's tests count them over the fakes.
CONNECT_LEDGER_SAVES = _connect_ledger_saves()


class Suite:
    def __init__(self, env):
        self.env = env
        self.passed = 0
        self.failed = 0
        self.baseline = None  # the routing tables of the idle host, taken by the first case
        self.connect_saves = 0  # ledger saves of one successful connect, counted by the first case

    def check(self, name, ok, *detail):
        if ok:
            self.passed += 1
            print(f"ok - {name}", flush=True)
            return True
        self.failed += 1
        print(f"FAIL - {name}", flush=True)
        for line in detail:
            for part in str(line).splitlines():
                print(f"    {part}", flush=True)
        return False

    def run(self, case):
        try:
            case(self)
        except Exception:  # a broken case is one failure; the next case still runs
            self.check(f"{case.__name__} ran to its end", False, traceback.format_exc())
        # A controller whose input ended must be gone; one left over would make the next "busy".
        left = wait_until(lambda: not self.env.processes("VantorelCtl.exe"), 5)
        if not left:
            stragglers = self.env.processes("VantorelCtl.exe")
            self.check(f"{case.__name__}: every controller ended with its input", False, stragglers)
            for pid in stragglers:
                self.env.run(["kill", "-KILL", str(pid)])


def connect_command(env):
    link = f"vless://7f1c2a9e-0000-4000-8000-123456789abc@{env.server_ip}:443?security=none&sni=example.org"
    return {"command": "connect", "protocol_version": 3, "uri": link, "direct_domains": ["example.org"],
            "force_proxy_domains": [], "udp_direct": 0}


DISCONNECT = {"command": "disconnect", "protocol_version": 3, "generation": 0}


def is_event(doc, event, **fields):
    return doc.get("event") == event and all(doc.get(k) == v for k, v in fields.items())


def start_connect(session, env):
    """Sends a connect; the generation of the accepted ack, or None."""
    session.send(connect_command(env))
    ack = session.wait_for(lambda d: is_event(d, "ack", command="connect"), STATE_TIMEOUT)
    return ack["generation"] if ack and ack.get("accepted") else None


def wait_state(session, generation, state, timeout=STATE_TIMEOUT):
    return session.wait_for(lambda d: is_event(d, "state", generation=generation, state=state), timeout)


def wait_idle(session, generation, timeout=STATE_TIMEOUT):
    return wait_state(session, generation, "idle", timeout)


def connected_session(suite, name):
    """A controller with a session that reached connected: (session, generation) or (None, None)."""
    env = suite.env
    env.engine_working()
    session = Session(env, name)
    generation = start_connect(session, env)
    if generation is None or wait_state(session, generation, "connected") is None:
        suite.check(f"{name}: the session reaches connected", False, *session_text(session))
        disconnect(session, generation)
        session.close()
        return None, None
    return session, generation


def disconnect(session, generation):
    """Disconnects; the final idle state event of the generation, or None."""
    if generation is None:
        return None
    session.send(DISCONNECT)
    return session.wait_for(lambda d: is_event(d, "state", generation=generation, state="idle")
                            and d.get("cleanup_verified") is True, STATE_TIMEOUT)


def session_text(session):
    try:
        with open(session.path, encoding="utf-8", errors="replace") as f:
            return ["controller output:", f.read()]
    except OSError:
        return []


def host_differences(env, baseline):
    """What keeps the host from being as it was: [] when it is."""
    problems = []
    routes = wait_until(lambda: (lambda r: r if r == baseline else None)(env.routes()), 2) or env.routes()
    if routes != baseline:
        problems += ["routing tables differ from before the connect:", "before:", baseline, "now:", routes]
    if not wait_until(lambda: env.filters() == env.filters_before, 2):
        problems += ["the nftables ruleset differs from before (filters left):", env.filters()]
    if env.resolver() != env.resolver_before:
        problems += ["the resolver file differs from before:", env.resolver()]
    if env.has_link("VantorelTun"):
        problems.append("the link VantorelTun still exists")
    engines = wait_until(lambda: not env.engine_pids(), 3)
    if not engines:
        problems.append(f"engine processes left: {env.engine_pids()}")
    if not wait_until(lambda: not os.path.exists(env.ledger), 2):
        problems.append("the ledger file is still there")
    return problems


def check_clean(suite, name, baseline):
    problems = host_differences(suite.env, baseline)
    return suite.check(name, not problems, *problems)


def expect_end(suite, name, session, generation, code, message, baseline):
    """The session ends in idle with `code` and `message`, cleanup verified, and a clean host."""
    final = wait_idle(session, generation)
    wanted = {"state": "idle", "code": code, "message": message, "cleanup_verified": True}
    got = {k: final.get(k) for k in wanted} if final else None
    suite.check(f"{name}: ends idle, code {code}, cleanup verified", got == wanted,
                f"wanted {wanted}", f"got {got}", *([] if final else session_text(session)))
    check_clean(suite, f"{name}: the host is as before the connect", baseline)
