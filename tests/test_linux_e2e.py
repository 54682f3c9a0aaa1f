"""The native program end to end on X11 (NativeX11, UnderXwayland) and on Wayland (Wayland): a
private Xvfb display or headless compositors, and real pointer motion. On X11, with no bus in
reach, a stand-in xdg-screensaver first on PATH logs its call and exits as told; on Wayland, real
lockers lock the session and the test sees it locked.

Several copies watch one display at once and share one pointer timeline (motion in the grace
period, a still pointer, then a one-pixel move); each has its own stand-in outcome or the way it
was started. Another runs on a terminal with its display not yet up: it reports failed reads there,
keeps running, and locks once the display comes up, since the pointer is then no longer where
the failed reads left the reference. Under Xwayland, where it cannot see all motion, the tool
refuses to watch.

On Wayland, each row of one table watches with what its compositor offers, all on one timeline
of one-pixel moves through each compositor's own input path, and locks with what locks its
session there; rows where nothing can watch or lock are refused at once.
"""
import concurrent.futures
import contextlib
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import socket
import tempfile
import time
import tty
import typing
import unittest

import harness

PROGRAM = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "build/host/mousetrap"
KDE_IDLE = os.path.join(os.path.dirname(PROGRAM), "mousetrap_kde_idle")  # no ext_idle_notifier
harness.FAKE_INPUT = os.path.join(os.path.dirname(PROGRAM), "tests", "fake_input_motion")
harness.IDLE_INHIBITOR = os.path.join(os.path.dirname(PROGRAM), "tests", "idle_inhibitor")
BANNER = "开始\n".encode()
FAILED = "鼠标位置获取失败".encode()
LOCK = ["xdg-screensaver", "lock"]  # on X11, where neither logind nor a screen saver is here
# The tool started with standard output a file, a pipe whose reader has gone, or closed;
# standard error closed; or SIGCHLD ignored, which the lock command's shell needs.
STARTS = {"file": 'exec "$0"', "pipe": 'exec "$0"', "closed": 'exec "$0" >&-',
          "error closed": 'exec "$0" 2>&-', "SIGCHLD ignored": "trap '' CHLD; exec \"$0\"",
          "real locker": 'PATH=/usr/bin:/bin exec "$0"'}  # the real xdg-screensaver
# name: (start, the stand-in xdg-screensaver's exit status, the tool's exit status)
RUNS = {"plain": ("file", 0, 0), "lock fails": ("file", 4, 1), "vanished reader": ("pipe", 0, 0),
        "output closed": ("closed", 0, 0), "error closed": ("error closed", 0, 0),
        "SIGCHLD ignored": ("SIGCHLD ignored", 0, 0), "xscreensaver": ("real locker", None, 0)}
# Logs its start time (ms since the epoch), what its standard output is (the tool's, inherited),
# the signals it ignores (hex mask), the descriptors of the shell that runs the lock command (the
# tool's child), its name and arguments; exits with $<status variable>.
STANDIN = ('#!/bin/sh\necho "$(date +%s%3N) $(readlink /proc/$$/fd/1 || echo closed) '
           "$(awk '/^SigIgn/ {print $2}' /proc/$$/status) $(ls /proc/$PPID/fd | paste -sd, -) "
           '$(basename "$0") $*" >> "$LOCK_LOG"\nexit "$')
SIGPIPE_SIGCHLD = 1 << 12 | 1 << 16  # their bits in a mask of signals


