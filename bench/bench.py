#!/usr/bin/env python3
"""Measures mousetrap and prints a table (a benchmark, not a test: nothing passes or fails).

For the native build on a private Xvfb display and on headless sway, mutter and KWin (as the
tests run them, with one-pixel moves through each compositor's input path), and for the Windows
build under Wine on a private Xvfb display (the 32-bit program where the kernel runs 32-bit
programs, its x86-64 twin elsewhere):
- latency from a one-pixel pointer move, at a random moment after the grace period, to the
  lock: on X11 the start of a stand-in xdg-screensaver that logs its start time, on Wayland the
  Lock call that the logind stand-in (tests/logind.py) logs, with no locker listening, so the
  session stays open for the next move; under Wine a stand-in rundll32.exe; over --moves runs;
- CPU time of the watching process (and, under Wine, of wineserver) per minute of a still
  pointer, and the watching process's resident memory, over --idle-seconds.
And, with real lockers on headless sway (swayidle and swaylock), gnome-shell and KWin
(kscreenlocker, with logind and without), the time from a one-pixel move to the session seen
locked, over --lock-runs fresh sessions. And, for comparison, the CPU time per minute of a bare
loop that only sleeps 100 ms at a time (python3: time.sleep(0.1)).

Also the native tool's resident memory before and after two bursts of keyboard mapping
changes, which the X server announces to every client.

Run from the project root after scripts/test.sh (or both presets) has built (the test command
runs it once with the smallest settings, as the ctest test bench_smoke):
    /usr/bin/python3 bench/bench.py [--moves 30] [--idle-seconds 60] [--mapping-changes 100000]
                                    [--lock-runs 5] [--only native|wayland|lockers|wine|loop]
"""
import argparse
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import harness  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "build", "host", "mousetrap")
GRACE_S = 7.0
REFERENCE_S = GRACE_S + 0.1  # after the tool's start: its first sample, the reference
# compositor: what the native program watches with there
WAYLAND = {"sway-bare": "org_kde_kwin_idle", "mutter": "IdleMonitor",
           "kwin-open": "ext_idle_notifier_v1"}
# KWin with logind and without its lock screen, which would lock at the first move.
harness.COMPOSITORS["kwin-open"] = harness.COMPOSITORS["kwin"]._replace(
    server=[*harness.KWIN, "--no-lockscreen"], ready=None, locked=None)
# compositor with a real locker: how the native program locks it there
LOCKERS = {"sway": "logind, swayidle + swaylock", "gnome-shell": "logind, gnome-shell",
           "kwin": "logind, kscreenlocker", "kwin-alone": "org.freedesktop.ScreenSaver, kscreenlocker"}


def cpu_ms(pid):
    """CPU time of a process so far, in ms (from /proc/PID/schedstat, in ns)."""
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0]) / 1e6


def rss_kib(pid, key="Rss:"):
    """Resident memory of a process in KiB; with key="Pss:", its proportional share, where each
    page shared with other processes counts divided among them."""
    with open(f"/proc/{pid}/smaps_rollup") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key))


def wineserver_pid(prefix):
    """The pid of the wineserver of `prefix` (its environment names the prefix)."""
    wanted = f"WINEPREFIX={prefix}".encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/comm") as f:
                if not f.read().startswith("wineserver"):
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if wanted in f.read().split(b"\0"):
                    return int(pid)
        except OSError:
            continue
    return None


