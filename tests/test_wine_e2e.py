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
import unittest

import harness

EXE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "build/win32/mousetrap.exe"
if not os.path.exists(EXE):
    harness.skip(f"{EXE} has not been built: run cmake --workflow --preset win32 first")
harness.require("wine", "wineserver", "Xvfb", "xdotool", "i686-w64-mingw32-gcc")
BANNER = b"\xBF\xAA\xCA\xBC\r\n"  # GBK, the line feed written as CR LF by the text-mode stream
RUNS = {"plain": ([], 0), "failing": ([], 1), "arguments": (["--help", "/?", "-t", "0"], 0)}


class UnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tmp = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="mousetrap-wine-"))
        cls.display = cls.enterClassContext(harness.private_display())
        cls.env = cls.enterClassContext(harness.wine_session(tmp, cls.display))
        standin = os.path.join(tmp, "rundll32.exe")
        harness.build_standin_rundll32(standin)

        cls.procs, cls.folders = {}, {}
        for name, (args, status) in RUNS.items():
            folder = cls.folders[name] = os.path.join(tmp, name)
            os.mkdir(folder)
            os.link(standin, os.path.join(folder, "rundll32.exe"))
            with open(os.path.join(folder, "stdout"), "wb") as out:
                cls.procs[name] = subprocess.Popen(
                    ["wine", EXE, *args], cwd=folder, stdout=out, stderr=subprocess.DEVNULL,
                    env={**cls.env, "STANDIN_EXIT": str(status)})
        cls.addClassCleanup(lambda: [p.kill() for p in cls.procs.values() if p.poll() is None])
        cls.quiet, cls.moved_ms, cls.status = harness.watch_timeline(
            cls.display, cls.procs, lambda name: os.path.exists(cls.log(name)))

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
                self.assertTrue(self.quiet[name])

    def test_one_pixel_move_locks_once(self):
        status, stdout, calls = self.outcome("plain")
        self.assertEqual(status, 0)
        self.assertEqual(stdout, BANNER)
        self.assertEqual([call[1:3] for call in calls], [["2", "user32.dll,LockWorkStation"]])
        print(f"\nrundll32.exe command line: {calls[0][3]}", file=sys.stderr)
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
