"""What the end-to-end tests share: tool checks, processes that die with the test, a private X
display, headless Wayland compositors, the pointer, and Wine."""
import atexit
import contextlib
import ctypes
import errno
import os
import re
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import types
import typing

GRACE_MOVE_S = 3.0  # after launch: inside the tool's 7 s grace period
STILL_UNTIL_S = 11.0  # after launch: over 3 s of watching a still pointer
LOCK_WAIT_S = 15  # after the last move: the tools end
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)  # the clone, build trees included

# Wine: with wine32 and wine64 both installed, each program gets the loader of its own
# architecture by path, one 64-bit prefix serves both, and the stand-in rundll32.exe is built
# with the cross compiler of that architecture.
WINE_LOADER = {"win32": "/usr/lib/wine/wine", "win64": "/usr/lib/wine/wine64"}
MINGW_GCC = {"win32": "i686-w64-mingw32-gcc", "win64": "x86_64-w64-mingw32-gcc"}
# A 32-bit program the wine32:i386 package installs: trying it tells whether the kernel runs
# 32-bit programs. MOUSETRAP_32BIT_PROBE names another to try (a test of the refusal path).
PROBE_32BIT = os.environ.get("MOUSETRAP_32BIT_PROBE", "/usr/lib/wine/wineserver32")
# Wayland compositors run as the test user: nobody when the tests run as root (sway refuses
# root). A session bus serves only its own user, so the tool runs as that user too.
AS_TEST_USER = {"user": 65534, "group": 65534, "extra_groups": []} if os.geteuid() == 0 else {}


def _unreachable(path):
    """Why the test user cannot reach `path` (a folder above it it cannot enter, by the bits that
    apply to it; the file, unreadable), or None. What is not there counts by what is above it."""
    parts = os.path.abspath(path).split(os.sep)
    user, group = AS_TEST_USER["user"], AS_TEST_USER["group"]
    for i in range(1, len(parts) + 1):
        with contextlib.suppress(OSError):
            st = os.stat(os.sep.join(parts[:i]) or os.sep)
            shift = 6 if st.st_uid == user else 3 if st.st_gid == group else 0
            need = 1 if i < len(parts) else 4 if stat.S_ISREG(st.st_mode) else 0
            if st.st_mode >> shift & need != need:
                return f"it cannot {'enter' if need == 1 else 'read'} {os.sep.join(parts[:i])}"
    return None


# Each test's temporary folders lie in one folder of its own in the build tree, which ctest
# names in MOUSETRAP_TEST_TMP and which is emptied when the test starts: what a killed run left
# goes with the next run. Lintian's files follow TMPDIR there. Where the
# test user could not reach the build tree, or outside ctest, the folder is one made for this
# run in /tmp instead, removed at exit.
TMP = os.environ.get("MOUSETRAP_TEST_TMP")
if TMP and not (AS_TEST_USER and _unreachable(TMP)):
    shutil.rmtree(TMP, ignore_errors=True)
    _umask = os.umask(0o022)  # the test user passes through, whatever the umask
    os.makedirs(TMP)
    os.umask(_umask)
else:
    TMP = tempfile.mkdtemp(prefix="mt-")
    os.chmod(TMP, 0o755)
    atexit.register(shutil.rmtree, TMP, ignore_errors=True)
# Where the test command looks for the reason a test did not run.
SKIP_NOTE = os.path.join(os.environ.get("MOUSETRAP_TEST_TMP") or TMP, "skipped")
os.environ["TMPDIR"] = tempfile.tempdir = TMP
os.environ["MOUSETRAP_TEST_TMP"] = os.path.join(TMP, "nested")  # for a test this one runs
_runtime = []
# A Simplified Chinese locale of the run's own: a fresh Debian has none but C and C.UTF-8, and
# in C.UTF-8 Debian 13's C library reads no message catalogue, whatever LANGUAGE says.
LOCALES = os.path.join(TMP, "locales")
CHINESE = {"LANG": "zh_CN.UTF-8", "LANGUAGE": "zh_CN", "LOCPATH": LOCALES}


