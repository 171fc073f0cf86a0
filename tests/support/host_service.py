# Stands in for a D-Bus-activatable host: takes the host's name on the bus that started it, and
# records each call of org.freedesktop.Application with its platform data, one line a call.
import os
import sys
import time
from gi.repository import Gio, GLib

record = sys.argv[1]
# A host that is slow to start: it takes its name only after the seconds this file holds.
delay_file = sys.argv[2] if len(sys.argv) > 2 else None
if delay_file and os.path.exists(delay_file):
    with open(delay_file) as seconds:
        time.sleep(float(seconds.read()))
interface = Gio.DBusNodeInfo.new_for_xml("""
<node><interface name="org.freedesktop.Application">
  <method name="Activate"><arg type="a{sv}" direction="in"/></method>
  <method name="Open"><arg type="as" direction="in"/><arg type="a{sv}" direction="in"/></method>
  <method name="ActivateAction">
    <arg type="s" direction="in"/><arg type="av" direction="in"/><arg type="a{sv}" direction="in"/>
  </method>
</interface></node>""").interfaces[0]
loop = GLib.MainLoop()


def called(connection, sender, path, name, method, parameters, invocation):
    with open(record, "a") as out:
        out.write(method + " " + str(parameters.unpack()) + "\n")
    invocation.return_value(None)
    GLib.timeout_add(100, loop.quit)


def on_bus(connection, name):
    connection.register_object("/com/ruvizuve/Ruvizuve", interface, called, None, None)


Gio.bus_own_name(Gio.BusType.STARTER, "com.ruvizuve.Ruvizuve", Gio.BusNameOwnerFlags.NONE,
                 on_bus, None, None)
GLib.timeout_add_seconds(20, loop.quit)
loop.run()
