#!/usr/bin/python3
"""A stand-in for systemd-logind's D-Bus face, for real screen lockers in tests, on the bus in
DBUS_SYSTEM_BUS_ADDRESS: org.freedesktop.login1 with one session, "1", also
reachable as session/auto, and org.gnome.DisplayManager, which gnome-shell asks before it
listens to logind. Lock emits Lock from the session's own path, as logind does;
SetLockedHint sets LockedHint and announces it. Prints one line once it owns both names, then
one per method called (name, arguments, at=ms since the epoch): a test waits for what a locker does.

With --broken-screen-saver it is instead a screen saver on the session bus that never locks:
org.freedesktop.ScreenSaver, whose Lock does nothing and whose GetActive stays false."""
import os
import sys
import time

from gi.repository import Gio, GLib

SESSION_ID = "1"
SESSION = "/org/freedesktop/login1/session/_31"  # logind escapes a leading digit as _XX
MANAGER_IF, SESSION_IF = "org.freedesktop.login1.Manager", "org.freedesktop.login1.Session"
GDM_IF = "org.gnome.DisplayManager.Manager"

XML = f"""<node>
<interface name="{MANAGER_IF}">
  <method name="GetSession"><arg type="s" direction="in"/><arg type="o" direction="out"/></method>
  <method name="Inhibit">
    <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
    <arg type="s" direction="in"/><arg type="h" direction="out"/>
  </method>
  <property name="BlockInhibited" type="s" access="read"/>
</interface>
<interface name="{SESSION_IF}">
  <method name="Lock"/>
  <method name="SetLockedHint"><arg type="b" direction="in"/></method>
  <signal name="Lock"/>
  <signal name="Unlock"/>
  <property name="Active" type="b" access="read"/>
  <property name="LockedHint" type="b" access="read"/>
</interface>
<interface name="{GDM_IF}">
  <property name="Version" type="s" access="read"/>
</interface>
<interface name="org.freedesktop.ScreenSaver">
  <method name="Lock"/>
  <method name="GetActive"><arg type="b" direction="out"/></method>
</interface>
</node>"""
INTERFACES = {i.name: i for i in Gio.DBusNodeInfo.new_for_xml(XML).interfaces}
locked_hint = False


def call(connection, sender, path, interface, method, args, invocation):
    global locked_hint
    print(method, *args.unpack(), f"at={time.time() * 1000:.0f}", flush=True)
    if method == "GetSession":
        if args[0] not in ("auto", SESSION_ID):
            return invocation.return_dbus_error("org.freedesktop.login1.NoSuchSession",
                                                f"No session '{args[0]}' known")
        return invocation.return_value(GLib.Variant("(o)", (SESSION,)))
    if method == "Inhibit":  # as logind: the write end of a pipe, which the locker holds
        read_end, write_end = os.pipe()
        os.close(read_end)
        return invocation.return_value_with_unix_fd_list(
            GLib.Variant("(h)", (0,)), Gio.UnixFDList.new_from_array([write_end]))
    if interface == "org.freedesktop.ScreenSaver":
        return invocation.return_value(GLib.Variant("(b)", (False,)) if method == "GetActive"
                                       else None)
    if method == "Lock":
        bus.emit_signal(None, SESSION, SESSION_IF, "Lock", None)
    elif method == "SetLockedHint":
        locked_hint = args[0]
        changed = {"LockedHint": GLib.Variant("b", locked_hint)}
        bus.emit_signal(None, SESSION, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                        GLib.Variant("(sa{sv}as)", (SESSION_IF, changed, [])))
    invocation.return_value(None)


def get(connection, sender, path, interface, name):
    return {"BlockInhibited": GLib.Variant("s", ""), "Active": GLib.Variant("b", True),
            "LockedHint": GLib.Variant("b", locked_hint),
            "Version": GLib.Variant("s", "43.0")}[name]


SAVER = sys.argv[1:] == ["--broken-screen-saver"]
bus = Gio.bus_get_sync(Gio.BusType.SESSION if SAVER else Gio.BusType.SYSTEM)
for path, interface in ((("/ScreenSaver", "org.freedesktop.ScreenSaver"),) if SAVER else (
        ("/org/freedesktop/login1", MANAGER_IF), (SESSION, SESSION_IF),
        ("/org/freedesktop/login1/session/auto", SESSION_IF),
        ("/org/gnome/DisplayManager/Manager", GDM_IF))):
    bus.register_object(path, INTERFACES[interface], call, get, None)
for name in ["org.freedesktop.ScreenSaver"] if SAVER else ["org.freedesktop.login1",
                                                          "org.gnome.DisplayManager"]:
    reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "RequestName", GLib.Variant("(su)", (name, 4)), None,
                          Gio.DBusCallFlags.NONE, -1, None)
    if reply.unpack()[0] != 1:  # 4: do not queue; 1: now the owner
        sys.exit(f"logind.py: {name} has another owner")
print(f"logind.py: owns {name}", flush=True)
GLib.MainLoop().run()