def make_chinese_locale():
    """Compiles zh_CN.UTF-8 into LOCALES (localedef, from Debian's locales), for CHINESE."""
    umask = os.umask(0o022)  # the test user reads it
    os.makedirs(LOCALES, exist_ok=True)
    run(["localedef", "-c", "-i", "zh_CN", "-f", "UTF-8", f"{LOCALES}/zh_CN.UTF-8"],
        capture_output=True, timeout=120)
    os.umask(umask)
    if not os.path.exists(f"{LOCALES}/zh_CN.UTF-8/LC_MESSAGES"):
        raise RuntimeError("localedef made no zh_CN.UTF-8 locale")


def wait_until(ready, proc, what, timeout=15):
    """Polls ready() until it gives a true value, which it returns; RuntimeError when `proc` ends
    or `timeout` s pass first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None:
        found = ready()
        if found:
            return found
        time.sleep(0.05)
    raise RuntimeError(f"{what} did not start")


def runtime_folder():
    """A folder of this run's in /tmp, for sockets, whose paths must be short (108 bytes at most,
    less for sway's); made when first needed, removed at exit."""
    if not _runtime:
        _runtime.append(tempfile.mkdtemp(prefix="mt-", dir="/tmp"))
        os.chmod(_runtime[0], 0o755)
        atexit.register(shutil.rmtree, _runtime[0], ignore_errors=True)
    return _runtime[0]


def skip(reason, even_if_required=False):
    """Ends the test as skipped (77), or as failed when MOUSETRAP_REQUIRE_ALL is set and the
    reason is one a package could mend. The reason is also kept in the test's folder, for the
    test command to show."""
    print(reason)
    os.makedirs(os.path.dirname(SKIP_NOTE), exist_ok=True)
    with open(SKIP_NOTE, "w") as f:
        f.write(reason)
    sys.exit(1 if os.environ.get("MOUSETRAP_REQUIRE_ALL") and not even_if_required else 77)


def require(*tools):
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        skip(f"missing: {' '.join(missing)} (scripts/test.sh installs them)")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write_script(path, text):
    """Writes an executable script (a stand-in for a command) to `path`."""
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)


def for_test_user(path, folder=None):
    """Copies the file `path` (a script or program of the clone, which the test user may be unable
    to enter: /root, a home or mktemp -d folder are 0700) into `folder`, or a folder of the run's,
    as the test user's own; returns the copy's path."""
    os.makedirs(folder or os.path.join(TMP, "for-test-user"), 0o700, exist_ok=True)
    copy = shutil.copy(path, folder or os.path.join(TMP, "for-test-user"))
    for made in (os.path.dirname(copy), copy) if AS_TEST_USER else ():
        os.chown(made, AS_TEST_USER["user"], AS_TEST_USER["group"])
    return copy


def _check_test_user_paths(args, kwargs):
    """Fails at once when a process to run as the test user is handed a path (argument, working
    folder or environment) in the clone outside the run's folder, however open this clone's
    folder is, or one that user cannot reach (_unreachable)."""
    args = list(map(str, [args] if isinstance(args, (str, bytes)) else args))
    if AS_TEST_USER and (kwargs.get("user") is not None or "--reuid=65534" in args):
        for text in [*args, str(kwargs.get("cwd") or ""), *(kwargs.get("env") or {}).values()]:
            for path in re.findall(r"(?:^|(?<=[\s:=,;]))/[^\s:=,;]*", text):
                inside = [(os.path.realpath(path) + "/").startswith(os.path.realpath(f) + "/")
                          for f in (SOURCE, TMP)]
                why = _unreachable(path) if inside != [True, False] else (
                    "it lies in the clone, closed to that user where a folder above it is (as "
                    "/root): hand it a copy (for_test_user)")
                if why:
                    raise RuntimeError(f"{args[0]}, as the test user, is handed {path}, but {why}")


def kernel_refuses_32bit():
    """Runs the 32-bit probe: True when the kernel refuses it (ENOEXEC); any other failure is
    raised."""
    try:
        run([PROBE_32BIT, "--version"], check=True, capture_output=True, timeout=10)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return True
        raise
    return False


def _die_with_parent(death_signal):
    ctypes.CDLL(None, use_errno=True).prctl(1, death_signal)  # PR_SET_PDEATHSIG


_started = []  # (Popen, its death signal) of each process a test started


