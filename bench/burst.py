#!/usr/bin/env python3
"""The burst figure (bench/burst.sh): N requests, 32 at a time, each on a new connection, to the
world page through the broker's connected session, then through the same engine and
configuration run by the launcher alone with its output discarded. One line per N."""

import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine", "e2e"))

from case_support import disconnect  # noqa: E402
from e2e_env import Session, wait_until  # noqa: E402
from real_engine_cases import PAGE_IP, RealEnv, start, wait_state  # noqa: E402

CONCURRENCY = 32
CLIENT = r"""
import http.client, os, subprocess, sys, threading, time
n, conc, host = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
lat, errors, taken, lock = [], [0], [0], threading.Lock()
def worker():
    while True:
        with lock:
            if taken[0] >= n:
                return
            taken[0] += 1
        t = time.monotonic()
        key = (threading.get_ident(), t)
        if diag:
            with lock:
                outstanding[key] = t
        ok = False
        try:
            c = http.client.HTTPConnection(host, 80, timeout=60)
            c.request("GET", "/")
            r = c.getresponse()
            r.read()
            c.close()
            ok = r.status == 200
        except Exception:
            pass
        d = time.monotonic() - t
        with lock:
            if diag:
                outstanding.pop(key, None)
            lat.append(d)
            errors[0] += 0 if ok else 1
diag = os.environ.get("VT_BURST_DIAG")
if diag:
    # The namespace's sockets while a request is still hanging: afterwards its state is gone.
    outstanding, reported = {}, set()
    def watchdog():
        while True:
            time.sleep(1)
            now = time.monotonic()
            with lock:
                late = [k for k, t in outstanding.items() if now - t > 5 and k not in reported]
                reported.update(late)
            if late:
                with open(diag, "a") as f:
                    f.write(f"--- {time.time():.3f} late {late}\n")
                    f.write(subprocess.run(["ss", "-tanoi"], capture_output=True, text=True).stdout)
                    f.write(subprocess.run(["ip", "neigh"], capture_output=True, text=True).stdout)
                    f.write(subprocess.run(["nstat", "-az"], capture_output=True, text=True).stdout)
    threading.Thread(target=watchdog, daemon=True).start()
began = time.monotonic()
threads = [threading.Thread(target=worker) for _ in range(conc)]
for t in threads:
    t.start()
for t in threads:
    t.join()
total = time.monotonic() - began
lat.sort()
print(f"{total:.3f} {lat[int(0.99 * (len(lat) - 1))] * 1000:.1f} {errors[0]} {lat[-1] * 1000:.0f} "
      f"{sum(1 for d in lat if d >= 1.0)}")
"""


DIAG_DIR = os.environ.get("VT_BURST_DIAG_DIR")
LABEL = ["x"]


