"""The native program end to end on X11 (NativeX11, UnderXwayland) and on Wayland (Wayland): a
private Xvfb display or headless compositors, and real pointer motion. On X11, with no bus in
reach, a stand-in xdg-screensaver first on PATH logs its call and exits as told; on Wayland, real
lockers lock the session and the test sees it locked.

Several copies watch one display at once and share one pointer timeline (motion in the grace
period, a still pointer, then a one-pixel move); each has its own stand-in outcome or the way it
was started. Another runs on a terminal with its display not yet up: it reports failed reads there,
keeps running, and locks once the display comes up, since the pointer is then no longer where
the failed reads left the reference. Under Xwayland, where it cannot see all motion, the tool
refuses to watch. Given arguments, in either, it answers at once and arms nothing.

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
# standard error or input closed; with descriptors 7 and 8 open (WAYLAND_SOCKET naming 8); or
# with SIGCHLD really ignored (dash's trap does not keep it ignored across exec).
STARTS = {"file": 'exec "$0"', "pipe": 'exec "$0"', "closed": 'exec "$0" >&-',
          "error closed": 'exec "$0" 2>&-', "input closed": 'exec "$0" <&-',
          "descriptors": 'WAYLAND_SOCKET=8 exec "$0" 7</dev/null 8</dev/null',
          "SIGCHLD ignored": 'exec /usr/bin/python3 -c "import os, signal, sys; '
                             'signal.signal(signal.SIGCHLD, signal.SIG_IGN); os.execv(sys.argv[1], '
                             'sys.argv[1:])" "$0"',
          "real locker": 'PATH=/usr/bin:/bin exec "$0"',  # the real xdg-screensaver
          "--help": 'exec "$0" --help', "--version": 'exec "$0" --version',
          "--grace 5x": 'exec "$0" --grace 5x'}
# Answered at once, arming nothing. name: (its standard output, its standard error)
USAGE = r"^Usage: mousetrap \[--grace SECONDS\]\n(.*\n)+The manual: man mousetrap\n$"
VERSION_LINE = r"^mousetrap \d+\.\d+\.\d+\n$"
BAD_GRACE = r'^mousetrap: [^\n]*"5x"[^\n]* mousetrap --help\.\n$'
ANSWERED = {"--help": (USAGE, "^$"), "--version": (VERSION_LINE, "^$"),
            "--grace 5x": ("^$", BAD_GRACE)}
# name: (start, the stand-in xdg-screensaver's exit status or "hang", the tool's exit status)
RUNS = {"plain": ("file", 0, 0), "lock fails": ("file", 4, 1), "vanished reader": ("pipe", 0, 0),
        "output closed": ("closed", 0, 0), "error closed": ("error closed", 0, 0),
        "input closed": ("input closed", 0, 0), "descriptors inherited": ("descriptors", 0, 0),
        "SIGCHLD ignored": ("SIGCHLD ignored", 0, 0), "lock hangs": ("file", "hang", 1),
        "xscreensaver": ("real locker", None, 0),
        **{name: (name, 0, 2 if "5x" in name else 0) for name in ANSWERED}}
# Runs on a display of their own. name: (the lock commands run, exit status, standard error)
OWN = {"xss-lock": ([], 0, ""),  # logind's Lock makes xss-lock run i3lock, which takes the keyboard
       # A client held the keyboard already (a virtual machine's window): that tells nothing.
       "grab-held": ([LOCK], 0, ""),
       # logind takes the request and nothing locks: the real xdg-screensaver fails, status 1.
       "no-locker": ([], 1, r"mousetrap: the session was not locked: logind: [^\n]*keyboard grab"
                            r"[^\n]*xdg-screensaver lock: exit status \d+ [^\n]*lock[^\n]*\.\n"),
       # The display restarted with its pointer where the reference was.
       "back-unmoved": ([LOCK], 0, r"mousetrap: lost the X display[^\n]*\n"),
       # Not up at start, then up in the grace period and refusing the tool, which has no
       # cookie: back all the same (one line, although every read is refused).
       "new-cookie": ([LOCK], 0, r"mousetrap: the X server at DISPLAY is back, and refused the "
                                 r"connection \(\"Authorization required[^\n]*\n")}
# Logs its start time (ms since the epoch), what its standard output is (the tool's, inherited),
# the signals it ignores (hex mask), the descriptors of the process that runs it (the tool's
# child), its name and arguments; writes a line on standard error; exits with
# $SCREENSAVER_EXIT, or hangs.
STANDIN = ('#!/bin/sh\necho "$(date +%s%3N) $(readlink /proc/$$/fd/1 || echo closed) '
           "$(awk '/^SigIgn/ {print $2}' /proc/$$/status) $(ls /proc/$PPID/fd | paste -sd, -) "
           '$(basename "$0") $*" >> "$LOCK_LOG"\necho "stand-in: exit $SCREENSAVER_EXIT" >&2\n'
           '[ "$SCREENSAVER_EXIT" = hang ] && exec sleep 60\nexit "$SCREENSAVER_EXIT"\n')
# Holds the keyboard grab of its display, as a virtual machine's window may.
GRABBER = ("from Xlib import X, display\nd = display.Display()\nd.screen().root.grab_keyboard("
           "True, X.GrabModeAsync, X.GrabModeAsync, X.CurrentTime)\nd.sync()\nprint(flush=True)\n"
           "import time\ntime.sleep(600)")
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
        # Display numbers held free until the terminal run's display, and one that lets in only
        # clients with its cookie, come up there.
        cls.later = cls.enterClassContext(harness.reserved_display())
        cookie = cls.enterClassContext(harness.reserved_display())
        cls.procs = {}
        cls.addClassCleanup(harness.stop, cls.procs.values())
        # Displays of their own, where nothing else takes the keyboard; one to be restarted.
        own = {name: cls.enterClassContext(harness.private_display())
               for name in ("xss-lock", "no-locker", "grab-held")}
        restarted, restart_number = contextlib.ExitStack(), cls.enterClassContext(
            harness.reserved_display())
        cls.addClassCleanup(restarted.close)
        own["back-unmoved"] = restarted.enter_context(harness.private_display(restart_number))
        logind_log = open(f"{tmp}/own-logind.log", "wb")
        cls.addClassCleanup(logind_log.close)
        for name, mode in (("xss-lock", "--no-locked-hint"), ("no-locker", ""), ("grab-held", "")):
            own[name] = {"DISPLAY": own[name], "DBUS_SYSTEM_BUS_ADDRESS": f"unix:path={tmp}/{name}/bus"}
            cls.addClassCleanup(harness.stop, harness.logind(
                own[name]["DBUS_SYSTEM_BUS_ADDRESS"], f"{tmp}/{name}", logind_log, mode))
        xss_lock = harness.start(["xss-lock", "--", "i3lock", "-n"], env={
            "PATH": "/usr/bin:/bin", "HOME": home, **own["xss-lock"]}, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, **harness.AS_TEST_USER)
        cls.addClassCleanup(harness.stop, [xss_lock])
        harness.wait_until(lambda: b"GetSessionByPID" in harness.read(logind_log.name), xss_lock,
                           "xss-lock")
        grabber = harness.start(["/usr/bin/python3", "-c", GRABBER], stdout=subprocess.PIPE,
                                env={"DISPLAY": own["grab-held"]["DISPLAY"]})
        cls.addClassCleanup(harness.stop, [grabber])
        grabber.stdout.readline()
        own["no-locker"]["PATH"] = "/usr/bin:/bin"  # the real xdg-screensaver
        own["back-unmoved"] = {"DISPLAY": own["back-unmoved"]}
        own["new-cookie"] = {"DISPLAY": f":{cookie}", "XAUTHORITY": f"{tmp}/no-cookie"}

        bin_dir = os.path.join(tmp, "bin")
        os.mkdir(bin_dir)
        harness.write_script(os.path.join(bin_dir, LOCK[0]), STANDIN)
        env = {"PATH": f"{bin_dir}:/usr/bin:/bin", "DISPLAY": display, **harness.no_buses(tmp)}
        harness.xdotool(display, "mousemove", "100", "100")

        cls.logs, cls.outs, cls.errs, cls.started = {}, {}, {}, {}
        runs = {**RUNS, **{name: ("file", 0, 0) for name in OWN}}
        for name, (started, screensaver, _) in runs.items():
            cls.logs[name], cls.outs[name], cls.errs[name] = (
                os.path.join(tmp, f"{name.replace(' ', '-')}.{what}") for what in ("log", "out", "err"))
            with open(cls.outs[name], "wb") as out, open(cls.errs[name], "wb") as err:
                reader, writer = os.pipe()
                os.close(reader)
                cls.started[name] = time.time()
                cls.procs[name] = harness.start(
                    ["/bin/sh", "-c", STARTS[started], PROGRAM], stderr=err,
                    stdout=writer if started == "pipe" else out,
                    env={**env, "LOCK_LOG": cls.logs[name], "SCREENSAVER_EXIT": str(screensaver),
                         **({"DBUS_SYSTEM_BUS_ADDRESS": system_bus} if screensaver is None else {}),
                         **own.get(name, {})})
                os.close(writer)
        waiting = {}
        # Runs whose display is not up yet, with standard output a pseudo-terminal or a file.
        master, slave = pty.openpty()
        cls.addClassCleanup(os.close, master)
        cls.outs["unreachable"] = os.path.join(tmp, "unreachable.out")
        for name, out in (("terminal", slave), ("unreachable", os.open(
                cls.outs["unreachable"], os.O_WRONLY | os.O_CREAT, 0o644))):
            cls.logs[name] = os.path.join(tmp, f"{name}.log")
            waiting[name] = harness.start([PROGRAM], stdout=out, env={
                **env, "DISPLAY": f":{cls.later}", "LOCK_LOG": cls.logs[name],
                "SCREENSAVER_EXIT": "0"})
            os.close(out)
        watchers = dict(cls.procs)
        cls.procs.update(waiting)

        moves = iter([("mousemove", "400", "300"), ("mousemove_relative", "1", "0")])

        def move():  # on each display but the one restarted at the last move
            where = next(moves)
            if where[0] == "mousemove_relative":
                restarted.close()
                cls.enterClassContext(harness.private_display(restart_number))
            else:
                cls.enterClassContext(harness.private_display(cookie, cookie=True))
            for each in (own["xss-lock"]["DISPLAY"], own["no-locker"]["DISPLAY"],
                         own["grab-held"]["DISPLAY"], display):
                harness.xdotool(each, *where)  # the shared display last: the latency is its

        cls.quiet, cls.moved_ms, cls.status = harness.watch_timeline(
            display, watchers, lambda name: os.path.exists(cls.logs[name]),
            lambda name: harness.read(cls.outs[name]), move)

        cls.locked = b"screen locked" in cls.xscreensaver()
        cls.i3lock = "i3lock" in dict(harness.children(xss_lock.pid)).values()
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
        self.assertEqual(self.quiet, {
            name: b"" if RUNS.get(name, ("file",))[0] in ("pipe", "closed") else BANNER
            for name in [*RUNS, *OWN]} | {"new-cookie": None}  # locked as its display came
            | dict.fromkeys(ANSWERED))

    def test_one_pixel_move_and_the_lock_command(self):
        # Each ran the lock command once, which inherited no ignored SIGPIPE or SIGCHLD, and no
        # descriptor of the tool's but 0, 1 and 2 (none taken by a connection in place of a
        # closed one); its failure is one line on standard error. The banner went to a reader
        # that had gone, or to the /dev/null that stands in for a closed standard output.
        for name, (started, screensaver, status) in RUNS.items():
            with self.subTest(name):
                if name in ANSWERED:  # within 1 s, and no lock command
                    self.assertEqual((self.calls(name), self.status[name]), ([], status))
                    for what, pattern in zip((self.outs, self.errs), ANSWERED[name]):
                        self.assertRegex(harness.read(what[name]).decode(), pattern)
                        self.assertLess(os.stat(what[name]).st_mtime - self.started[name], 1)
                    continue
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
                         r"^mousetrap: the session was not locked: .*xdg-screensaver lock: exit "
                         r"status 4 \(\"stand-in: exit 4\"\)\.\n$")
        latency = int(self.record("plain")[0]) - self.moved_ms
        print(f"\nmove to lock command start: {latency:.0f} ms", file=sys.stderr)

    def test_own_displays(self):
        for name, (calls, status, errors) in OWN.items():
            print(f"\n{name}: status {self.status[name]}, {harness.read(self.errs[name]).decode()}",
                  end="", file=sys.stderr)
            with self.subTest(name):
                self.assertEqual((self.calls(name), self.status[name]), (calls, status))
                self.assertRegex(harness.read(self.errs[name]).decode(), f"^{errors}$")
        self.assertTrue(self.i3lock)

    def test_refused_cookie_at_start(self):
        # The server's own refusal text comes only inside the tool's one line.
        with harness.private_display(cookie=True) as display:
            tool = harness.run([PROGRAM], env={
                "PATH": "/usr/bin:/bin", "DISPLAY": display, "XAUTHORITY": "/nonexistent",
                **harness.no_buses(harness.TMP)}, capture_output=True, timeout=20)
        self.assertEqual((tool.returncode, tool.stdout), (2, b""))
        self.assertRegex(tool.stderr.decode(), r"^mousetrap: the X server at DISPLAY refused the "
                         r"connection \(\"Authorization required[^\n]*XAUTHORITY[^\n]*\n$")

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
                harness.write_script(os.path.join(tmp, LOCK[0]), STANDIN)
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
    #               compositor's socket whose backlog is full; None: only the row's own buses
    program: str = PROGRAM
    args: tuple = ()  # its arguments
    system_bus: bool = True  # the session's own, where it has one; False: none at all
    x_display: bool = False  # DISPLAY set too, as in most Wayland sessions (Xwayland)
    env: dict = {}  # more environment
    # What befalls its compositor, of its own (without one: its own session bus), with no input
    # but as said: "restarted" (after the banner; down for 1 s), "restarted-in-grace", "released" (its idle inhibitor ends after the
    # banner, then one move)
    event: str = None
    terminal: bool = False  # standard output a terminal, which shows each failed read
    ends_within: float = None  # s from its start, at most
    logind: str = None  # a system bus of its own with the logind stand-in in this mode (logind.py)
    session_bus: str = None  # a session bus of its own with a stand-in in this mode; "activatable":
    #                          where only GNOME's screen saver can be started; "silent": one that
    #                          never answers
    # Standard output while watching a still session after input in the grace period (None:
    # not running by then), exit status, lines on standard error, and whether the session was
    # seen locked afterwards.
    quiet: bytes = BANNER
    status: int = 0
    errors: int = 0
    locked: bool = True
    said: str = "^"  # a pattern its standard error matches
    out: str = None  # a pattern its standard output matches (None: the banner, or nothing if 2)


CHINESE = harness.CHINESE  # its lines in Chinese; the banner as ever
REFUSED = {"quiet": None, "status": 2, "errors": 1, "locked": False}
AT_ONCE = {"quiet": None, "locked": False, "ends_within": 1}  # answered, nothing armed
# Each watches with what its compositor offers, and locks through what locks it there.
WAYLAND = {
    "sway-swaylock": Row("sway", x_display=True),  # the Wayland way, although DISPLAY is set
    "sway-no-locker": Row("sway-bare", env=CHINESE, locked=False),  # logind took it; nothing can tell
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
    "weston-refused": Row("weston", env=CHINESE, said="^mousetrap: 无法监视本会话：.*不进行监视。\n$",
                          **REFUSED),
    "silent-refused": Row("silent", **REFUSED),
    "backlog-refused": Row("backlog", **REFUSED, ends_within=4.5),  # the grace period ends at 7
    # The display lost (one line), then back, as Xwayland: its return counts as input.
    "xwayland-returned": Row("xwayland", errors=1, locked=False),
    # logind's session "auto" of the tool is a text one: the user's graphical one is locked.
    "sway-text-auto": Row("sway-text-auto"),
    # logind refuses, or never answers, and nothing else locks: status 1 within the limits.
    "logind-refuses": Row("sway-bare", logind="--refuse-lock", status=1, errors=1, locked=False),
    "logind-never-answers": Row("sway-bare", logind="--silent-lock", status=1, errors=1,
                                locked=False),
    "logind-no-session": Row("sway-bare", logind="--no-session", **REFUSED),  # certain: refused
    # A screen saver seen active only 0.5 s after its Lock answered: status 0.
    "saver-active-late": Row("sway-bare", system_bus=False, session_bus="--late-screen-saver",
                             locked=False),
    # A screen saver D-Bus could start, or a session bus too slow to say: watched, not refused.
    "saver-activatable": Row("sway-bare", system_bus=False, session_bus="activatable", status=1,
                             errors=1, locked=False),
    "session-bus-silent": Row("sway-bare", system_bus=False, session_bus="silent", status=1,
                              errors=1, locked=False),
    # logind took it, and a silent session bus might have a screen saver that could tell: 1.
    "logind-session-bus-silent": Row("sway-bare", logind="", session_bus="silent", status=1,
                                     errors=1, locked=False),
    # An idle monitor that refuses the first watch (one line), and one whose bus restarts: each
    # watch taken afterwards counts as input.
    "idle-monitor-refuses": Row(None, logind="", session_bus="--idle-monitor-refusing-once",
                                quiet=None, errors=1, locked=False),
    "idle-monitor-restarted": Row(None, logind="", session_bus="--idle-monitor",
                                  event="restarted", errors=1, locked=False),
    # Answered before anything is tried: also where nothing answers or nothing can be watched.
    "silent-help": Row("silent", args=("--help",), out=USAGE, **AT_ONCE),
    "weston-help-Chinese": Row("weston", args=("-h",), env=CHINESE, **AT_ONCE, out=(
        r"^用法：mousetrap \[--grace 秒数\]\n(.*\n)+手册页：man mousetrap\n$")),
    "sway-version": Row("sway-bare", args=("--version",), out=VERSION_LINE, **AT_ONCE),
    "sway-grace-5x": Row("sway-bare", args=("--grace", "5x"), said=BAD_GRACE, **REFUSED,
                         ends_within=1),
}


class Wayland(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.require("dbus-daemon", "sway", "swaymsg", "swayidle", "swaylock", "grim", "mutter",
                        "gnome-shell", "kwin_wayland", "weston", "Xwayland", "Xvfb")
        harness.make_chinese_locale()
        tmp = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="mousetrap-wayland-"))
        os.chmod(tmp, 0o755)  # the test user reaches its own folders within
        # Copies that the test user can run wherever the build tree lies.
        cls.copies = {program: shutil.copy(program, tmp) for program in (PROGRAM, KDE_IDLE)}
        shutil.copytree(f"{os.path.dirname(PROGRAM)}/locale", f"{tmp}/locale")  # their catalogue
        events = {cls.session(row): row.event for row in WAYLAND.values()
                  if (row.session or "").split("/")[0] in harness.COMPOSITORS}
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
            bus_restarts, envs_of = [], {}  # every row's buses first: all launch at once after
            for name, row in WAYLAND.items():
                session = cls.sessions.get(cls.session(row))
                buses = {} if row.session_bus != "silent" else {
                    "DBUS_SESSION_BUS_ADDRESS": envs["silent"]["DBUS_SESSION_BUS_ADDRESS"]}
                for kind, mode in (("system", row.logind), ("session", row.session_bus)):
                    if mode is not None and mode != "silent":
                        buses[f"DBUS_{kind.upper()}_BUS_ADDRESS"], restart = cls.own_bus(
                            f"{tmp}/{name}-{kind}", kind, mode)
                        bus_restarts += [restart] if row.event and kind == "session" else []
                envs_of[name] = {
                    **harness.no_buses(tmp), **envs.get(row.session, {}),
                    **(session.env if session else {}), **row.env,
                    **({"DISPLAY": display} if row.x_display else {}),
                    **({} if row.system_bus else {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/none"}),
                    **buses}
            for name, env in envs_of.items():
                cls.launch(name, env, WAYLAND[name])
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

            def step():
                last = next(steps)
                list(pool.map(befall, events, [last] * len(events)))
                for restart in bus_restarts if last else ():
                    restart()

            with concurrent.futures.ThreadPoolExecutor(len(events)) as pool:
                cls.quiet, _, cls.status = harness.watch_timeline(
                    None, watched, lambda _: False, lambda name: cls.read(name, "out"), move=step)
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
    def own_bus(cls, folder, kind, mode):
        """Starts a bus of `kind` of a row's own, in `folder`, with the stand-in in `mode`; its
        address, and what restarts both."""
        runtime = tempfile.mkdtemp(dir=harness.runtime_folder())
        os.chown(runtime, *[harness.AS_TEST_USER.get(key, -1) for key in ("user", "group")])
        address = f"unix:path={runtime}/bus"
        activatable = mode == "activatable"
        procs, log = [], open(f"{folder}.log", "wb")
        cls.addClassCleanup(log.close)
        cls.addClassCleanup(harness.stop, procs)

        def start(number=0):
            procs.extend(harness.logind(f"{address}-{number}", f"{folder}-{number}", log,
                                        None if activatable else mode, kind,
                                        ("org.gnome.ScreenSaver",) if activatable else ()))
            # Only now at the address: the bus comes back with its stand-in already on it.
            os.rename(f"{runtime}/bus-{number}", f"{runtime}/bus")

        def restart():
            procs[0].kill()  # the bus breaks: no word of its names' owners going comes first
            harness.stop(procs)
            procs.clear()
            start(1)
        start()
        return address, restart

    @classmethod
    def launch(cls, name, env, row):
        if row.terminal:
            _, terminal = cls.terminals[name] = pty.openpty()
            tty.setraw(terminal)  # no CR before LF
        with open(f"{cls.logs}/{name}.out", "wb") as out, \
                open(f"{cls.logs}/{name}.err", "wb") as err:
            cls.started[name] = time.time()
            cls.procs[name] = harness.start([cls.copies[row.program], *row.args], stderr=err,
                                            env=env, stdout=terminal if row.terminal else out,
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
                self.assertRegex(out.decode(), row.out or  # refused before the banner, or after it
                                 ("^$" if row.status == 2 else f"^{BANNER.decode()}$"))
                self.assertRegex(self.read(name, "err").decode(), row.said)
                ended = max(os.stat(f"{self.logs}/{name}.{what}").st_mtime
                            for what in ("out", "err")) - self.started[name]
                self.assertLess(ended, row.ends_within or ended + 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
