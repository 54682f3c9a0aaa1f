#!/usr/bin/python3
"""A stand-in for systemd-logind's D-Bus face, for real screen lockers in tests, on the bus in
DBUS_SYSTEM_BUS_ADDRESS: org.freedesktop.login1 with one session, "1", also
reachable as session/auto, and org.gnome.DisplayManager, which gnome-shell asks before it
listens to logind. Lock emits Lock from the session's own path, as logind does;
SetLockedHint sets LockedHint and announces it. Prints one line once it owns both names, then
one per method called (name, arguments, at=ms since the epoch): a test waits for what a locker does.

Its modes, for a logind that fails: --refuse-lock (Lock answers an error), --silent-lock (Lock
is never answered), --no-session (no session for anyone), --no-locked-hint (LockedHint stays
false, as a logind too old to keep it), --text-auto (as over SSH: a program
named mousetrap* is in text session "2", and its user's Display is session "1").

Instead of logind, on the session bus: --broken-screen-saver, org.freedesktop.ScreenSaver whose
Lock does nothing and whose GetActive stays false; --late-screen-saver, one whose GetActive
turns true 0.5 s after Lock; --idle-monitor, GNOME's idle monitor, which takes every user-active
watch (and never fires it); --idle-monitor-refusing-once, which refuses the first."""
import os
import sys
import time

from gi.repository import Gio, GLib

SESSION_ID = "1"
SESSION = "/org/freedesktop/login1/session/_31"  # logind escapes a leading digit as _XX
TEXT_SESSION = "/org/freedesktop/login1/session/_32"
MODE = sys.argv[1] if len(sys.argv) > 1 else ""
MANAGER_IF, SESSION_IF = "org.freedesktop.login1.Manager", "org.freedesktop.login1.Session"
GDM_IF = "org.gnome.DisplayManager.Manager"

XML = f"""<node>
<interface name="{MANAGER_IF}">
  <method name="GetSession"><arg type="s" direction="in"/><arg type="o" direction="out"/></method>
  <method name="GetSessionByPID">
    <arg type="u" direction="in"/><arg type="o" direction="out"/>
  </method>
  <method name="Inhibit">
    <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
    <arg type="s" direction="in"/><arg type="h" direction="out"/>
  </method>
  <property name="BlockInhibited" type="s" access="read"/>
</interface>
<interface name="org.freedesktop.login1.User">
  <property name="Display" type="(so)" access="read"/>
</interface>
<interface name="{SESSION_IF}">
  <method name="Lock"/>
  <method name="SetLockedHint"><arg type="b" direction="in"/></method>
  <signal name="Lock"/>
  <signal name="Unlock"/>
  <property name="Active" type="b" access="read"/>
  <property name="LockedHint" type="b" access="read"/>
  <property name="Type" type="s" access="read"/>
</interface>
<interface name="{GDM_IF}">
  <property name="Version" type="s" access="read"/>
</interface>
<interface name="org.freedesktop.ScreenSaver">
  <method name="Lock"/>
  <method name="GetActive"><arg type="b" direction="out"/></method>
</interface>
<interface name="org.gnome.Mutter.IdleMonitor">
  <method name="AddUserActiveWatch"><arg type="u" direction="out"/></method>
</interface>
</node>"""
INTERFACES = {i.name: i for i in Gio.DBusNodeInfo.new_for_xml(XML).interfaces}
locked_hint = False


locked_at = None  # when the late screen saver turns active
watches = 0


def caller_is_the_tool(connection, sender):
    pid = connection.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                               GLib.Variant("(s)", (sender,)), None, 0, -1, None).unpack()[0]
    with open(f"/proc/{pid}/comm") as f:
        return f.read().startswith("mousetrap")