def start_captures(env, n):
    """Diagnostics (VT_BURST_DIAG_DIR): packet captures of this burst on the TUN and the uplink of
    the test namespace and on the world's end of its link to the peer, and the namespace's state."""
    suffix = env.ns.rsplit("-", 1)[1]
    tag = f"{LABEL[0]}-{n}"
    procs = []
    for ns, dev in ((env.ns, "VantorelTun"), (env.ns, "vt-phys"), (f"vt-world-{suffix}", "vt-wp")):
        procs.append(subprocess.Popen(["ip", "netns", "exec", ns, "tcpdump", "-i", dev, "-n", "-s", "160", "-U",
                                       "-w", os.path.join(DIAG_DIR, f"{tag}-{dev}.pcap")],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    with open(os.path.join(DIAG_DIR, f"{tag}-before.txt"), "w") as f:
        for args in (["ip", "route"], ["ip", "addr"], ["ss", "-tanp"], ["nstat", "-az"]):
            f.write(f"$ {' '.join(args)}\n" + env.run(["ip", "netns", "exec", env.ns] + args)[1] + "\n")
    time.sleep(1)
    return procs, tag


def burst(env, n):
    extra, procs = {}, []
    if DIAG_DIR:
        procs, tag = start_captures(env, n)
        extra = {"env": dict(os.environ, VT_BURST_DIAG=os.path.join(DIAG_DIR, f"{tag}-late.txt"))}
    done = subprocess.run(["ip", "netns", "exec", env.ns, sys.executable, "-c", CLIENT, str(n), str(CONCURRENCY),
                           PAGE_IP], capture_output=True, text=True, timeout=1800, **extra)
    if DIAG_DIR:
        time.sleep(1)
        with open(os.path.join(DIAG_DIR, f"{tag}-after.txt"), "w") as f:
            for args in (["ss", "-tan", "state", "time-wait"], ["nstat", "-az"]):
                f.write(f"$ {' '.join(args)}\n" + env.run(["ip", "netns", "exec", env.ns] + args)[1] + "\n")
        for p in procs:
            p.terminate()
            p.wait()
    total, p99, errors, slowest, over_second = done.stdout.split()
    # The line's figures leave out the slowest requests; they are where a stalled engine shows.
    print(f"burst detail: {n} requests, {errors} failed, slowest {slowest} ms, {over_second} took 1 s or more",
          flush=True)
    return float(total), float(p99), int(errors)


def broker_run(env, sizes, config_copy):
    session = Session(env, "burst")
    link = f"vless://{env.uuid}@{env.server_ip}:443?security=none&sni=example.org"
    generation = start(session, link)
    if generation is None or wait_state(session, generation, "connected", 60) is None:
        print("burst: the session did not connect", flush=True)
        session.close()
        return None
    shutil.copy(os.path.join(env.data, "run", "current_session.json"), config_copy)
    figures = {n: burst(env, n) for n in sizes}
    disconnect(session, generation)
    session.close()
    return figures


def engine_alone(env, sizes, config_copy):
    windows_path = "Z:" + config_copy.replace("/", "\\")
    launcher = subprocess.Popen(env.ns_cmd("wine", env.install_win + "\\sing-box.exe", "run", "-c", windows_path),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_until(lambda: env.run(["ip", "-n", env.ns, "link", "show", "VantorelTun"])[0] == 0, 30):
            print("burst: the engine alone made no VantorelTun", flush=True)
            return None
        time.sleep(1)
        env.run(["ip", "-n", env.ns, "route", "add", f"{PAGE_IP}/32", "dev", "VantorelTun"])
        return {n: burst(env, n) for n in sizes}
    finally:
        launcher.kill()
        launcher.wait()
        wait_until(lambda: not env.linux_engines(), 10)
        for pid in env.linux_engines() + env.engine_pids():
            env.run(["kill", "-KILL", str(pid)])


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [1000, 5000]
    # The machine is shared: the two runs alternate, and each figure is the median of its rounds.
    rounds = int(os.environ.get("VT_BURST_ROUNDS", "3"))
    env = RealEnv()
    config_copy = os.path.join(env.work, "engine.json")
    broker_rounds, alone_rounds = [], []
    for round_number in range(rounds):
        # The real TUN gets a new interface index at every start; Wine keeps the first it saw.
        if round_number > 0 and not env.fresh_wine():
            print("burst: the service did not start again", flush=True)
            return 1
        LABEL[0] = f"r{round_number}-broker"
        broker = broker_run(env, sizes, config_copy)
        if broker is None:
            return 1
        LABEL[0] = f"r{round_number}-alone"
        alone = engine_alone(env, sizes, config_copy)
        if alone is None:
            return 1
        broker_rounds.append(broker)
        alone_rounds.append(alone)
    for n in sizes:
        x, y = median([r[n][0] for r in broker_rounds]), median([r[n][1] for r in broker_rounds])
        x0, y0 = median([r[n][0] for r in alone_rounds]), median([r[n][1] for r in alone_rounds])
        print(f"burst: {n} requests, broker-run engine {x:.2f} s (p99 {y:.0f} ms), engine alone {x0:.2f} s "
              f"(p99 {y0:.0f} ms), ratio {x / x0:.2f}", flush=True)
        # The medians can pass over a round with a failed request; the count over all rounds cannot.
        failed, failed0 = sum(r[n][2] for r in broker_rounds), sum(r[n][2] for r in alone_rounds)
        print(f"burst failures: {n} requests x {rounds} rounds, broker-run engine {failed} failed, "
              f"engine alone {failed0} failed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
