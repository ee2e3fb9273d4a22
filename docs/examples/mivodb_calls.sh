#!/bin/sh
# Calls of the MivoDB server with stock D-Bus tools: gdbus (Debian package libglib2.0-bin) and busctl
# (systemd), on the session bus ($DBUS_SESSION_BUS_ADDRESS). The class object answers the methods itself,
# so one line is one call; the bus starts the server when it is not running.
set -e
name=Mivo.DataBase.OLEServer
path=/Mivo/DataBase/OLEServer

# A text: prints ('Good day',)
gdbus call --session --dest "$name" --object-path "$path" --method "$name.GetLanguageString" Demo Greeting

# The same text and whether it was found, an out parameter: prints (true, 'Good day')
gdbus call --session --dest "$name" --object-path "$path" --method "$name.GetLanguageString2" '' Demo Greeting

# A configuration value: prints s "localhost"
busctl --user call "$name" "$path" "$name" GetConfigString ss Server Host

# Two texts in one call: prints a(bs) 2 true "Good day" true "Auf Wiedersehen"
busctl --user call "$name" "$path" Mivo.DataBase.Batch GetLanguageStrings 'a(ss)' 2 Demo Greeting Demo Farewell

# The character set of the current language (English: 0, ANSI_CHARSET): prints n 0
busctl --user call "$name" "$path" "$name" GetCurCharsetCode
