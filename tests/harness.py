"""What the end-to-end tests share: tool checks, a private X display, the pointer."""
import contextlib
import os
import select
import shutil
import subprocess
import sys
import time

GRACE_MOVE_S = 3.0  # after launch: inside the tool's 7 s grace period
STILL_UNTIL_S = 11.0  # after launch: over 3 s of watching a still pointer
HERE = os.path.dirname(os.path.abspath(__file__))


def skip(reason):
    """Ends the test as skipped (77), or as failed when MOUSETRAP_REQUIRE_ALL is set."""
    print(reason)
    sys.exit(1 if os.environ.get("MOUSETRAP_REQUIRE_ALL") else 77)


def require(*tools):
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        skip(f"missing: {' '.join(missing)} (scripts/test.sh installs them)")


@contextlib.contextmanager
def private_display(number=None):
    """Runs Xvfb on display `number`, or on one of its own choosing; yields the DISPLAY value."""
    read_end, write_end = os.pipe()
    chosen = [] if number is None else [f":{number}"]
    xvfb = subprocess.Popen(["Xvfb", *chosen, "-displayfd", str(write_end),
                             "-screen", "0", "1024x768x24", "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    try:
        number = b""
        while not number.endswith(b"\n"):
            if not select.select([read_end], [], [], 15)[0]:
                raise RuntimeError("Xvfb did not start")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError("Xvfb ended at start-up")
            number += chunk
        yield f":{int(number)}"
    finally:
        os.close(read_end)
        xvfb.terminate()
        try:
            xvfb.wait(5)
        except subprocess.TimeoutExpired:
            xvfb.kill()
            xvfb.wait()


def xdotool(display, *args):
    return subprocess.run(["xdotool", *args], env={**os.environ, "DISPLAY": display}, check=True,
                          capture_output=True, text=True, timeout=10).stdout


def watch_timeline(display, procs, locked):
    """Drives the pointer for the tools in `procs` (name: Popen), launched just now: a move in
    their grace period, a still pointer while they watch, then a one-pixel move.

    `locked(name)` tells whether a tool's lock command has run. Returns, per tool, whether it was
    still watching and had not locked just before the last move; the time of that move in ms
    since the epoch; and each tool's exit status."""
    time.sleep(GRACE_MOVE_S)
    xdotool(display, "mousemove", "400", "300")
    time.sleep(STILL_UNTIL_S - GRACE_MOVE_S)
    quiet = {name: p.poll() is None and not locked(name) for name, p in procs.items()}
    xdotool(display, "mousemove_relative", "1", "0")
    moved_ms = time.time() * 1000
    deadline = time.monotonic() + 15
    status = {name: p.wait(max(0.1, deadline - time.monotonic())) for name, p in procs.items()}
    return quiet, moved_ms, status


def build_standin_rundll32(path):
    """Builds the stand-in rundll32.exe (standin_rundll32.c) with the i686 cross compiler."""
    subprocess.run(["i686-w64-mingw32-gcc", "-O2", "-static", "-o", path,
                    os.path.join(HERE, "standin_rundll32.c")], check=True, timeout=60)


@contextlib.contextmanager
def wine_session(folder, display):
    """A private Wine prefix in `folder`, its server kept up and its desktop started, so a tool's
    clock starts on a warm Wine; yields the environment to run Wine with. Stops the server."""
    env = {"PATH": os.environ["PATH"], "HOME": folder, "DISPLAY": display,
           "WINEPREFIX": os.path.join(folder, "prefix"), "WINEDEBUG": "-all",
           "WINEDLLOVERRIDES": "mscoree,mshtml="}
    os.mkdir(env["WINEPREFIX"])
    try:
        start = time.monotonic()
        subprocess.run(["wineserver", "-p"], env=env, check=True, timeout=30)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=env, check=True, timeout=120,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print(f"\nWine prefix warm-up: {time.monotonic() - start:.1f} s", file=sys.stderr)
        # Wine's desktop centred the pointer when it started: put it somewhere known.
        xdotool(display, "mousemove", "100", "100")
        yield env
    finally:
        subprocess.run(["wineserver", "-k"], env=env, timeout=30)
