"""mousetrap.exe end to end under Wine: real C runtime, real cmd.exe, real pointer motion.

Three copies run at once on a private X display and Wine prefix, each in a folder of its own
with a stand-in rundll32.exe that cmd.exe finds there: a plain one, one whose stand-in reports
failure, and one given arguments. They share the pointer, so one timeline tests them all:
motion in the grace period, a still pointer while they watch, then a one-pixel move.
"""
import os
import subprocess
import sys
import tempfile
import time
import unittest

import harness

EXE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "build/win32/mousetrap.exe"
if not os.path.exists(EXE):
    harness.skip(f"{EXE} has not been built: run cmake --workflow --preset win32 first")
harness.require("wine", "wineserver", "Xvfb", "xdotool", "i686-w64-mingw32-gcc")
HERE = os.path.dirname(os.path.abspath(__file__))
BANNER = b"\xBF\xAA\xCA\xBC\r\n"  # GBK, the line feed written as CR LF by the text-mode stream
GRACE_MOVE_S = 3.0  # after launch: inside the 7 s grace period
STILL_UNTIL_S = 10.0  # after launch: about 2.5 s of still watching
RUNS = {"plain": ([], 0), "failing": ([], 1), "arguments": (["--help", "/?", "-t", "0"], 0)}


class UnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tmp = tempfile.TemporaryDirectory(prefix="mousetrap-wine-")
        cls.addClassCleanup(tmp.cleanup)
        display_context = harness.private_display()
        cls.display = display_context.__enter__()
        cls.addClassCleanup(display_context.__exit__, None, None, None)
        cls.env = {"PATH": os.environ["PATH"], "HOME": tmp.name, "DISPLAY": cls.display,
                   "WINEPREFIX": os.path.join(tmp.name, "prefix"), "WINEDEBUG": "-all",
                   "WINEDLLOVERRIDES": "mscoree,mshtml="}
        cls.addClassCleanup(subprocess.run, ["wineserver", "-k"], env=cls.env, timeout=30)
        standin = os.path.join(tmp.name, "rundll32.exe")
        subprocess.run(["i686-w64-mingw32-gcc", "-O2", "-static", "-o", standin,
                        os.path.join(HERE, "standin_rundll32.c")], check=True, timeout=60)

        # A new prefix starts slowly and Wine's desktop centres the pointer when it starts:
        # warm both up before the tool's clock starts, then place the pointer.
        start = time.monotonic()
        os.mkdir(cls.env["WINEPREFIX"])
        subprocess.run(["wineserver", "-p"], env=cls.env, check=True, timeout=30)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=cls.env, check=True, timeout=120,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print(f"\nWine prefix warm-up: {time.monotonic() - start:.1f} s", file=sys.stderr)
        harness.xdotool(cls.display, "mousemove", "100", "100")

        cls.procs, cls.folders = {}, {}
        for name, (args, status) in RUNS.items():
            folder = cls.folders[name] = os.path.join(tmp.name, name)
            os.mkdir(folder)
            os.link(standin, os.path.join(folder, "rundll32.exe"))
            with open(os.path.join(folder, "stdout"), "wb") as out:
                cls.procs[name] = subprocess.Popen(
                    ["wine", EXE, *args], cwd=folder, stdout=out, stderr=subprocess.DEVNULL,
                    env={**cls.env, "STANDIN_EXIT": str(status)})
        cls.addClassCleanup(lambda: [p.kill() for p in cls.procs.values() if p.poll() is None])
        launched = time.monotonic()

        time.sleep(GRACE_MOVE_S)
        harness.xdotool(cls.display, "mousemove", "400", "300")
        time.sleep(STILL_UNTIL_S - GRACE_MOVE_S)
        cls.watching = {name: p.poll() is None for name, p in cls.procs.items()}
        cls.locked_early = {name: os.path.exists(cls.log(name)) for name in RUNS}

        harness.xdotool(cls.display, "mousemove_relative", "1", "0")
        cls.moved_ms = time.time() * 1000
        deadline = time.monotonic() + 15
        cls.status = {name: p.wait(max(0.1, deadline - time.monotonic()))
                      for name, p in cls.procs.items()}
        print(f"watch window: {time.monotonic() - launched:.1f} s", file=sys.stderr)

    @classmethod
    def log(cls, name):
        return os.path.join(cls.folders[name], "rundll32.log")

    @classmethod
    def outcome(cls, name):
        with open(cls.log(name)) as f:
            calls = [line.rstrip("\n").split("\t") for line in f]
        with open(os.path.join(cls.folders[name], "stdout"), "rb") as f:
            return cls.status[name], f.read(), calls

    def test_grace_motion_ignored_and_still_pointer_keeps_watching(self):
        for name in RUNS:
            with self.subTest(name):
                self.assertTrue(self.watching[name])
                self.assertFalse(self.locked_early[name])

    def test_one_pixel_move_locks_once(self):
        status, stdout, calls = self.outcome("plain")
        self.assertEqual(status, 0)
        self.assertEqual(stdout, BANNER)
        self.assertEqual([call[1:] for call in calls], [["2", "user32.dll,LockWorkStation"]])
        for name in RUNS:
            latency = int(self.outcome(name)[2][0][0]) - self.moved_ms
            print(f"{name}: move to rundll32.exe start {latency:.0f} ms", file=sys.stderr)

    def test_failing_lock_command_ends_with_status_1(self):
        status, stdout, calls = self.outcome("failing")
        self.assertEqual((status, stdout, len(calls)), (1, BANNER, 1))

    def test_arguments_change_nothing(self):
        plain, given = self.outcome("plain"), self.outcome("arguments")
        self.assertEqual(given[:2], plain[:2])
        self.assertEqual([call[1:] for call in given[2]], [call[1:] for call in plain[2]])


if __name__ == "__main__":
    unittest.main(verbosity=2)