def start(args, death_signal=signal.SIGKILL, **kwargs):
    """Popen for what a test starts: sent `death_signal` by the kernel if the test itself dies
    (SIGTERM for X servers, which then remove their sockets and lock files; SIGINT for Wine's
    server). Checks what the test user is handed (_check_test_user_paths)."""
    _check_test_user_paths(args, kwargs)
    proc = subprocess.Popen(args, preexec_fn=lambda: _die_with_parent(death_signal), **kwargs)
    _started.append((proc, death_signal))
    return proc


def run(args, **kwargs):
    """subprocess.run for what a test runs: killed by the kernel if the test dies; checked."""
    _check_test_user_paths(args, kwargs)
    return subprocess.run(args, preexec_fn=lambda: _die_with_parent(signal.SIGKILL), **kwargs)


def _parent_gone(signum, _):
    """ctest, the test's parent, has gone: stops what the test started, then ends the test by
    SystemExit, so its clean-ups run on the way out."""
    for proc, death_signal in _started:
        if proc.poll() is None:
            proc.send_signal(death_signal)
    _stop_orphans()
    raise SystemExit(128 + signum)


def _stop_orphans():
    """Kills what a test's processes left behind when they ended (a daemon that swaylock -f or a
    locker's greeter made), which was handed to the test: it is their subreaper."""
    ours = {proc.pid for proc, _ in _started}
    for _ in range(10):  # an orphan's own orphans come to the test when it is killed
        orphans = [pid for pid, _ in children(os.getpid()) if pid not in ours]
        for pid in orphans:
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)


signal.signal(signal.SIGTERM, _parent_gone)
_die_with_parent(signal.SIGTERM)
ctypes.CDLL(None).prctl(36, 1)  # PR_SET_CHILD_SUBREAPER


def stop(procs):
    """Ends each process as SIGTERM does, so it can tidy up (an X server its lock file), or kills
    it after 5 s; closes its pipes."""
    for proc in procs:
        with proc:
            proc.terminate()
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(5)
            proc.kill()


@contextlib.contextmanager
def reserved_display(silent=False):
    """Holds a display number that no X server has, and none can take while it is held (its
    abstract socket is bound here, and X servers on Linux bind it too); yields it. Clients of
    that display fail to connect until a server listens there on the socket file alone
    (`-nolisten local`), which xcb tries after the abstract one; or, `silent`, they connect
    and are never answered."""
    for number in range(200, 1000):
        holder = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            holder.bind(f"\0/tmp/.X11-unix/X{number}")
        except OSError:
            holder.close()
            continue
        with holder:
            if silent:
                holder.listen()
            if not os.path.exists(f"/tmp/.X{number}-lock"):
                yield number
                return
    raise RuntimeError("no free display number")


