// Where the automation runtime finds its bus and its activation folder: every environment look-up of
// platform/ole happens here, so a test or another platform changes them in one place.
#pragma once

#include <string>

namespace mivo::ole {

// The address of the bus that started this process by activation (DBUS_STARTER_ADDRESS), or "" when the
// process was not started by a bus.
std::string StarterBusAddress();
// The address of the user's session bus: DBUS_SESSION_BUS_ADDRESS, else "unix:path=$XDG_RUNTIME_DIR/bus";
// "" when neither is set.
std::string SessionBusAddress();
// The folder of the bus's activation files (UTF-8): $MIVODB_DBUS_SERVICE_DIR, else
// ${XDG_DATA_HOME:-$HOME/.local/share}/dbus-1/services (an XDG_DATA_HOME that is not absolute is ignored;
// without HOME the password database's home folder); "" when no home folder is known.
std::string ActivationDirectory();

}  // namespace mivo::ole
