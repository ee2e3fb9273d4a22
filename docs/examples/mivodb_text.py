#!/usr/bin/env python3
"""A client of the MivoDB server over plain D-Bus (Debian's python3-dbus), without libmivodb: an object of
its own from the class factory, a text, a text that is missing, a batch, and a configuration value.

    python3 mivodb_text.py
"""
import dbus

NAME = "Mivo.DataBase.OLEServer"
CLASS_OBJECT = "/Mivo/DataBase/OLEServer"

bus = dbus.SessionBus()  # $DBUS_SESSION_BUS_ADDRESS; the bus starts the server when it is not running
factory = dbus.Interface(bus.get_object(NAME, CLASS_OBJECT), "Mivo.DataBase.ClassFactory")
path = factory.CreateInstance()  # /Mivo/DataBase/OLEServer/<n>, dropped when this client leaves the bus
instance = bus.get_object(NAME, path)
methods = dbus.Interface(instance, NAME)
batch = dbus.Interface(instance, "Mivo.DataBase.Batch")

print(methods.GetLanguageString("Demo", "Greeting"))
found, text = methods.GetLanguageString2("", "Demo", "Missing")  # the out parameter is a second result
print(f"found={bool(found)} text={text}")
for found, text in batch.GetLanguageStrings([("Demo", "Greeting"), ("Demo", "Farewell")]):
    print(f"{bool(found)}\t{text}")
print(methods.GetConfigString("Server", "Host"))

dbus.Interface(instance, "Mivo.DataBase.Dispatch").Release()
