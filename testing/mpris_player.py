#!/usr/bin/python3
# A scripted media player for tests (testing/ScriptedMediaPlayer runs it). It owns
# org.mpris.MediaPlayer2.<name> on the bus given by DBUS_SESSION_BUS_ADDRESS and takes one JSON command
# per line on stdin:
#   {"status": "Playing", "metadata": {"xesam:title": ["s", "Song"], "xesam:artist": ["as", ["A", "B"]]}}
# sets PlaybackStatus and Metadata (each value as [signature, value]) and emits PropertiesChanged;
#   {"hang": true} stops answering the bus (the main loop blocks on stdin);
#   {"refuse": true} answers PlayPause, Next and Previous with an error from then on ({"refuse": false}
#   obeys them again);
#   {"quit": true} leaves the bus.
# It prints "ready" once it owns its name, and "ok" after each command. The bus methods PlayPause
# (Playing becomes Paused, anything else Playing), Next and Previous are obeyed; the last one called is
# kept in the extra property LastCommand.
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PLAYER = "org.mpris.MediaPlayer2.Player"
PROPERTIES = "org.freedesktop.DBus.Properties"


def typed(signature, value):
    if signature == "s":
        return dbus.String(value)
    if signature == "as":
        return dbus.Array([dbus.String(v) for v in value], signature="s")
    if signature == "o":
        return dbus.ObjectPath(value)
    if signature == "i":
        return dbus.Int32(value)
    if signature == "x":
        return dbus.Int64(value)
    if signature == "ay":
        return dbus.ByteArray(bytes(value))
    raise ValueError(signature)


class Player(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/mpris/MediaPlayer2")
        self.status = "Stopped"
        self.metadata = dbus.Dictionary({}, signature="sv")
        self.last_command = ""
        self.refusing = False

    def properties(self):
        return {"PlaybackStatus": dbus.String(self.status), "Metadata": self.metadata,
                "LastCommand": dbus.String(self.last_command)}

    def refuse_if_asked(self):
        if self.refusing:
            raise dbus.exceptions.DBusException("refused", name="org.mpris.MediaPlayer2.Error.Refused")

    def obey(self, command):
        self.refuse_if_asked()
        self.last_command = command
        self.PropertiesChanged(PLAYER, dbus.Dictionary(self.properties(), signature="sv"),
                               dbus.Array([], signature="s"))

    @dbus.service.method(PLAYER, in_signature="", out_signature="")
    def PlayPause(self):
        self.refuse_if_asked()
        self.status = "Paused" if self.status == "Playing" else "Playing"
        self.obey("PlayPause")

    @dbus.service.method(PLAYER, in_signature="", out_signature="")
    def Next(self):
        self.obey("Next")

    @dbus.service.method(PLAYER, in_signature="", out_signature="")
    def Previous(self):
        self.obey("Previous")

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.properties()[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != PLAYER:
            return dbus.Dictionary({}, signature="sv")
        return dbus.Dictionary(self.properties(), signature="sv")

    @dbus.service.signal(PROPERTIES, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass


def main():
    name = sys.argv[1] if len(sys.argv) > 1 else "test"
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    player = Player(bus)
    owned = dbus.service.BusName("org.mpris.MediaPlayer2." + name, bus)
    loop = GLib.MainLoop()

    def command(source, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        order = json.loads(line)
        if order.get("quit"):
            loop.quit()
            return False
        if order.get("hang"):
            print("ok", flush=True)
            sys.stdin.readline()
            return True
        if "refuse" in order:
            player.refusing = bool(order["refuse"])
        if "status" in order:
            player.status = order["status"]
        if "metadata" in order:
            player.metadata = dbus.Dictionary(
                {k: typed(v[0], v[1]) for k, v in order["metadata"].items()}, signature="sv")
        player.PropertiesChanged(PLAYER, dbus.Dictionary(player.properties(), signature="sv"),
                                 dbus.Array([], signature="s"))
        print("ok", flush=True)
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
    print("ready", flush=True)
    loop.run()
    del owned


main()