class NativeX11(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.require("Xvfb", "xdotool", "xscreensaver", "xdg-screensaver")
        tmp = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="mousetrap-x11-"))
        os.chmod(tmp, 0o755)  # the test user reaches its own folders within
        display = cls.enterClassContext(harness.private_display())
        # A real X11 locker, as the test user: xscreensaver, which xdg-screensaver asks to lock.
        home = harness.test_user_folder(f"{tmp}/xscreensaver")
        with open(f"{home}/.xscreensaver", "w") as f:
            f.write("lock: True\nmode: blank\n")
        locker_env = {"PATH": "/usr/bin:/bin", "HOME": home, "DISPLAY": display}
        locker = harness.start(["xscreensaver", "-no-splash"], env=locker_env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               **harness.AS_TEST_USER)
        cls.addClassCleanup(harness.stop, [locker])
        cls.xscreensaver = lambda: harness.run(["xscreensaver-command", "-time"], env=locker_env,
                                               capture_output=True, timeout=10,
                                               **harness.AS_TEST_USER).stdout
        harness.wait_until(lambda: b"non-blanked" in cls.xscreensaver(), locker, "xscreensaver")
        # logind, to which nothing here listens (xscreensaver's own listener needs a session
        # bus), for the run through the real xdg-screensaver.
        system_bus = f"unix:path={tmp}/system/bus"
        with open(f"{tmp}/logind.log", "wb") as log:
            cls.addClassCleanup(harness.stop, harness.logind(system_bus, f"{tmp}/system", log))
        # A display number held free until the terminal run's display comes up there.
        cls.later = cls.enterClassContext(harness.reserved_display())
        cls.procs = {}
        cls.addClassCleanup(harness.stop, cls.procs.values())

        bin_dir = os.path.join(tmp, "bin")
        os.mkdir(bin_dir)
        harness.write_script(os.path.join(bin_dir, LOCK[0]), f'{STANDIN}SCREENSAVER_EXIT"\n')
        env = {"PATH": f"{bin_dir}:/usr/bin:/bin", "DISPLAY": display, **harness.no_buses(tmp)}
        harness.xdotool(display, "mousemove", "100", "100")

        cls.logs, cls.outs, cls.errs = {}, {}, {}
        for name, (started, screensaver, _) in RUNS.items():
            cls.logs[name], cls.outs[name], cls.errs[name] = (
                os.path.join(tmp, f"{name.replace(' ', '-')}.{what}") for what in ("log", "out", "err"))
            with open(cls.outs[name], "wb") as out, open(cls.errs[name], "wb") as err:
                reader, writer = os.pipe()
                os.close(reader)
                cls.procs[name] = harness.start(
                    ["/bin/sh", "-c", STARTS[started], PROGRAM], stderr=err,
                    stdout=writer if started == "pipe" else out,
                    env={**env, "LOCK_LOG": cls.logs[name], "SCREENSAVER_EXIT": str(screensaver),
                         **({"DBUS_SYSTEM_BUS_ADDRESS": system_bus} if screensaver is None else {})})
                os.close(writer)
        # Runs whose display is not up yet, with standard output a pseudo-terminal or a file.
        master, slave = pty.openpty()
        cls.addClassCleanup(os.close, master)
        cls.outs["unreachable"] = os.path.join(tmp, "unreachable.out")
        waiting = {}
        for name, out in (("terminal", slave), ("unreachable", os.open(
                cls.outs["unreachable"], os.O_WRONLY | os.O_CREAT, 0o644))):
            cls.logs[name] = os.path.join(tmp, f"{name}.log")
            waiting[name] = harness.start([PROGRAM], stdout=out, env={
                **env, "DISPLAY": f":{cls.later}", "LOCK_LOG": cls.logs[name],
                "SCREENSAVER_EXIT": "0"})
            os.close(out)
        watchers = dict(cls.procs)
        cls.procs.update(waiting)

        cls.quiet, cls.moved_ms, cls.status = harness.watch_timeline(
            display, watchers, lambda name: os.path.exists(cls.logs[name]),
            lambda name: harness.read(cls.outs[name]))

        cls.locked = b"screen locked" in cls.xscreensaver()
        cls.waiting_watch = [proc.poll() is None and not os.path.exists(cls.logs[name])
                             for name, proc in waiting.items()]
        cls.screen = b""
        while select.select([master], [], [], 0)[0]:  # what it has written so far, never blocking
            cls.screen += os.read(master, 65536)
        with harness.private_display(cls.later):
            cls.status.update({name: proc.wait(10) for name, proc in waiting.items()})

    @classmethod
    def calls(cls, name):
        if not os.path.exists(cls.logs[name]):
            return []
        with open(cls.logs[name]) as f:
            return [line.split()[4:] for line in f]

    @classmethod
    def record(cls, name):
        """The fields the first lock command logged."""
        with open(cls.logs[name]) as f:
            return f.readline().split()

    def test_grace_motion_ignored_and_still_pointer_keeps_watching(self):
        # Still watching before the last move, its banner already out (a file is not flushed
        # by itself before the process ends).
        self.assertEqual(self.quiet, {name: b"" if RUNS[name][0] in ("pipe", "closed") else BANNER
                                      for name in RUNS})

    def test_one_pixel_move_and_the_lock_command(self):
        # Each ran the lock command once, which inherited no ignored SIGPIPE or SIGCHLD, and no
        # descriptor of the tool's but 0, 1 and 2 (none taken by a connection in place of a
        # closed one); its failure is one line on standard error. The banner went to a reader
        # that had gone, or to the /dev/null that stands in for a closed standard output.
        for name, (started, screensaver, status) in RUNS.items():
            with self.subTest(name):
                if screensaver is None:  # the real one, which had xscreensaver lock the display
                    self.assertEqual((self.calls(name), self.status[name], self.locked),
                                     ([], status, True))
                    continue
                ignored, descriptors = self.record(name)[2:4]
                self.assertEqual((self.calls(name), self.status[name], int(ignored, 16) &
                                  SIGPIPE_SIGCHLD, descriptors, harness.read(self.errs[name])
                                  .count(b"\n")), ([LOCK], status, 0, "0,1,2", status))
        self.assertEqual(self.record("output closed")[1], "/dev/null")
        self.assertRegex(harness.read(self.errs["lock fails"]).decode(),
                         r"^mousetrap: the session was not locked: .*xdg-screensaver.*4\.\n$")
        latency = int(self.record("plain")[0]) - self.moved_ms
        print(f"\nmove to lock command start: {latency:.0f} ms", file=sys.stderr)

    def test_unreachable_display_reported_on_the_terminal_then_recovered(self):
        self.assertEqual(self.waiting_watch, [True, True])
        # Not on a terminal, the failure text is lost: only the banner is in the file.
        self.assertEqual((harness.read(self.outs["unreachable"]), self.calls("unreachable"),
                          self.status["unreachable"]), (BANNER, [LOCK], 0))
        banner = BANNER.replace(b"\n", b"\r\n")  # the terminal writes the line feed as CR LF
        self.assertTrue(self.screen.startswith(banner), self.screen[:40])
        failures = self.screen[len(banner):]
        self.assertGreaterEqual(failures.count(FAILED), 10)
        self.assertEqual(failures, FAILED * failures.count(FAILED))  # no line breaks between
        self.assertEqual((self.calls("terminal"), self.status["terminal"]), ([LOCK], 0))


