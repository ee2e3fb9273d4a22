#include "platform/win32/environment.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace mivo::win32 {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string EnvOr(const char* name, std::string fallback) {
  std::string value = Env(name);
  return value.empty() ? fallback : value;
}

}  // namespace

std::string MachineHivePath() { return EnvOr("MIVODB_MACHINE_HIVE", "/etc/mivodb/machine.hive"); }

std::string UserHivePath() {
  std::string path = Env("MIVODB_USER_HIVE");
  if (!path.empty()) return path;
  std::string base = Env("XDG_CONFIG_HOME");
  if (base.empty() || base[0] != '/') {
    base = Env("HOME");
    if (base.empty()) {
      if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) base = pw->pw_dir;
    }
    base += "/.config";
  }
  return base + "/mivodb/user.hive";
}

std::string PosixLocaleName() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::string value = Env(name);
    if (!value.empty()) return value;
  }
  return {};
}

}  // namespace mivo::win32
