#include "platform/ole/environment.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace mivo::ole {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::string StarterBusAddress() { return Env("DBUS_STARTER_ADDRESS"); }

std::string SessionBusAddress() {
  std::string address = Env("DBUS_SESSION_BUS_ADDRESS");
  if (!address.empty()) return address;
  const std::string runtime = Env("XDG_RUNTIME_DIR");
  return runtime.empty() ? std::string() : "unix:path=" + runtime + "/bus";
}

std::string ActivationDirectory() {
  std::string dir = Env("MIVODB_DBUS_SERVICE_DIR");
  if (!dir.empty()) return dir;
  std::string data = Env("XDG_DATA_HOME");
  if (data.empty() || data[0] != '/') {
    std::string home = Env("HOME");
    if (home.empty()) {
      if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) home = pw->pw_dir;
    }
    if (home.empty()) return {};
    data = home + "/.local/share";
  }
  return data + "/dbus-1/services";
}

}  // namespace mivo::ole
