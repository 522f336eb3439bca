#!/usr/bin/env python3
"""Samples processes from /proc while they sit idle and prints key=value lines.

proc_sampler.py SECONDS NAME=PID...: CPU share (user + system ticks over the whole window),
context switches per second (all threads), and wake-ups per second: the number of 100 ms slices
in which any thread of the process switched at all. Under Wine one wake-up of a thread that
asks the Wine server for something shows as several context switches, so the slices are the
truer count of how often the process leaves its idle state."""
import os
import sys
import time


def ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def switches(pid):
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if "ctxt_switches" in line:
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def main():
    seconds = float(sys.argv[1])
    targets = dict(arg.split("=", 1) for arg in sys.argv[2:])
    hz = os.sysconf("SC_CLK_TCK")
    start_ticks = {n: ticks(p) for n, p in targets.items()}
    last = {n: switches(p) for n, p in targets.items()}
    first = dict(last)
    woken = {n: 0 for n in targets}
    began = time.monotonic()
    slices = 0
    while time.monotonic() - began < seconds:
        time.sleep(0.1)
        slices += 1
        for n, p in targets.items():
            now = switches(p)
            if now != last[n]:
                woken[n] += 1
            last[n] = now
    elapsed = time.monotonic() - began
    for n, p in targets.items():
        cpu = 100.0 * (ticks(p) - start_ticks[n]) / hz / elapsed
        print(f"idle_{n}_cpu_pct={cpu:.4f}")
        print(f"idle_{n}_switches_per_s={(last[n] - first[n]) / elapsed:.3f}")
        print(f"idle_{n}_wakes_per_s={woken[n] / elapsed:.3f}")
    print(f"idle_seconds={elapsed:.0f}")


if __name__ == "__main__":
    main()
