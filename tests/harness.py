"""What the end-to-end tests share: tool checks, a private X display, the pointer."""
import contextlib
import os
import select
import shutil
import subprocess
import sys


def skip(reason):
    """Ends the test as skipped (77), or as failed when MOUSETRAP_REQUIRE_ALL is set."""
    print(reason)
    sys.exit(1 if os.environ.get("MOUSETRAP_REQUIRE_ALL") else 77)


def require(*tools):
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        skip(f"missing: {' '.join(missing)} (scripts/test.sh installs them)")


@contextlib.contextmanager
def private_display():
    """Runs Xvfb on a display number of its own choosing; yields the DISPLAY value."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
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


def pointer(display):
    fields = dict(item.split(":") for item in xdotool(display, "getmouselocation").split())
    return int(fields["x"]), int(fields["y"])
