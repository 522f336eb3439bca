#!/usr/bin/env python3
"""One table of the benchmark figures, their ratios and the targets they answer.

bench/report.py NATIVE_JSON WINE_TXT: the Google Benchmark JSON of vantorel_bench and the
key=value lines of bench/wine_roundtrip.sh (either may be missing or partial)."""
import json
import sys


def load_native(path):
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError):
        return {}, {}
    figures = {}
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        # With repetitions only the median stands for a benchmark.
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
        figures[b.get("run_name", b["name"])] = {"cpu_s": b["cpu_time"] * unit,
                                                 "bytes_per_s": b.get("bytes_per_second")}
    return figures, data.get("context", {})


def load_wine(path):
    values = {}
    pooled = {}
    try:
        with open(path) as f:
            for line in f:
                line = line.strip()
                if line.startswith("wine_raw "):
                    _, name, *samples = line.split()
                    pooled.setdefault(name, []).extend(float(x) for x in samples)
                elif line.startswith(("wine_pipe ", "wine_session ", "wine_echo ")):
                    continue
                elif "=" in line:
                    k, _, v = line.partition("=")
                    values[k] = v
    except OSError:
        pass
    for name, samples in pooled.items():
        samples.sort()
        at = lambda q: samples[min(int(q * (len(samples) - 1) + 0.5), len(samples) - 1)]
        values[f"wine_{name}_n"] = str(len(samples))
        values[f"wine_{name}_p50_us"] = str(at(0.5))
        values[f"wine_{name}_p99_us"] = str(at(0.99))
    return values


def main():
    native, context = load_native(sys.argv[1])
    wine = load_wine(sys.argv[2])
    rows = []

    def row(figure, value, target="", verdict=""):
        rows.append((figure, value, target, verdict))

    def check(ok):
        return "met" if ok else "MISSED"

    sizes = sorted({int(n.split("/")[1]) for n in native if n.startswith("BM_WalkCursor/")})
    for size in sizes:
        c = native.get(f"BM_WalkCursor/{size}")
        s = native.get(f"BM_WalkSimdjson/{size}")
        n = native.get(f"BM_WalkNlohmann/{size}")
        if not (c and s and n):
            continue
        mb = lambda x: x["bytes_per_s"] / 1e6
        vs_simd = mb(c) / mb(s)
        vs_nl = mb(c) / mb(n)
        label = f"{size // 1024} KiB" if size < 1 << 20 else f"{size >> 20} MiB"
        value = f"cursor {mb(c):.0f} MB/s, simdjson {mb(s):.0f}, nlohmann {mb(n):.0f}: {vs_simd:.2f}x simdjson, {vs_nl:.2f}x nlohmann"
        if size == 4 << 20:
            row(f"walk {label}", value, ">= 0.5x simdjson, >= 3x nlohmann", check(vs_simd >= 0.5 and vs_nl >= 3))
        else:
            row(f"walk {label}", value)
    walk = native.get("BM_FlowWalk10k")
    tick = native.get("BM_FlowTick10k")
    if walk and tick:
        own = max(tick["cpu_s"] - walk["cpu_s"], 0.0)
        ratio = own / walk["cpu_s"]
        row("flow tick, 10,000 connections",
            f"tick {tick['cpu_s'] * 1e3:.2f} ms, walk {walk['cpu_s'] * 1e3:.2f} ms, monitor {own * 1e3:.2f} ms = {ratio:.2f}x walk",
            "monitor <= 0.5x walk", check(ratio <= 0.5))
    for name, label in (("BM_CommandReaderHello", "command reader, hello"),
                        ("BM_CommandReaderConnect/512", "command reader, connect with 512+128 domains"),
                        ("BM_EngineConfig/512", "engine configuration, 512+128 domains"),
                        ("BM_ConnectDisconnectCycle", "connect and disconnect over the fakes")):
        if name in native:
            row(label, f"{native[name]['cpu_s'] * 1e6:.1f} us")

    if "wine_pipe_p50_us" in wine and "wine_session_p50_us" in wine:
        pipe50, pipe99 = float(wine["wine_pipe_p50_us"]), float(wine["wine_pipe_p99_us"])
        ses50, ses99 = float(wine["wine_session_p50_us"]), float(wine["wine_session_p99_us"])
        row("hello round trip, pipe only (Wine)", f"p50 {pipe50 / 1e3:.3f} ms, p99 {pipe99 / 1e3:.3f} ms, n={wine['wine_pipe_n']}")
        row("hello round trip, through VantorelCtl session (Wine)",
            f"p50 {ses50 / 1e3:.3f} ms ({ses50 / pipe50:.2f}x pipe), p99 {ses99 / 1e3:.3f} ms, n={wine['wine_session_n']}",
            "p50 <= 2x pipe, p99 <= 5 ms", check(ses50 <= 2 * pipe50 and ses99 <= 5000))
        if "wine_echo_p50_us" in wine:
            echo50, echo99 = float(wine["wine_echo_p50_us"]), float(wine["wine_echo_p99_us"])
            floor = pipe50 + echo50
            row("line echoed by a child over its standard streams (Wine)",
                f"p50 {echo50 / 1e3:.3f} ms, p99 {echo99 / 1e3:.3f} ms; pipe + echo = {floor / 1e3:.3f} ms "
                f"= {floor / pipe50:.2f}x pipe, the session's floor; session = {ses50 / floor:.2f}x floor")
    if "idle_ctl_cpu_pct" in wine:
        for who, label in (("ctl", "VantorelCtl"), ("broker", "VantorelBroker"), ("server", "wineserver")):
            cpu = float(wine.get(f"idle_{who}_cpu_pct", "nan"))
            sw = float(wine.get(f"idle_{who}_switches_per_s", "nan"))
            wakes = float(wine.get(f"idle_{who}_wakes_per_s", "nan"))
            target = "<= 0.05% CPU, <= 1 wake-up/s" if who != "server" else ""
            verdict = check(cpu <= 0.05 and wakes <= 1.0) if who != "server" else ""
            row(f"idle session {wine.get('idle_seconds', '?')} s, {label}",
                f"{cpu:.3f}% CPU, {wakes:.2f} wake-ups/s ({sw:.2f} context switches/s)", target, verdict)
    if "ctl_stripped_bytes" in wine:
        size = int(wine["ctl_stripped_bytes"])
        row("VantorelCtl.exe stripped", f"{size} bytes ({size / 1024:.0f} KiB)", "<= 400 KB", check(size <= 400 * 1000))
    for k in ("wine_error", "wine_skipped"):
        if k in wine:
            row("Wine measures", wine[k])

    host = context.get("host_name", "?")
    print(f"Vantorel benchmarks ({context.get('date', '?')}, {host}, {context.get('num_cpus', '?')} CPUs "
          f"at {context.get('mhz_per_cpu', '?')} MHz, load {context.get('load_avg', '?')})")
    widths = [max(len(r[i]) for r in rows + [("figure", "value", "target", "verdict")]) for i in range(4)]
    for r in [("figure", "value", "target", "verdict")] + rows:
        print("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(r)).rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
