#!/usr/bin/python3
# Stand-ins of the session services that the lock-screen code talks to, for tests (testing/SessionServices
# runs it). Arguments: the bus address, then the services to own on it:
#   logind              org.freedesktop.login1 with one session, "7", active, LockedHint false
#   logind-silent       owns org.freedesktop.login1 and never answers
#   screensaver         org.freedesktop.ScreenSaver, GetActive false
#   screensaver-silent  owns org.freedesktop.ScreenSaver and never answers
# It prints "ready" once it owns every name, then one line per call a test checks ("Lock 7",
# "ScreenSaver.Lock"). test.SessionServices /control Set(name, value) changes "LockedHint" (announced with
# PropertiesChanged), "Active" or "ScreenSaverActive".
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
services = sys.argv[2:]
state = {"LockedHint": False, "Active": True, "ScreenSaverActive": False}
SESSION_PATH = "/org/freedesktop/login1/session/_37"
MANAGER = "org.freedesktop.login1.Manager"
SESSION = "org.freedesktop.login1.Session"
PROPERTIES = "org.freedesktop.DBus.Properties"


def say(line):
    print(line, flush=True)


class Manager(dbus.service.Object):
    @dbus.service.method(MANAGER, in_signature="s", out_signature="o")
    def GetSession(self, session_id):
        if session_id != "7":
            raise dbus.exceptions.DBusException("No such session", name="org.freedesktop.login1.NoSuchSession")
        return dbus.ObjectPath(SESSION_PATH)

    @dbus.service.method(MANAGER, in_signature="u", out_signature="o")
    def GetSessionByPID(self, pid):
        return dbus.ObjectPath(SESSION_PATH)


class Session(dbus.service.Object):
    def properties(self):
        return {"Id": dbus.String("7"), "Active": dbus.Boolean(state["Active"]),
                "LockedHint": dbus.Boolean(state["LockedHint"])}

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.properties()[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.properties()

    @dbus.service.signal(PROPERTIES, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(SESSION)
    def Lock(self):
        say("Lock 7")


class ScreenSaver(dbus.service.Object):
    @dbus.service.method("org.freedesktop.ScreenSaver", out_signature="b")
    def GetActive(self):
        return state["ScreenSaverActive"]

    @dbus.service.method("org.freedesktop.ScreenSaver")
    def SimulateUserActivity(self):
        pass

    @dbus.service.method("org.freedesktop.ScreenSaver")
    def Lock(self):
        say("ScreenSaver.Lock")


class Silent(dbus.service.FallbackObject):
    # Every call to an object of this process without one of its own is taken and never answered.
    def _message_cb(self, connection, message):
        pass


session_object = None
silent = None
names = []
for service in services:
    if service == "logind":
        names.append(dbus.service.BusName("org.freedesktop.login1", bus))
        Manager(bus, "/org/freedesktop/login1")
        session_object = Session(bus, SESSION_PATH)
    elif service == "logind-silent":
        names.append(dbus.service.BusName("org.freedesktop.login1", bus))
        silent = silent or Silent(bus, "/")
    elif service == "screensaver":
        names.append(dbus.service.BusName("org.freedesktop.ScreenSaver", bus))
        ScreenSaver(bus, "/org/freedesktop/ScreenSaver")
    elif service == "screensaver-silent":
        names.append(dbus.service.BusName("org.freedesktop.ScreenSaver", bus))
        silent = silent or Silent(bus, "/")


class Control(dbus.service.Object):
    @dbus.service.method("test.SessionServices", in_signature="sb")
    def Set(self, name, value):
        state[str(name)] = bool(value)
        if name == "LockedHint" and session_object is not None:
            session_object.PropertiesChanged(SESSION, {"LockedHint": dbus.Boolean(bool(value))}, [])


names.append(dbus.service.BusName("test.SessionServices", bus))
Control(bus, "/control")
say("ready")
GLib.MainLoop().run()