@contextlib.contextmanager
def private_display(number=None, cookie=False):
    """Runs Xvfb on the held display `number` (see reserved_display), or on one of its own
    choosing; with `cookie`, it lets in only clients with a cookie of its own, which no other has.
    Yields the DISPLAY value."""
    read_end, write_end = os.pipe()
    chosen = [] if number is None else [f":{number}", "-nolisten", "local"]
    if cookie:
        auth = tempfile.mktemp(prefix="auth-")
        run(["xauth", "-q", "-f", auth, "add", ":0", ".", os.urandom(16).hex()], check=True,
            capture_output=True, timeout=10)
        chosen += ["-auth", auth]
    xvfb = start(["Xvfb", *chosen, "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                  "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, death_signal=signal.SIGTERM)
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
        stop([xvfb])


@contextlib.contextmanager
def xwayland_display(folder, outputs):
    """Runs Weston headless with Xwayland, with a private runtime folder, its log in `folder`;
    yields the DISPLAY value of its Xwayland, which starts at the first X client. Stops both.
    Without `outputs`, Xwayland has no RandR output either, whose name would tell what it is."""
    runtime = tempfile.mkdtemp(dir=runtime_folder())
    log = os.path.join(folder, "weston.log")
    weston = start(["weston", "--backend=headless-backend.so", "--xwayland",
                    *([] if outputs else ["--no-outputs"]),
                    "--idle-time=0", "--socket=mousetrap-test", f"--log={log}"],
                   env={**os.environ, "XDG_RUNTIME_DIR": runtime}, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, death_signal=signal.SIGTERM)
    def listening():
        return os.path.exists(log) and re.search(r"listening on display (:\d+)", read(log).decode())

    try:
        yield wait_until(listening, weston, "Weston's Xwayland").group(1)
    finally:
        stop([weston])  # and so Xwayland, its child


FAKE_INPUT = os.path.join(HERE, "..", "build", "host", "tests", "fake_input_motion")
IDLE_INHIBITOR = os.path.join(HERE, "..", "build", "host", "tests", "idle_inhibitor")


class Compositor(typing.NamedTuple):
    """A headless Wayland compositor as the tests run it, with what locks it. Commands run in
    its folder, where {folder} stands for that folder."""
    server: list  # starts it
    display: str  # the WAYLAND_DISPLAY it listens on
    mover: list = None  # moves its pointer one pixel per line read (see mover.py); None: no seat
    fake_input: bool = False  # the mover fakes input through KWin's own protocol
    logind: typing.Union[bool, str] = False  # a logind stand-in (logind.py) on a system bus of
    #                                         the session's own; a string: in that mode
    locker: list = None  # the locker, started once the compositor is up
    ready: str = None  # a text in the session's log once its locker listens to logind
    owns: str = None  # or a name on the session bus its locker owns once it listens
    locked: typing.Callable = None  # locked(session): whether the session is seen locked
    services: tuple = ()  # D-Bus services its session bus can start (from /usr/share/dbus-1)
    gnome_shell: bool = False  # needs a /run of its own holding systemd/seats (it listens to
    #                            logind only there); may hang at start-up (_unstick_gnome_shell)
    inhibitor: bool = False  # an idle inhibitor (idle_inhibitor.c) holds idle off until released


def _screen_shows_swaylock(session):
    ppm = session.run(["grim", "-g", "0,0 1x1", "-t", "ppm", "-"]).stdout
    return ppm.endswith(bytes.fromhex(SWAYLOCK_COLOUR))


def _active(destination, path, interface, process=None):
    """locked(session): GetActive of `interface` at `destination` says true, and `process` (if
    given) runs as the compositor's child."""
    def locked(session):
        answer = session.run(["gdbus", "call", "--session", "-d", destination, "-o", path, "-m",
                              f"{interface}.GetActive"]).stdout
        return answer == b"(true,)\n" and (
            process is None or process in (name for _, name in children(session.server.pid)))
    return locked


SWAYLOCK_COLOUR = "00ff00"
SWAYIDLE = ["swayidle", "-d", "-w", "lock", f"swaylock -f -c {SWAYLOCK_COLOUR}"]
WLROOTS_ENV = {"WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman", "WLR_LIBINPUT_NO_DEVICES": "1",
               "WLR_HEADLESS_OUTPUTS": "1"}
SWAY = ["sway", "-c", "{folder}/sway.config"]
LOGIND_PY, MOVER_PY = (for_test_user(f"{HERE}/{script}") for script in ("logind.py", "mover.py"))
SWAY_MOVER = ["/usr/bin/python3", MOVER_PY, "sway"]
MUTTER = ["--headless", "--virtual-monitor", "800x600", "--wayland", "--no-x11",
          "--wayland-display=mousetrap-test"]  # gnome-shell's too
MUTTER_MOVER = ["/usr/bin/python3", MOVER_PY, "mutter"]  # gnome-shell's too
# A copy of KWin: without the file capability of the installed one, which a sandbox may be
# unable to grant. Without --no-lockscreen, kscreenlocker locks it. KWin offers fake input (for
# the mover) only to programs that a desktop file names, as KWin 5 and 6 find them in caches of
# their own frameworks: the test's KWin offers it to every client instead.
KWIN = ["env", "KWIN_WAYLAND_NO_PERMISSION_CHECKS=1", "{folder}/kwin_wayland", "--virtual", "--socket", "mousetrap-test", "--no-global-shortcuts",
        "--no-kactivities"]
KWIN_MOVER = ["{folder}/fake_input_motion"]
KWIN_LOCKED = _active("org.freedesktop.ScreenSaver", "/ScreenSaver", "org.freedesktop.ScreenSaver",
                      "kscreenlocker_g")  # the greeter shows
COMPOSITORS = {
    # swayidle runs swaylock when logind asks the session to lock.
    # With GNOME's screen saver (a forwarder to gnome-shell) startable, as where GNOME is
    # installed too.
    "sway": Compositor(SWAY, "wayland-1", SWAY_MOVER, logind=True,
                       services=("org.gnome.ScreenSaver",),
                       locker=SWAYIDLE, ready="Enable idle timeouts", locked=_screen_shows_swaylock),
    "sway-bare": Compositor(SWAY, "wayland-1", SWAY_MOVER, logind=True),  # no locker answers
    # As over SSH: logind's session "auto" of the tool is a text one; swayidle's is graphical.
    "sway-text-auto": Compositor(SWAY, "wayland-1", SWAY_MOVER, logind="--text-auto",
                                 locker=SWAYIDLE, ready="Enable idle timeouts",
                                 locked=_screen_shows_swaylock),
    "sway-inhibited": Compositor(SWAY, "wayland-1", SWAY_MOVER, logind=True, inhibitor=True),
    # A screen saver that answers, and never locks.
    "sway-broken-saver": Compositor(SWAY, "wayland-1", SWAY_MOVER, logind=True, locker=[
        "/usr/bin/python3", LOGIND_PY, "--broken-screen-saver"],
        owns="org.freedesktop.ScreenSaver"),
    "mutter": Compositor(["mutter", *MUTTER], "mousetrap-test", MUTTER_MOVER, logind=True),
    # gnome-shell's own screen shield, reached through GNOME's D-Bus-started forwarder.
    "gnome-shell": Compositor(["gnome-shell", *MUTTER], "mousetrap-test", MUTTER_MOVER,
                              logind=True, ready="Inhibit", services=("org.gnome.ScreenSaver",),
                              gnome_shell=True, locked=_active(
                                  "org.gnome.Shell.ScreenShield", "/org/gnome/ScreenSaver",
                                  "org.gnome.ScreenSaver")),
    "kwin": Compositor(KWIN, "mousetrap-test", KWIN_MOVER, fake_input=True, logind=True,
                       ready="Inhibit", locked=KWIN_LOCKED),
    # Locked through the ScreenSaver interface, with no logind at all.
    "kwin-alone": Compositor(KWIN, "mousetrap-test", KWIN_MOVER, fake_input=True,
                             owns="org.freedesktop.ScreenSaver", locked=KWIN_LOCKED),
    "weston": Compositor(["weston", "--backend=headless-backend.so", "--socket=mousetrap-test",
                          "--idle-time=0"], "mousetrap-test"),
}


def children(pid):
    """(pid, name) of each child of process `pid`."""
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            stat = read(f"/proc/{entry}/stat").decode()
            if int(stat[stat.rindex(")") + 2:].split()[1]) == pid:
                yield int(entry), stat[stat.index("(") + 1:stat.rindex(")")]


def _bus(kind, address, folder, services=()):
    """The command of a private dbus-daemon of `kind` (session or system) on `address`, which
    lets anyone in and can start only `services`."""
    os.makedirs(f"{folder}/services", exist_ok=True)
    for name in services:
        os.symlink(f"/usr/share/dbus-1/services/{name}.service", f"{folder}/services/{name}.service")
    with open(f"{folder}/{kind}.conf", "w") as f:
        f.write(f"<busconfig><type>{kind}</type><listen>{address}</listen>"
                f"<servicedir>{folder}/services</servicedir><policy context='default'>"
                "<allow user='*'/><allow own='*'/><allow send_destination='*'/>"
                "<allow receive_sender='*'/></policy></busconfig>")
    return ["dbus-daemon", f"--config-file={folder}/{kind}.conf", "--nofork", "--print-address=1"]


def logind(address, folder, log, mode="", kind="system", services=()):
    """Starts a private bus of `kind` on `address`, which can start `services`, with the logind
    stand-in on it in `mode` (see logind.py; None: none), as the test user, in `folder` (made
    here), their output in the file `log` (where the stand-in logs each call); returns the
    processes."""
    bus = start(_bus(kind, address, test_user_folder(folder), services), stdout=subprocess.PIPE,
                stderr=log, bufsize=0, **AS_TEST_USER)
    _answer(bus, f"the {kind} bus")
    if mode is None:
        return [bus]
    logged = os.path.getsize(log.name)  # what the log held before: of a stand-in before this one
    stand_in = start(["/usr/bin/python3", LOGIND_PY, *([mode] if mode else [])], env={
        "PATH": "/usr/bin:/bin", f"DBUS_{kind.upper()}_BUS_ADDRESS": address}, stdout=log,
        stderr=log, **AS_TEST_USER)
    wait_until(lambda: b"logind.py: owns" in read(log.name)[logged:], stand_in,
               "the logind stand-in")
    return [bus, stand_in]


def _unstick_gnome_shell(pid):
    """About one start in six, gnome-shell's child hangs before it becomes ibus-daemon, and
    gnome-shell waits for it: kills a child that keeps gnome-shell's name for over a second."""
    seen = {}
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        names = dict(children(pid))
        if "ibus-daemon" in names.values():
            return
        for child, name in names.items():
            if name == "gnome-shell" and time.monotonic() - seen.setdefault(child, time.monotonic()) > 1:
                os.kill(child, signal.SIGKILL)
        time.sleep(0.05)


def no_buses(folder):
    """Bus addresses in `folder` where nothing listens, so that a program under test never
    reaches the machine's own logind or desktop, which it would lock."""
    return {"DBUS_SYSTEM_BUS_ADDRESS": f"unix:path={folder}/no-bus",
            "DBUS_SESSION_BUS_ADDRESS": f"unix:path={folder}/no-bus"}


def test_user_folder(path):
    os.mkdir(path, 0o700)
    if AS_TEST_USER:
        os.chown(path, AS_TEST_USER["user"], AS_TEST_USER["group"])
    return path


def _answer(proc, what, timeout=30):
    """Waits up to `timeout` s for a line on `proc`'s unbuffered standard output."""
    if not (select.select([proc.stdout], [], [], timeout)[0] and proc.stdout.readline()):
        raise RuntimeError(f"{what} did not answer")


def _allow_fake_input(folder):
    """Copies KWin and the mover into `folder`, for the test user."""
    for program in (FAKE_INPUT, "/usr/bin/kwin_wayland"):
        for_test_user(program, folder)


# unshare's namespaces need root, or a user namespace where the test user is root.
MAP_ROOT = [] if os.geteuid() == 0 else ["--map-root-user"]
# gnome-shell's own /run, made in a mount namespace of its own: the host's stays as it is.
OWN_RUN = ["unshare", "--mount", *MAP_ROOT, "sh", "-c",
           'mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system /run/systemd/seats && '
           'exec "$@"', "sh", *(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                 "--pdeathsig=SIGTERM"] if AS_TEST_USER else [])]