def started(tool, image):
    """Waits until the tool's process has mapped its program file `image`, which under Wine
    comes well after launch; returns that moment (time.monotonic())."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        with open(f"/proc/{tool.pid}/maps") as f:
            if image in f.read():
                return time.monotonic()
        time.sleep(0.005)
    raise RuntimeError(f"{image} did not start")


def one_pixel(display):
    return lambda: harness.xdotool(display, "mousemove_relative", "1", "0")


def measure(name, move, launch, image, started_ms, moves, idle_s, server=None):
    """launch() starts a watching tool, whose program file is `image`, and returns its Popen;
    move() moves the pointer one pixel; started_ms() gives the start time (ms since the epoch)
    of the lock command the tool ran; server(), if given, the pid of wineserver."""
    latencies = []
    for _ in range(moves):
        tool = launch()
        try:
            # At least 1 s after the reference, at a random phase of the sampling interval.
            begun = started(tool, image)
            time.sleep(max(0, begun + REFERENCE_S + 1 + random.uniform(0, 1) - time.monotonic()))
            move()
            moved = time.time() * 1000
            if tool.wait(15) != 0:
                raise RuntimeError(f"{name}: the tool ended with status {tool.returncode}")
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
        rss, pss = rss_kib(tool.pid), rss_kib(tool.pid, "Pss:")
    finally:
        tool.kill()
        tool.wait()
    latencies.sort()
    return {"build": name, "moves": len(latencies),
            "p50": statistics.median(latencies),
            "p95": latencies[min(len(latencies) - 1, round(0.95 * (len(latencies) - 1)))],
            "max": latencies[-1], "cpu": tool_cpu, "server": server_cpu, "rss": rss / 1024,
            "pss": pss / 1024}


def mapping_changes(tmp, display, changes):
    """Resident memory of a watching native tool before and after each of two bursts of
    `changes` keyboard mapping changes, each of which the X server announces to every client
    (MappingNotify). Memory that the first burst took and the second does not add to was
    reused, not kept."""
    script = os.path.join(tmp, "mappings")
    with open(script, "w") as f:
        f.writelines(f"keycode 200 = {'ab'[i % 2]}\n" for i in range(changes))
    tool = harness.start([NATIVE], env={"PATH": "/usr/bin:/bin", "DISPLAY": display},
                         stdout=subprocess.DEVNULL)
    try:
        time.sleep(REFERENCE_S + 0.5)
        resident = [rss_kib(tool.pid) / 1024]
        for _ in range(2):
            harness.run(["xmodmap", script], env={**os.environ, "DISPLAY": display},
                           check=True, timeout=600)
            time.sleep(0.5)  # a few readings after the last change
            resident.append(rss_kib(tool.pid) / 1024)
        return resident
    finally:
        harness.stop([tool])


def native(name, folder, env, move, args, logind_log=None):
    """Measures the native program, run as the test user with `env` and a folder of its own,
    `folder` (made here). With `logind_log`, the log of the session's logind stand-in, the lock
    is its Lock call there; else a stand-in xdg-screensaver in `folder`, which logs its start
    time, with neither logind nor a screen saver in reach. Either way the session stays open for
    the next move."""
    log = os.path.join(harness.test_user_folder(folder), "xdg-screensaver.log")
    program = harness.for_test_user(NATIVE, folder)
    harness.write_script(os.path.join(folder, "xdg-screensaver"),
                         '#!/bin/sh\ndate +%s%3N > "$LOCK_LOG"\n')
    env = {**harness.no_buses(folder), **env, "PATH": f"{folder}:/usr/bin:/bin", "LOCK_LOG": log}
    calls = []  # the logind stand-in's Lock calls, as the times it logged, when the tool started

    def logind_locks():
        return re.findall(rb"^(\d+) \S+ Lock$", harness.read(logind_log), re.M)

    def launch():
        if logind_log:
            calls[:] = logind_locks()
        elif os.path.exists(log):
            os.remove(log)
        return harness.start([program], env=env, stdout=subprocess.DEVNULL, **harness.AS_TEST_USER)

    def lock_started():
        if logind_log:
            locks = logind_locks()
            if len(locks) != len(calls) + 1:
                raise RuntimeError(f"{name}: {len(locks) - len(calls)} Lock calls, not one")
            return int(locks[-1])
        with open(log) as f:
            return int(f.read())

    return measure(name, move, launch, program, lock_started, args.moves, args.idle_seconds)


def seen_locked(kind, folder, runs):
    """Time from a one-pixel move to the session seen locked by its real locker, over `runs`
    fresh sessions of `kind` (a locked session stays locked), and the tool's exit statuses."""
    times, statuses = [], []
    for run in range(runs):
        with harness.compositor(kind, f"{folder}/{run}") as session:
            program = harness.for_test_user(NATIVE, f"{folder}/{run}")
            env = {**session.env, **({"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent"}
                                     if kind == "kwin-alone" else {})}
            tool = harness.start([program], env=env, stdout=subprocess.DEVNULL, **harness.AS_TEST_USER)
            try:
                time.sleep(max(0, started(tool, program) + REFERENCE_S + 1 - time.monotonic()))
                session.move()
                moved = time.monotonic()
                while not session.locked() and time.monotonic() < moved + 15:
                    pass
                times.append((time.monotonic() - moved) * 1000)
                statuses.append(tool.wait(15))
            finally:
                harness.stop([tool])
    return {"locker": kind, "route": LOCKERS[kind], "runs": runs, "p50": statistics.median(times),
            "max": max(times), "statuses": statuses}


def bare_loop(idle_s):
    """CPU time per minute of a loop that only sleeps 100 ms at a time."""
    loop = harness.start(["/usr/bin/python3", "-c", "import time\nwhile True: time.sleep(0.1)"])
    try:
        time.sleep(1)
        begun = cpu_ms(loop.pid)
        time.sleep(idle_s)
        return {"build": "bare loop, python3: time.sleep(0.1)", "moves": "-", "p50": None,
                "cpu": (cpu_ms(loop.pid) - begun) * 60 / idle_s, "server": None, "rss": None}
    finally:
        harness.stop([loop])


