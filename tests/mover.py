"""Moves the pointer of a headless compositor one pixel to the right for each line read on
standard input, through the compositor's own input path, and writes a line when it is ready and
after each move. Usage: mover.py sway|mutter (KWin's mover is fake_input_motion)."""
import subprocess
import sys
import time


def sway():
    return lambda: subprocess.run(["swaymsg", "-q", "seat", "seat0", "cursor", "move", "1", "0"],
                                  check=True, timeout=10)


def mutter():
    from gi.repository import Gio, GLib

    bus, service = Gio.bus_get_sync(Gio.BusType.SESSION), "org.gnome.Mutter.RemoteDesktop"

    def call(path, interface, method, args=None):
        return bus.call_sync(service, path, interface, method, args, None, 0, 5000, None).unpack()

    # One RemoteDesktop session, which lasts as long as the connection that made it: this one.
    for _ in range(300):  # until mutter owns its name, shortly after its socket appears
        try:
            session = call("/org/gnome/Mutter/RemoteDesktop", service, "CreateSession")[0]
            break
        except GLib.Error:
            time.sleep(0.1)
    call(session, f"{service}.Session", "Start")
    return lambda: call(session, f"{service}.Session", "NotifyPointerMotionRelative",
                        GLib.Variant("(dd)", (1.0, 0.0)))


move = {"sway": sway, "mutter": mutter}[sys.argv[1]]()
print("ready", flush=True)
for _ in sys.stdin:
    move()
    print("moved", flush=True)
