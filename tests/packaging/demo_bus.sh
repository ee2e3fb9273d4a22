# shellcheck shell=bash
# Sourced by the packaging and example tests: a demo configuration as scripts/demo makes it (a language
# database with German as the fallback, English and Russian; a configuration database; the two hives) and
# a private session bus whose service folder holds the activation file of a registered server.
#   demo_start WORK SERVER MIVOCTL   make the demo in the folder WORK, register SERVER, start the bus
#                                    (exports DBUS_SESSION_BUS_ADDRESS and the MIVODB_* settings)
#   demo_stop                        end the bus (the server ends with it)

demo_daemon_pid=

demo_start() {
  local work=$1 server=$2 ctl=$3
  mkdir -p "$work/services"
  # The server the bus starts inherits the daemon's environment.
  export MIVODB_MACHINE_HIVE=$work/machine.hive MIVODB_USER_HIVE=$work/user.hive
  export MIVODB_DBUS_SERVICE_DIR=$work/services LC_ALL=C.UTF-8
  unset DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE

  "$ctl" db create "$work/lang.db" --language 0x0407,0x0409,0x0419 >/dev/null
  printf '%s\n' 'module,key,language,text' 'Demo,Greeting,0x0407,Guten Tag' 'Demo,Greeting,0x0409,Good day' \
    'Demo,Greeting,0x0419,Добрый день' 'Demo,Farewell,0x0407,Auf Wiedersehen' |
    "$ctl" db import "$work/lang.db" - >/dev/null
  "$ctl" db create "$work/config.db" >/dev/null
  printf '%s\n' 'module,key,language,text' 'Server,Host,99,localhost' |
    "$ctl" db import "$work/config.db" - >/dev/null
  "$ctl" reg add 'HKCU\Software\Mivotec\DataBase' /v FallBackLanguageId /t REG_DWORD /d 0x0407 /f >/dev/null
  "$ctl" reg add 'HKCU\Software\Mivotec\DataBase' /v LanguageId /t REG_DWORD /d 0x0409 /f >/dev/null
  "$ctl" reg add "HKLM\\Software\\Mivotec\\DataBase\\LanguageDataBase's" /v Main /d "$work/lang.db" /f >/dev/null
  "$ctl" reg add "HKLM\\Software\\Mivotec\\DataBase\\ConfigDataBase's" /v Main /d "$work/config.db" /f >/dev/null
  # The version record, and the activation file (naming SERVER) in the bus's service folder.
  "$server" /RegServer
  [ -f "$work/services/Mivo.DataBase.OLEServer.service" ] || {
    echo "registration wrote no activation file" >&2
    return 1
  }

  cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$work/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  dbus-daemon --config-file="$work/bus.conf" --fork --print-address=3 --print-pid=4 \
    3>"$work/bus.address" 4>"$work/bus.pid"
  demo_daemon_pid=$(cat "$work/bus.pid")
  DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus.address")
  export DBUS_SESSION_BUS_ADDRESS
}

demo_stop() {
  [ -n "$demo_daemon_pid" ] && kill "$demo_daemon_pid" 2>/dev/null
  demo_daemon_pid=
  return 0
}