@contextlib.contextmanager
def compositor(kind, folder):
    """Runs the compositor COMPOSITORS[kind] headless as the test user, with its own runtime
    folder, session bus and, where it has logind, system bus, in `folder` (made here). Yields the
    session: `env`, the environment of a program in it; `move()`, which moves its pointer one
    pixel (None without a seat); `locked()`, whether it is seen locked (None: nothing locks it);
    `run(args)`, which runs a command in it; `server`, the compositor's process; `release()`,
    which ends its idle inhibitor. Stops all. RuntimeError when it does not start."""
    record = COMPOSITORS[kind]
    runtime = tempfile.mkdtemp(dir=runtime_folder())  # mode 700
    if AS_TEST_USER:
        os.chown(runtime, AS_TEST_USER["user"], AS_TEST_USER["group"])
    env = {"PATH": "/usr/bin:/bin", "HOME": test_user_folder(folder), "XDG_RUNTIME_DIR": runtime,
           "XDG_DATA_HOME": f"{folder}/data", "DBUS_SESSION_BUS_ADDRESS": f"unix:path={runtime}/bus",
           "DBUS_SYSTEM_BUS_ADDRESS": f"unix:path={runtime}/system_bus", "XDG_SESSION_ID": "1",
           "WAYLAND_DISPLAY": record.display, "SWAYSOCK": f"{runtime}/sway", **WLROOTS_ENV}
    log, procs = open(os.path.join(folder, "log"), "wb"), []

    def launch(args, answers=False, wrapper=()):
        """Starts `args` in the session; with `answers`, its standard input and output are pipes."""
        pipe = subprocess.PIPE if answers else subprocess.DEVNULL
        procs.append(start([*wrapper, *(arg.format(folder=folder) for arg in args)], env=env,
                           cwd=folder, stdin=pipe, stdout=pipe if answers else log, stderr=log,
                           bufsize=0, **({} if wrapper else AS_TEST_USER)))
        return procs[-1]

    def run_in_session(args):
        return run(args, env=env, capture_output=True, timeout=10, **AS_TEST_USER)

    def logged(text):
        log.flush()
        return text.encode() in read(log.name)

    def start_server():
        """Starts the compositor and waits for its socket; returns its process."""
        server = launch(record.server, wrapper=OWN_RUN if record.gnome_shell else ())
        wait_until(lambda: os.path.exists(f"{runtime}/{record.display}"), server,
                   f"{kind} (its log: {log.name})")
        return server

    try:
        with open(f"{folder}/sway.config", "w") as f:
            f.write("xwayland disable\n")
        if record.fake_input:
            _allow_fake_input(folder)
        _answer(launch(_bus("session", env["DBUS_SESSION_BUS_ADDRESS"], f"{folder}/session",
                            record.services), answers=True), "the session bus")
        if record.logind:
            procs.extend(logind(env["DBUS_SYSTEM_BUS_ADDRESS"], f"{folder}/system", log,
                                "" if record.logind is True else record.logind))
        server = start_server()
        if record.locker:
            launch(record.locker)
        if record.ready:
            wait_until(lambda: logged(record.ready), server, f"{kind}'s locker")
        if record.owns:
            run(["gdbus", "wait", "--session", "--timeout", "30", record.owns], env=env,
                check=True, timeout=40, **AS_TEST_USER)
        if record.gnome_shell:
            _unstick_gnome_shell(server.pid)
        if record.inhibitor:
            inhibitor = launch([shutil.copy(IDLE_INHIBITOR, folder)], answers=True)
            _answer(inhibitor, f"{kind}'s idle inhibitor")
        move = None
        if record.mover:
            mover = launch(record.mover, answers=True)
            _answer(mover, f"{kind}'s pointer")

            def move():
                mover.stdin.write(b"\n")
                _answer(mover, f"{kind}'s pointer", 10)

        def restart():
            """Kills the compositor, as a crash does (stopped, sway 1.10 first ends an idle
            inhibitor, which the tool takes for input); starts it again a second later on the same
            socket and buses."""
            session.server.kill()
            stop([session.server])
            for leftover in (record.display, f"{record.display}.lock"):  # so the wait is for the new
                with contextlib.suppress(FileNotFoundError):
                    os.remove(f"{runtime}/{leftover}")
            time.sleep(1)
            session.server = start_server()

        def release():
            inhibitor.stdin.write(b"\n")
            _answer(inhibitor, f"{kind}'s idle inhibitor", 10)  # the compositor has taken it

        session = types.SimpleNamespace(env=env, move=move, run=run_in_session, server=server,
                                        restart=restart, release=release)
        session.locked = record.locked and (lambda: record.locked(session))
        yield session
    finally:
        stop(reversed(procs))
        _stop_orphans()
        log.close()


