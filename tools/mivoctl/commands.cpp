// The registry of mivoctl's subcommands and its one error printer.
#include <iostream>

#include "tools/mivoctl/mivoctl.h"

namespace mivoctl {
namespace {
std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> commands;
  return commands;
}
}  // namespace

MivoctlCommand::MivoctlCommand(Command command) {
  const std::string name = command.name;
  Registry().emplace(name, std::move(command));
}

const std::map<std::string, Command>& Commands() { return Registry(); }

const Command* FindCommand(const std::string& name) {
  const auto it = Registry().find(name);
  return it == Registry().end() ? nullptr : &it->second;
}

int Fail(int code, const std::string& message) {
  std::cerr << "mivoctl: " << message << "\n";
  return code;
}

}  // namespace mivoctl
