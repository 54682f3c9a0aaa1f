"""The native X11 program end to end: a private Xvfb display, real pointer motion, and stand-ins
for loginctl and xdg-screensaver first on PATH that log their calls and exit as told.

Three copies watch one display at once and share one pointer timeline (motion in the grace
period, a still pointer, then a one-pixel move); each has its own stand-in outcome. A fourth
runs on a terminal with its display not yet up: it reports failed reads there, keeps running,
and locks once the display comes up, since the pointer is then no longer where the failed
reads left the reference.
"""
import os
import pty
import subprocess
import sys
import tempfile
import unittest

import harness

PROGRAM = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "build/host/mousetrap"
harness.require("Xvfb", "xdotool")
BANNER = "开始\n".encode()
FAILED = "鼠标位置获取失败".encode()
LOCK, FALLBACK = ["loginctl", "lock-session"], ["xdg-screensaver", "lock"]
# name: (loginctl status, xdg-screensaver status)
RUNS = {"plain": (0, 0), "fallback": (1, 0), "both fail": (1, 1)}
# Logs its start time (ms since the epoch), name and arguments; exits with $<status variable>.
STANDIN = '#!/bin/sh\necho "$(date +%s%3N) $(basename "$0") $*" >> "$LOCK_LOG"\nexit "$'


class NativeX11(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tmp = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="mousetrap-x11-"))
        display = cls.enterClassContext(harness.private_display())
        # A display number that is free now: taken from an Xvfb started and stopped at once.
        with harness.private_display() as later:
            cls.later = int(later[1:])

        bin_dir = os.path.join(tmp, "bin")
        os.mkdir(bin_dir)
        for name, status_var in (("loginctl", "LOGINCTL_EXIT"), ("xdg-screensaver", "SCREENSAVER_EXIT")):
            path = os.path.join(bin_dir, name)
            with open(path, "w") as f:
                f.write(f'{STANDIN}{status_var}"\n')
            os.chmod(path, 0o755)
        env = {"PATH": f"{bin_dir}:/usr/bin:/bin", "DISPLAY": display}
        harness.xdotool(display, "mousemove", "100", "100")

        cls.logs, cls.outs, cls.procs = {}, {}, {}
        for name, (loginctl, screensaver) in RUNS.items():
            cls.logs[name] = os.path.join(tmp, f"{name}.log")
            cls.outs[name] = os.path.join(tmp, f"{name}.out")
            with open(cls.outs[name], "wb") as out:
                cls.procs[name] = subprocess.Popen(
                    [PROGRAM], stdout=out, env={**env, "LOCK_LOG": cls.logs[name],
                                                "LOGINCTL_EXIT": str(loginctl),
                                                "SCREENSAVER_EXIT": str(screensaver)})
        # The terminal run: standard output is a pseudo-terminal, the display is not up yet.
        master, slave = pty.openpty()
        cls.addClassCleanup(os.close, master)
        cls.logs["terminal"] = os.path.join(tmp, "terminal.log")
        terminal = subprocess.Popen([PROGRAM], stdout=slave, env={
            **env, "DISPLAY": f":{cls.later}", "LOCK_LOG": cls.logs["terminal"],
            "LOGINCTL_EXIT": "0"})
        os.close(slave)
        everyone = {**cls.procs, "terminal": terminal}
        cls.addClassCleanup(lambda: [p.kill() for p in everyone.values() if p.poll() is None])

        cls.quiet, cls.moved_ms, cls.status = harness.watch_timeline(
            display, cls.procs, lambda name: os.path.exists(cls.logs[name]))

        cls.terminal_watching = terminal.poll() is None and not os.path.exists(cls.logs["terminal"])
        cls.screen = os.read(master, 65536)
        with harness.private_display(cls.later):
            cls.status["terminal"] = terminal.wait(10)

    @classmethod
    def calls(cls, name):
        if not os.path.exists(cls.logs[name]):
            return []
        with open(cls.logs[name]) as f:
            return [line.split()[1:] for line in f]

    def test_grace_motion_ignored_and_still_pointer_keeps_watching(self):
        self.assertEqual(self.quiet, {name: True for name in RUNS})

    def test_one_pixel_move_and_the_lock_commands(self):
        # name: (commands run, exit status)
        expected = {"plain": ([LOCK], 0), "fallback": ([LOCK, FALLBACK], 0),
                    "both fail": ([LOCK, FALLBACK], 1)}
        for name, (calls, status) in expected.items():
            with self.subTest(name):
                self.assertEqual((self.calls(name), self.status[name]), (calls, status))
                with open(self.outs[name], "rb") as f:
                    self.assertEqual(f.read(), BANNER)
        with open(self.logs["plain"]) as f:
            latency = int(f.read().split()[0]) - self.moved_ms
        print(f"\nmove to loginctl start: {latency:.0f} ms", file=sys.stderr)

    def test_unreachable_display_reported_on_the_terminal_then_recovered(self):
        self.assertTrue(self.terminal_watching)
        banner = BANNER.replace(b"\n", b"\r\n")  # the terminal writes the line feed as CR LF
        self.assertTrue(self.screen.startswith(banner), self.screen[:40])
        failures = self.screen[len(banner):]
        self.assertGreaterEqual(failures.count(FAILED), 10)
        self.assertEqual(failures, FAILED * failures.count(FAILED))  # no line breaks between
        self.assertEqual((self.calls("terminal"), self.status["terminal"]), ([LOCK], 0))


if __name__ == "__main__":
    unittest.main(verbosity=2)