def xdotool(display, *args):
    return run(["xdotool", *args], env={**os.environ, "DISPLAY": display}, check=True,
               capture_output=True, text=True, timeout=10).stdout


def watch_timeline(display, procs, locked, output, move=None):
    """Drives the pointer for the tools in `procs` (name: Popen), launched just now: a move in
    their grace period, a still pointer while they watch, then a one-pixel move; with xdotool
    on `display`, or with `move()`, which moves it one pixel.

    `locked(name)` tells whether a tool's lock command has run, `output(name)` what has reached
    its standard output so far. Returns, per tool, that output just before the last move if it
    was still watching and had not locked then, else None; the time of that move in ms since the
    epoch; and each tool's exit status (None for one still running LOCK_WAIT_S after the move)."""
    time.sleep(GRACE_MOVE_S)
    (move or (lambda: xdotool(display, "mousemove", "400", "300")))()
    time.sleep(STILL_UNTIL_S - GRACE_MOVE_S)
    quiet = {name: output(name) if p.poll() is None and not locked(name) else None
             for name, p in procs.items()}
    (move or (lambda: xdotool(display, "mousemove_relative", "1", "0")))()
    moved_ms = time.time() * 1000
    deadline = time.monotonic() + LOCK_WAIT_S
    status = {}
    for name, proc in procs.items():
        with contextlib.suppress(subprocess.TimeoutExpired):  # None: still running
            status[name] = proc.wait(max(0.1, deadline - time.monotonic()))
    return quiet, moved_ms, status