def wine(tmp, display, args, arch):
    exe = os.path.join(ROOT, "build", arch, "mousetrap.exe")
    folder = os.path.join(tmp, "wine")
    os.mkdir(folder)
    log = os.path.join(folder, "rundll32.log")  # the stand-in writes it in its working folder
    with harness.wine_session(tmp, display, arch) as wine_env:
        _, env = harness.install_standin_rundll32(wine_env, arch)
        def launch():
            if os.path.exists(log):
                os.remove(log)
            return harness.start([harness.WINE_LOADER[arch], exe], cwd=folder, env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def lock_started():
            with open(log) as f:
                return int(f.read().split()[0])

        return measure(f"Windows ({arch}) under Wine", one_pixel(display), launch, exe,
                       lock_started, args.moves, args.idle_seconds,
                       server=lambda: wineserver_pid(wine_env["WINEPREFIX"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--moves", type=int, default=30)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--only", choices=["native", "wayland", "lockers", "wine", "loop"])
    parser.add_argument("--lock-runs", type=int, default=5)
    parser.add_argument("--mapping-changes", type=int, default=100000)
    args = parser.parse_args()
    parts = [args.only] if args.only else ["native", "wayland", "lockers", "wine", "loop"]
    # What each part needs, looked for before any runs: all of a run's rows, or none.
    harness.require("Xvfb", "xdotool", *(["xmodmap"] if "native" in parts else []),
                    *(["dbus-daemon", "sway", "swaymsg", "mutter", "kwin_wayland"] if {
                        "wayland", "lockers"} & set(parts) else []),
                    *(["swayidle", "swaylock", "grim", "gnome-shell"] if "lockers" in parts else []))
    built = {NATIVE: "host"} if {"native", "wayland", "lockers"} & set(parts) else {}
    arch = "win64" if "wine" in parts and harness.kernel_refuses_32bit() else "win32"
    if "wine" in parts:
        harness.require_wine(arch)
        built[os.path.join(ROOT, "build", arch, "mousetrap.exe")] = \
            "release" if arch == "win32" else "win64"
    for program, preset in built.items():
        if not os.path.exists(program):
            harness.skip(f"missing: {program} (cmake --workflow --preset {preset} builds it)")
    rows, mapping, locked = [], None, []
    with tempfile.TemporaryDirectory(prefix="mousetrap-bench-") as tmp, \
            harness.private_display() as display:
        os.chmod(tmp, 0o755)  # the test user reaches its own folders within
        harness.xdotool(display, "mousemove", "100", "100")
        if "native" in parts:
            rows.append(native("native X11", f"{tmp}/x11", {"DISPLAY": display},
                               one_pixel(display), args))
            mapping = mapping_changes(tmp, display, args.mapping_changes)
        for kind, way in WAYLAND.items() if "wayland" in parts else ():
            with harness.compositor(kind, f"{tmp}/{kind}") as session:
                # Its own system bus, where logind takes the lock and nothing can tell whether
                # the session locked; a session bus only where the program watches with it.
                env = {**session.env, "DISPLAY": display}
                if kind != "mutter":
                    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/none"
                rows.append(native(f"native Wayland, {kind.split('-')[0]} ({way})",
                                   f"{tmp}/{kind}/tool", env, session.move, args,
                                   logind_log=f"{tmp}/{kind}/log"))
        for kind in LOCKERS if "lockers" in parts else ():
            os.mkdir(f"{tmp}/locked-{kind}", 0o755)
            locked.append(seen_locked(kind, f"{tmp}/locked-{kind}", args.lock_runs))
        if "wine" in parts:
            rows.append(wine(tmp, display, args, arch))
        if "loop" in parts:
            rows.append(bare_loop(args.idle_seconds))
    print("| build | moves | latency p50 | p95 | max | CPU per minute watching "
          "| wineserver CPU per minute | resident memory (proportional share) |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        server = "-" if r["server"] is None else f"{r['server']:.1f} ms"
        latency = " | ".join("-" if r["p50"] is None else f"{r[key]:.0f} ms"
                             for key in ("p50", "p95", "max"))
        rss = "-" if r["rss"] is None else f"{r['rss']:.2f} MiB ({r['pss']:.2f} MiB)"
        print(f"| {r['build']} | {r['moves']} | {latency} | {r['cpu']:.1f} ms | {server} | {rss} |")
    if locked:
        print("\n| locker | route | runs | move to seen locked p50 | max | exit statuses |")
        print("|---|---|---|---|---|---|")
        for r in locked:
            print(f"| {r['locker']} | {r['route']} | {r['runs']} | {r['p50']:.0f} ms | "
                  f"{r['max']:.0f} ms | {', '.join(map(str, r['statuses']))} |")
    if mapping:
        print(f"\nnative X11 resident memory, before and after each of two bursts of "
              f"{args.mapping_changes} keyboard mapping changes: "
              + ", ".join(f"{mib:.2f} MiB" for mib in mapping))


if __name__ == "__main__":
    main()
