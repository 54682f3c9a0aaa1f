#!/usr/bin/env python3
"""Measures mousetrap and prints a table (a benchmark, not a test: nothing passes or fails).

For the native X11 build and for the Windows build under Wine, each on a private Xvfb display:
- latency from a one-pixel pointer move, at a random moment after the grace period, to the
  start of the lock command (a stand-in that logs its start time), over --moves runs;
- CPU time of the watching process (and, under Wine, of wineserver) per minute of a still
  pointer, and the watching process's resident memory, over --idle-seconds.

Run from the project root after scripts/test.sh (or both presets) has built:
    /usr/bin/python3 bench/bench.py [--moves 30] [--idle-seconds 60] [--only native|wine]
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import harness  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "build", "host", "mousetrap")
EXE = os.path.join(ROOT, "build", "win32", "mousetrap.exe")
GRACE_S = 7.0


def cpu_ms(pid):
    """CPU time of a process so far, in ms (from /proc/PID/schedstat, in ns)."""
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0]) / 1e6


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def wineserver_pid():
    out = subprocess.run(["pgrep", "-n", "wineserver"], capture_output=True, text=True).stdout
    return int(out) if out.strip() else None


def measure(name, display, launch, started_ms, moves, idle_s, server=None):
    """launch() starts a watching tool and returns its Popen; started_ms() gives the start time
    (ms since the epoch) of the lock command it ran; server(), if given, the pid of wineserver."""
    latencies = []
    for _ in range(moves):
        tool = launch()
        try:
            time.sleep(GRACE_S + random.uniform(0.3, 1.3))
            harness.xdotool(display, "mousemove_relative", "1", "0")
            moved = time.time() * 1000
            tool.wait(15)
            latencies.append(started_ms() - moved)
        finally:
            if tool.poll() is None:
                tool.kill()
                tool.wait()

    tool = launch()
    try:
        time.sleep(GRACE_S + 1)
        server_pid = server() if server else None
        tool_start = cpu_ms(tool.pid)
        server_start = cpu_ms(server_pid) if server_pid else 0
        time.sleep(idle_s)
        per_minute = 60 / idle_s
        tool_cpu = (cpu_ms(tool.pid) - tool_start) * per_minute
        server_cpu = (cpu_ms(server_pid) - server_start) * per_minute if server_pid else None
        rss = rss_kib(tool.pid)
    finally:
        tool.kill()
        tool.wait()
    latencies.sort()
    return {"build": name, "moves": len(latencies),
            "p50": statistics.median(latencies),
            "p95": latencies[min(len(latencies) - 1, round(0.95 * (len(latencies) - 1)))],
            "max": latencies[-1], "cpu": tool_cpu, "server": server_cpu, "rss": rss / 1024}


def native(tmp, display, args):
    log = os.path.join(tmp, "loginctl.log")
    bin_dir = os.path.join(tmp, "bin")
    os.mkdir(bin_dir)
    with open(os.path.join(bin_dir, "loginctl"), "w") as f:
        f.write('#!/bin/sh\ndate +%s%3N > "$LOCK_LOG"\n')
    os.chmod(os.path.join(bin_dir, "loginctl"), 0o755)
    env = {"PATH": f"{bin_dir}:/usr/bin:/bin", "DISPLAY": display, "LOCK_LOG": log}

    def launch():
        if os.path.exists(log):
            os.remove(log)
        return subprocess.Popen([NATIVE], env=env, stdout=subprocess.DEVNULL)

    def started():
        with open(log) as f:
            return int(f.read())

    return measure("native X11", display, launch, started, args.moves, args.idle_seconds)


def wine(tmp, display, args):
    folder = os.path.join(tmp, "wine")
    os.mkdir(folder)
    harness.build_standin_rundll32(os.path.join(folder, "rundll32.exe"))
    log = os.path.join(folder, "rundll32.log")
    with harness.wine_session(tmp, display) as env:
        def launch():
            if os.path.exists(log):
                os.remove(log)
            return subprocess.Popen(["wine", EXE], cwd=folder, env=env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)

        def started():
            with open(log) as f:
                return int(f.read().split()[0])

        return measure("Windows under Wine", display, launch, started, args.moves,
                       args.idle_seconds, server=wineserver_pid)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--moves", type=int, default=30)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--only", choices=["native", "wine"])
    args = parser.parse_args()
    harness.require("Xvfb", "xdotool", *([] if args.only == "native" else
                                         ["wine", "wineserver", "i686-w64-mingw32-gcc"]))
    rows = []
    with tempfile.TemporaryDirectory(prefix="mousetrap-bench-") as tmp, \
            harness.private_display() as display:
        harness.xdotool(display, "mousemove", "100", "100")
        if args.only != "wine":
            rows.append(native(tmp, display, args))
        if args.only != "native":
            rows.append(wine(tmp, display, args))
    print("| build | moves | latency p50 | p95 | max | CPU per minute watching "
          "| wineserver CPU per minute | resident memory |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        server = "-" if r["server"] is None else f"{r['server']:.1f} ms"
        print(f"| {r['build']} | {r['moves']} | {r['p50']:.0f} ms | {r['p95']:.0f} ms "
              f"| {r['max']:.0f} ms | {r['cpu']:.1f} ms | {server} | {r['rss']:.2f} MiB |")


if __name__ == "__main__":
    main()