# Xwayland told by the process behind its socket alone (no RandR outputs), or by its outputs
# alone, with its process out of sight (another PID namespace, as in Flatpak or a toolbox).
XWAYLANDS = {"no outputs": (False, []),
             "process out of sight": (True, ["unshare", "--pid", "--fork", "--mount-proc",
                                             "--kill-child", *harness.MAP_ROOT])}


class UnderXwayland(unittest.TestCase):
    def test_refuses_to_watch(self):
        harness.require("weston", "Xwayland", "unshare")
        for name, (outputs, wrapper) in XWAYLANDS.items():
            with self.subTest(name), tempfile.TemporaryDirectory(prefix="mt-xwl-") as tmp, \
                    harness.xwayland_display(tmp, outputs) as display:
                log = os.path.join(tmp, "lock.log")
                harness.write_script(os.path.join(tmp, LOCK[0]), f'{STANDIN}SCREENSAVER_EXIT"\n')
                tool = harness.start([*wrapper, PROGRAM], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env={
                                         "PATH": f"{tmp}:/usr/bin:/bin", "DISPLAY": display,
                                         "LOCK_LOG": log, "SCREENSAVER_EXIT": "0",
                                         **harness.no_buses(tmp)})
                try:
                    stdout, stderr = tool.communicate(timeout=20)
                finally:
                    harness.stop([tool])
                print(f"\nunder Xwayland ({name}): status {tool.returncode}, "
                      f"{stderr.decode().strip()}", file=sys.stderr)
                self.assertEqual((tool.returncode, stdout, os.path.exists(log)), (2, b"", False))
                self.assertRegex(stderr.decode(),
                                 r"^mousetrap: [^\n]*Xwayland[^\n]*X11 session[^\n]*\n$")


class Row(typing.NamedTuple):
    """A run of the tool in a Wayland table row, and what it must come to."""
    session: str  # a harness.COMPOSITORS name (with "/...": a session of its own); "xwayland": an
    #               X display that comes back as Xwayland; "silent": a compositor, a session bus
    #               and an X display that take connections and never answer; "backlog": a
    #               compositor's socket whose backlog is full
    program: str = PROGRAM
    system_bus: bool = True  # the session's own, where it has one; False: none at all
    x_display: bool = False  # DISPLAY set too, as in most Wayland sessions (Xwayland)
    env: dict = {}  # more environment
    # What befalls its compositor, of its own, with no input but as said: "restarted" (after the
    # banner; down for 1 s), "restarted-in-grace", "released" (its idle inhibitor ends after the
    # banner, then one move)
    event: str = None
    terminal: bool = False  # standard output a terminal, which shows each failed read
    ends_within: float = None  # s from its start, at most
    # Standard output while watching a still session after input in the grace period (None:
    # not running by then), exit status, lines on standard error, and whether the session was
    # seen locked afterwards.
    quiet: bytes = BANNER
    status: int = 0
    errors: int = 0
    locked: bool = True


