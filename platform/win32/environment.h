// Where the win32 layer finds its files and the user's locale: every environment look-up of
// platform/win32 happens here, so a test or another platform changes them in one place.
#pragma once

#include <string>

namespace mivo::win32 {

// The machine hive (HKEY_LOCAL_MACHINE): $MIVODB_MACHINE_HIVE, else /etc/mivodb/machine.hive.
std::string MachineHivePath();
// The user hive (HKEY_CURRENT_USER): $MIVODB_USER_HIVE, else
// ${XDG_CONFIG_HOME:-$HOME/.config}/mivodb/user.hive (an XDG_CONFIG_HOME that is not absolute is ignored;
// without HOME the password database's home folder).
std::string UserHivePath();
// The POSIX locale name that decides the user's language: the first of LC_ALL, LC_MESSAGES and LANG that
// is set and not empty; "" when none is.
std::string PosixLocaleName();

}  // namespace mivo::win32
