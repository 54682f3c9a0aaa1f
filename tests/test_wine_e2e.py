"""mousetrap.exe end to end under Wine: real C runtime, real cmd.exe, real pointer motion.

Usage: test_wine_e2e.py EXE ARCH, where ARCH is win32 (the released program; run only where
the kernel runs 32-bit programs) or win64 (its x86-64 twin, run everywhere). Six copies run at
once on a private X display and Wine prefix, each in a folder of its own: a plain one, one whose
lock command reports failure, and four given arguments. The stand-in rundll32.exe is the
system's (in the system folder of the program's architecture); each folder also holds a decoy
rundll32.exe that must never run. They share the pointer, so one timeline tests them all:
motion in the grace period, a still pointer while they watch, then a one-pixel move.
"""
import contextlib
import os
import subprocess
import sys
import tempfile
import unittest

import harness

EXE, ARCH = os.path.abspath(sys.argv.pop(1)), sys.argv.pop(1)
if not os.path.exists(EXE):
    harness.skip(f"{EXE} has not been built: run cmake --workflow --preset {ARCH} first")
harness.require_wine(ARCH)
BANNER = b"\xBF\xAA\xCA\xBC\r\n"  # GBK, the line feed written as CR LF by the text-mode stream
# name: (arguments, the stand-in's exit status, the tool's, and a pattern its standard output
# matches once it ended, None while it watches the still pointer, its banner shown)
RUNS = {"plain": ([], 0, 0, None), "failing": ([], 1, 1, None),
        # Answered at once, nothing armed (no banner, no rundll32.exe); the help in GBK, each line
        # ended by CR LF. The last one's grace period is over by the others' grace-period move.
        "arguments": (["-t", "0", "/?"], 0, 2, b"^$"),
        "version": (["--version"], 0, 0, rb"^mousetrap \d+\.\d+\.\d+\r\n$"),
        "help": (["/?"], 0, 0, b"^" + "用法：".encode("gbk") + rb"mousetrap\.exe \[(.*\r\n)+$"),
        "grace-1": (["--grace", "1"], 0, 0, b"^" + BANNER + b"$")}
SYSTEM_DIR = r"c:\windows\system32"  # what a program of either kind is told the system folder is


class UnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tmp = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="mousetrap-wine-"))
        cls.display = cls.enterClassContext(harness.private_display())
        wine_env = cls.enterClassContext(harness.wine_session(tmp, cls.display, ARCH))
        standin, env = harness.install_standin_rundll32(wine_env, ARCH)

        cls.procs, cls.folders = {}, {}
        cls.addClassCleanup(harness.stop, cls.procs.values())
        for name, (args, status, _, _) in RUNS.items():
            folder = cls.folders[name] = os.path.join(tmp, name)
            os.mkdir(folder)
            os.link(standin, os.path.join(folder, "rundll32.exe"))  # the decoy
            with open(os.path.join(folder, "stdout"), "wb") as out:
                cls.procs[name] = harness.start(
                    [harness.WINE_LOADER[ARCH], EXE, *args], cwd=folder, stdout=out,
                    stderr=subprocess.DEVNULL, env={**env, "STANDIN_EXIT": str(status)})
        cls.quiet, cls.moved_ms, cls.status = harness.watch_timeline(
            cls.display, cls.procs, lambda name: os.path.exists(cls.log(name)),
            lambda name: harness.read(os.path.join(cls.folders[name], "stdout")))

    @classmethod
    def log(cls, name):
        return os.path.join(cls.folders[name], "rundll32.log")

    @classmethod
    def outcome(cls, name):
        """(exit status, standard output, [(start ms, stand-in's own path, its arguments,
        its command line)] for each stand-in run)."""
        calls = []
        with contextlib.suppress(FileNotFoundError), open(cls.log(name)) as f:
            calls = [line.rstrip("\n").split("\t") for line in f]
        with open(os.path.join(cls.folders[name], "stdout"), "rb") as f:
            return cls.status[name], f.read(), [(c[0], c[1], c[3:-1], c[-1]) for c in calls]

    def test_grace_motion_ignored_and_still_pointer_keeps_watching_banner_shown(self):
        self.assertEqual(self.quiet, {name: BANNER if out is None else None
                                      for name, (_, _, _, out) in RUNS.items()})

    def test_one_pixel_move_runs_the_system_folders_rundll32_once(self):
        status, stdout, calls = self.outcome("plain")
        self.assertEqual((status, stdout, len(calls)), (0, BANNER, 1))
        _, path, args, line = calls[0]
        print(f"\nrundll32.exe {path}, command line: {line}", file=sys.stderr)
        self.assertEqual(args, ["user32.dll,LockWorkStation"])
        # The system folder's, by its full path; the decoy in the working folder never ran.
        self.assertRegex(path.lower(), r"^c:\\windows\\(system32|syswow64)\\rundll32\.exe$")
        unquoted = line.replace('"', "")
        self.assertTrue(unquoted.lower().startswith(SYSTEM_DIR), line)
        self.assertTrue(unquoted.endswith(r"\rundll32.exe user32.dll,LockWorkStation"), line)
        for name in ("plain", "failing"):
            latency = int(self.outcome(name)[2][0][0]) - self.moved_ms
            print(f"{ARCH} {name}: move to rundll32.exe start {latency:.0f} ms", file=sys.stderr)

    def test_failing_lock_command_ends_with_status_1(self):
        status, stdout, calls = self.outcome("failing")
        self.assertEqual((status, stdout, len(calls)), (1, BANNER, 1))

    def test_arguments(self):
        for name, (args, _, expected, out) in RUNS.items():
            if out:
                with self.subTest(name):
                    status, stdout, calls = self.outcome(name)
                    self.assertEqual((status, len(calls)), (expected, int(stdout == BANNER)))
                    self.assertRegex(stdout, out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