def build_standin_rundll32(path, arch):
    """Builds the stand-in rundll32.exe (standin_rundll32.c) for `arch` (win32 or win64)."""
    run([MINGW_GCC[arch], "-O2", "-static", "-o", path, os.path.join(HERE, "standin_rundll32.c")],
        check=True, timeout=30)


def install_standin_rundll32(env, arch):
    """Puts the stand-in rundll32.exe for `arch` in place of Wine's own in the system folder
    where an `arch` program finds it in the 64-bit prefix (system32, or syswow64 for 32-bit
    programs). Returns its path, and the environment under which Wine runs it rather than its
    builtin one (only for the tool's runs: a prefix cannot be made with that override)."""
    folder = {"win32": "syswow64", "win64": "system32"}[arch]
    path = os.path.join(env["WINEPREFIX"], "drive_c", "windows", folder, "rundll32.exe")
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)  # Wine's own, where the prefix has one
    build_standin_rundll32(path, arch)
    return path, {**env, "WINEDLLOVERRIDES": env["WINEDLLOVERRIDES"] + ";rundll32.exe=n"}


def require_wine(arch):
    """Skips unless Wine can run `arch` programs here; the kernel's refusal of 32-bit programs is
    the one reason that is not a failure under MOUSETRAP_REQUIRE_ALL."""
    require("wineserver", WINE_LOADER[arch], MINGW_GCC[arch], "Xvfb", "xdotool")
    if arch == "win32" and kernel_refuses_32bit():
        skip(f"skipped: this kernel refuses 32-bit programs ({PROBE_32BIT}: Exec format error), "
             "so no 32-bit Windows program runs under Wine here; win64_wine_e2e runs its x86-64 "
             "twin", even_if_required=True)