REFUSED = {"quiet": None, "status": 2, "errors": 1, "locked": False}
# Each watches with what its compositor offers, and locks through what locks it there.
WAYLAND = {
    "sway-swaylock": Row("sway", x_display=True),  # the Wayland way, although DISPLAY is set
    "sway-no-locker": Row("sway-bare", locked=False),  # logind took it; nothing can tell
    "sway-nothing-locks": Row("sway-bare", system_bus=False, **REFUSED),
    # Neither logind's request nor the screen saver's Lock locks it: status 1, one line.
    "sway-saver-never-locks": Row("sway-broken-saver", status=1, errors=1, locked=False),
    "mutter-IdleMonitor": Row("mutter", locked=False),  # logind took it; nothing can tell
    "gnome-shell": Row("gnome-shell"),
    "kwin-ext_idle_notifier_v1": Row("kwin"),
    "kwin-org_kde_kwin_idle": Row("kwin/kde", KDE_IDLE),
    "kwin-ScreenSaver": Row("kwin-alone", system_bus=False),
    # The compositor's return counts as input (one line on standard error when it went), also
    # before the first read; reads fail while it is gone.
    "mutter-restarted": Row("mutter", event="restarted", errors=1, locked=False),
    "sway-restarted": Row("sway-bare", event="restarted", terminal=True, errors=1, locked=False),
    "sway-restarted-in-grace": Row("sway-bare", event="restarted-in-grace", quiet=None, errors=1,
                                   locked=False),
    # An idle inhibitor held at the start (one line): its end, or the compositor's return, locks.
    "sway-inhibitor-released": Row("sway-inhibited", event="released", errors=1, locked=False),
    "sway-inhibitor-restarted": Row("sway-inhibited", event="restarted", errors=2, locked=False),
    "sway-WAYLAND_SOCKET": Row("sway-bare", env={"WAYLAND_SOCKET": "1"}, locked=False),
    "weston-refused": Row("weston", **REFUSED),
    "silent-refused": Row("silent", **REFUSED),
    "backlog-refused": Row("backlog", **REFUSED, ends_within=4.5),  # the grace period ends at 7
    # The display lost (one line), then back, as Xwayland: its return counts as input.
    "xwayland-returned": Row("xwayland", errors=1, locked=False),
}