def call(connection, sender, path, interface, method, args, invocation):
    global locked_hint, locked_at, watches
    print(f"{time.time() * 1000:.0f}", path, method, *args.unpack(), flush=True)
    if method == "AddUserActiveWatch":
        watches += 1
        if MODE == "--idle-monitor-refusing-once" and watches == 1:
            return invocation.return_dbus_error("org.freedesktop.DBus.Error.Failed", "not now")
        return invocation.return_value(GLib.Variant("(u)", (watches,)))
    if method == "GetSession":
        if MODE == "--no-session" or args[0] not in ("auto", SESSION_ID):
            return invocation.return_dbus_error("org.freedesktop.login1.NoSuchSession",
                                                f"No session '{args[0]}' known")
        text = MODE == "--text-auto" and caller_is_the_tool(connection, sender)
        return invocation.return_value(GLib.Variant("(o)", (TEXT_SESSION if text else SESSION,)))
    if method == "GetSessionByPID":  # xss-lock's question
        return invocation.return_value(GLib.Variant("(o)", (SESSION,)))
    if method == "Inhibit":  # as logind: the write end of a pipe, which the locker holds
        read_end, write_end = os.pipe()
        os.close(read_end)
        return invocation.return_value_with_unix_fd_list(
            GLib.Variant("(h)", (0,)), Gio.UnixFDList.new_from_array([write_end]))
    if interface == "org.freedesktop.ScreenSaver":
        if method == "Lock" and MODE == "--late-screen-saver":
            locked_at = locked_at or time.monotonic() + 0.5
        active = locked_at is not None and time.monotonic() >= locked_at
        return invocation.return_value(GLib.Variant("(b)", (active,)) if method == "GetActive"
                                       else None)
    if method == "Lock" and MODE == "--silent-lock":
        return  # never answered
    if method == "Lock" and MODE == "--refuse-lock":
        return invocation.return_dbus_error("org.freedesktop.DBus.Error.AccessDenied",
                                            "Permission denied")
    if method == "Lock":  # from the session's own path, as logind emits it
        bus.emit_signal(None, SESSION if path.endswith("/auto") else path, SESSION_IF, "Lock", None)
    elif method == "SetLockedHint" and MODE != "--no-locked-hint":
        locked_hint = args[0]
        changed = {"LockedHint": GLib.Variant("b", locked_hint)}
        bus.emit_signal(None, SESSION, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                        GLib.Variant("(sa{sv}as)", (SESSION_IF, changed, [])))
    invocation.return_value(None)


def get(connection, sender, path, interface, name):
    return {"BlockInhibited": GLib.Variant("s", ""), "Active": GLib.Variant("b", True),
            "LockedHint": GLib.Variant("b", locked_hint and path != TEXT_SESSION),
            "Type": GLib.Variant("s", "tty" if path == TEXT_SESSION else "wayland"),
            "Display": GLib.Variant("(so)", (SESSION_ID, SESSION)),
            "Version": GLib.Variant("s", "43.0")}[name]


SAVER = "screen-saver" in MODE
MONITOR = "idle-monitor" in MODE
OBJECTS = {"saver": [("/ScreenSaver", "org.freedesktop.ScreenSaver")],
           "monitor": [("/org/gnome/Mutter/IdleMonitor/Core", "org.gnome.Mutter.IdleMonitor")],
           "logind": [("/org/freedesktop/login1", MANAGER_IF), (SESSION, SESSION_IF),
                      (TEXT_SESSION, SESSION_IF), ("/org/freedesktop/login1/session/auto", SESSION_IF),
                      *((f"/org/freedesktop/login1/user/_{uid}", "org.freedesktop.login1.User")
                        for uid in {0, os.getuid()}),
                      ("/org/gnome/DisplayManager/Manager", GDM_IF)]}
NAMES = {"saver": ["org.freedesktop.ScreenSaver"], "monitor": ["org.gnome.Mutter.IdleMonitor"],
         "logind": ["org.freedesktop.login1", "org.gnome.DisplayManager"]}
role = "saver" if SAVER else "monitor" if MONITOR else "logind"
bus = Gio.bus_get_sync(Gio.BusType.SYSTEM if role == "logind" else Gio.BusType.SESSION)
for path, interface in OBJECTS[role]:
    bus.register_object(path, INTERFACES[interface], call, get, None)
for name in NAMES[role]:
    reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "RequestName", GLib.Variant("(su)", (name, 4)), None,
                          Gio.DBusCallFlags.NONE, -1, None)
    if reply.unpack()[0] != 1:  # 4: do not queue; 1: now the owner
        sys.exit(f"logind.py: {name} has another owner")
print(f"logind.py: owns {name}", flush=True)
GLib.MainLoop().run()