@contextlib.contextmanager
def wine_session(folder, display, arch):
    """A private 64-bit Wine prefix in `folder`, its server up and warmed by a first `arch`
    program, so a tool's clock starts on a warm Wine; yields the environment to run Wine with.
    Stops the server, which is the test's own child, so it dies with the test; it keeps none of
    the test's output."""
    # No TMPDIR: Debian 13's Wine aborts when it is set ("free(): invalid pointer"). Debian's
    # Wine puts its server folder in a /tmp/wine-XXXXXX of its own then, named in the prefix.
    env = {"PATH": os.environ["PATH"], "HOME": folder, "DISPLAY": display,
           "WINEPREFIX": os.path.join(folder, "prefix"), "WINEDEBUG": "-all",
           "WINEDLLOVERRIDES": "mscoree,mshtml="}
    os.mkdir(env["WINEPREFIX"])
    # SIGINT, on which the server ends every Wine process of the prefix with itself (killed, it
    # would leave Wine's services running).
    server = start(["wineserver", "--foreground", "--persistent"], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, death_signal=signal.SIGINT)
    try:
        began = time.monotonic()
        # The 64-bit loader makes the prefix; then the program's own loader warms up.
        for loader in dict.fromkeys([WINE_LOADER["win64"], WINE_LOADER[arch]]):
            run([loader, "cmd", "/c", "exit"], env=env, check=True, timeout=45,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print(f"\nWine prefix warm-up: {time.monotonic() - began:.1f} s", file=sys.stderr)
        # Wine's desktop centred the pointer when it started: put it somewhere known.
        xdotool(display, "mousemove", "100", "100")
        yield env
    finally:
        run(["wineserver", "-k"], env=env, timeout=10)
        stop([server])
        with contextlib.suppress(OSError):
            name = read(f"{env['WINEPREFIX']}/wineserver").decode().strip()
            if re.fullmatch(r"wine-\w+", name):
                shutil.rmtree(f"/tmp/{name}")