class Wayland(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.require("dbus-daemon", "sway", "swaymsg", "swayidle", "swaylock", "grim", "mutter",
                        "gnome-shell", "kwin_wayland", "kbuildsycoca5", "weston", "Xwayland", "Xvfb")
        tmp = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="mousetrap-wayland-"))
        os.chmod(tmp, 0o755)  # the test user reaches its own folders within
        # Copies that the test user can run wherever the build tree lies.
        cls.copies = {program: shutil.copy(program, tmp) for program in (PROGRAM, KDE_IDLE)}
        events = {cls.session(row): row.event for row in WAYLAND.values()
                  if row.session.split("/")[0] in harness.COMPOSITORS}
        try:
            cls.sessions = {kind: cls.enterClassContext(harness.compositor(
                kind.split("/")[0], f"{tmp}/{kind.replace('/', '-')}")) for kind in sorted(events)}
        except (RuntimeError, subprocess.SubprocessError) as error:
            cls.doClassCleanups()
            raise RuntimeError(f"the Wayland sessions did not start: {error}") from error
        os.mkdir(f"{tmp}/bin")  # the X display's locker, for the Xwayland row
        harness.write_script(f"{tmp}/bin/xdg-screensaver", "#!/bin/sh\n")
        cls.logs, cls.procs = harness.test_user_folder(f"{tmp}/logs"), {}
        cls.started, cls.terminals = {}, {}
        cls.addClassCleanup(harness.stop, cls.procs.values())
        # A socket that takes connections and never answers, as compositor and session bus.
        silent = cls.enterClassContext(socket.socket(socket.AF_UNIX))
        silent.bind(f"{harness.runtime_folder()}/silent")
        silent.listen()
        os.chmod(silent.getsockname(), 0o777)
        backlog = cls.enterClassContext(socket.socket(socket.AF_UNIX))  # takes no connection
        backlog.bind(f"{harness.runtime_folder()}/backlog")
        backlog.listen(0)
        os.chmod(backlog.getsockname(), 0o777)
        cls.enterClassContext(socket.socket(socket.AF_UNIX)).connect(backlog.getsockname())  # full
        number = cls.enterClassContext(harness.reserved_display())
        silent_x = cls.enterClassContext(harness.reserved_display(silent=True))
        with harness.private_display(number) as display:
            envs = {"xwayland": {"DISPLAY": display, "PATH": f"{tmp}/bin:/usr/bin:/bin"},
                    "silent": {"XDG_RUNTIME_DIR": harness.runtime_folder(),
                               "WAYLAND_DISPLAY": "silent", "DISPLAY": f":{silent_x}",
                               "DBUS_SESSION_BUS_ADDRESS": f"unix:path={silent.getsockname()}"},
                    "backlog": {"WAYLAND_DISPLAY": backlog.getsockname()}}  # an absolute path
            for name, row in WAYLAND.items():
                session = cls.sessions.get(cls.session(row))
                cls.launch(name, {
                    **harness.no_buses(tmp), **envs.get(row.session, {}),
                    **(session.env if session else {}), **row.env,
                    **({"DISPLAY": display} if row.x_display else {}),
                    **({} if row.system_bus else {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/none"})},
                    row)
            # The X display's run watches on while its display is swapped below.
            watched = {name: proc for name, proc in cls.procs.items()
                       if WAYLAND[name].session != "xwayland"}
            x11 = cls.procs["xwayland-returned"]

            def befall(kind, last):
                """A move in a session with input; in another, its event, when it is due."""
                session, event = cls.sessions[kind], events[kind]
                if event is None and session.move:
                    session.move()
                elif event == ("restarted" if last else "restarted-in-grace"):
                    session.restart()
                elif event == "released" and last:
                    session.release()
                    session.move()  # sway 1.7 sends the idle notice that follows with it

            steps = iter([False, True])  # in the grace period, then the last move; all at once
            with concurrent.futures.ThreadPoolExecutor(len(events)) as pool:
                cls.quiet, _, cls.status = harness.watch_timeline(
                    None, watched, lambda _: False, lambda name: cls.read(name, "out"),
                    move=lambda: list(pool.map(befall, events, [next(steps)] * len(events))))
            cls.quiet["xwayland-returned"] = cls.read("xwayland-returned", "out") \
                if x11.poll() is None else None
        xwayland = harness.start(["Xwayland", display, "-nolisten", "local"],
                                 env=cls.sessions["weston"].env, stderr=subprocess.DEVNULL,
                                 death_signal=signal.SIGTERM, **harness.AS_TEST_USER)
        cls.addClassCleanup(harness.stop, [xwayland])
        with contextlib.suppress(subprocess.TimeoutExpired):  # no status: the row says so
            cls.status["xwayland-returned"] = x11.wait(15)
        cls.locked = {name: bool(getattr(cls.sessions.get(cls.session(row)), "locked", None)
                                 and cls.sessions[cls.session(row)].locked())
                      for name, row in WAYLAND.items()}

    @staticmethod
    def session(row):
        """The name of the row's session: each compositor with an event is one of its own."""
        return f"{row.session}/{row.event}" if row.event else row.session

    @classmethod
    def launch(cls, name, env, row):
        if row.terminal:
            _, terminal = cls.terminals[name] = pty.openpty()
            tty.setraw(terminal)  # no CR before LF
        with open(f"{cls.logs}/{name}.out", "wb") as out, \
                open(f"{cls.logs}/{name}.err", "wb") as err:
            cls.started[name] = time.time()
            cls.procs[name] = harness.start([cls.copies[row.program]], stderr=err, env=env,
                                            stdout=terminal if row.terminal else out,
                                            **harness.AS_TEST_USER)

    @classmethod
    def read(cls, name, what):
        """The tool's standard output (out; for a row with a terminal, what reached it so far) or
        error (err)."""
        if what == "out" and name in cls.terminals:
            with open(f"{cls.logs}/{name}.out", "ab") as out:
                while select.select([cls.terminals[name][0]], [], [], 0)[0]:
                    out.write(os.read(cls.terminals[name][0], 65536))
        with contextlib.suppress(FileNotFoundError):
            return harness.read(f"{cls.logs}/{name}.{what}")
        return b""

    def test_table(self):
        for name, row in WAYLAND.items():
            with self.subTest(name):
                self.assertEqual(
                    (self.quiet[name], self.status.get(name), self.read(name, "err").count(b"\n"),
                     self.locked[name]), (row.quiet, row.status, row.errors, row.locked),
                    self.read(name, "err").decode())
                out = self.read(name, "out")
                if row.terminal:  # each read failed while its compositor was gone, and only then
                    out, failed = out[:len(BANNER)], out[len(BANNER):]
                    self.assertEqual(failed, FAILED * max(5, failed.count(FAILED)))
                self.assertEqual(out, b"" if row.status == 2 else BANNER)  # refused before it
                ended = os.stat(f"{self.logs}/{name}.err").st_mtime - self.started[name]
                self.assertLess(ended, row.ends_within or ended + 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
