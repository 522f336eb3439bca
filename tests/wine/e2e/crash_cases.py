"""A broker killed right after each ledger save of a connect, then recovered by the next service
start (or once by --reconcile): the engine dies with the broker's job, and recovery leaves the
host as it was before the connect."""

import os

from case_support import CONNECT_LEDGER_SAVES, STATE_TIMEOUT, check_clean, connect_command, session_text
from e2e_env import LedgerSaves, Session, wait_until


def ledger_phase(env):
    try:
        with open(env.ledger, encoding="utf-8") as f:
            for line in f:
                if line.startswith("phase="):
                    return line.strip()[len("phase="):]
    except OSError:
        return None
    return ""


def kill_after_save(suite, save):
    """Starts a connect and SIGKILLs the broker right after its `save`-th ledger save.
    Returns the generation the killed broker had recorded, or None."""
    env = suite.env
    env.engine_working()
    broker = env.broker_pid()
    if broker is None:
        suite.check(f"crash after save {save}: the broker runs", False, env.processes("VantorelBroker"))
        return None
    holds = env.text_of("route-agent.log").count("hold_adapter")
    saves = LedgerSaves(os.path.dirname(env.ledger), kill_pid=broker, kill_after=save)
    session = Session(env, f"crash-{save}")
    session.send(connect_command(env))
    killed = wait_until(lambda: saves.killed, STATE_TIMEOUT)
    saves.stop()
    session.close()
    if not killed:
        suite.check(f"crash after save {save}: the save came", False, f"saw {saves.count} saves",
                    *session_text(session))
        return None
    if wait_until(lambda: not env.engine_pids() and not env.processes("VantorelBroker"), 5):
        suite.check(f"crash after save {save}: the engine ended with the broker (job)", True)
    else:
        # Killed between the engine's creation (suspended) and its assignment to the job: the
        # process outlives the broker but never ran; recovery's sweep for strays must end it.
        suite.check(f"crash after save {save}: the engine outlived the broker only as a process that never ran "
                    "(killed before its job was assigned)",
                    not env.processes("VantorelBroker") and env.text_of("route-agent.log").count("hold_adapter") == holds,
                    env.engine_pids())
    with open(env.ledger, encoding="utf-8") as f:
        text = f.read()
    generation = next((int(l[len("generation="):]) for l in text.splitlines() if l.startswith("generation=")), None)
    return generation


def case_crash_at_every_save(suite):
    env = suite.env
    saves = suite.connect_saves or CONNECT_LEDGER_SAVES
    for save in range(1, saves + 1):
        generation = kill_after_save(suite, save)
        if generation is None:
            continue
        phase = ledger_phase(env)
        suite.check(f"crash after save {save}/{saves} ({phase}): service starts again", env.service("start") == 0)
        status = wait_until(lambda: (lambda s: s if s and s.get("state") == "idle" else None)(env.status()), 20)
        suite.check(f"crash after save {save}/{saves} ({phase}): recovery ends idle, cleanup verified, "
                    f"generation {generation} kept",
                    status is not None and status.get("cleanup_verified") is True
                    and status.get("generation") == generation, status)
        check_clean(suite, f"crash after save {save}/{saves} ({phase}): the host is as before the connect",
                    suite.baseline)


def case_crash_then_reconcile(suite):
    env = suite.env
    save = max(1, (suite.connect_saves or CONNECT_LEDGER_SAVES) - 2)  # the capture routes are in place
    if kill_after_save(suite, save) is None:
        return
    phase = ledger_phase(env)
    code = env.reconcile()
    suite.check(f"reconcile after a crash at save {save} ({phase}) exits 0", code == 0, f"exit {code}")
    check_clean(suite, f"reconcile after a crash at save {save}: the host is as before the connect", suite.baseline)
    suite.check("reconcile: the service starts again", env.service("start") == 0)
    status = wait_until(lambda: (lambda s: s if s and s.get("state") == "idle" else None)(env.status()), 20)
    suite.check("reconcile: the service is idle, cleanup verified", status and status.get("cleanup_verified"), status)
