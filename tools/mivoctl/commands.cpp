// The registry of mivoctl's subcommands, and where their errors are printed.
#include <iostream>
#include <utility>

#include "tools/mivoctl/mivoctl.h"

namespace mivoctl {
namespace {
std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> commands;
  return commands;
}
}  // namespace

ToolError::ToolError(int code, const std::string& message, std::string usage)
    : std::runtime_error(message), code_(code), usage_(std::move(usage)) {}

void Refuse(const std::string& message) { throw ToolError(kExitRefused, message); }

void BadUsage(const std::string& message, std::string usage) {
  throw ToolError(kExitUsage, message, std::move(usage));
}

MivoctlCommand::MivoctlCommand(Command command) {
  const std::string name = command.name;
  Registry().emplace(name, std::move(command));
}

const std::map<std::string, Command>& Commands() { return Registry(); }

const Command* FindCommand(const std::string& name) {
  const auto it = Registry().find(name);
  return it == Registry().end() ? nullptr : &it->second;
}

int RunCommand(const Command& command, const std::vector<std::string>& args) {
  try {
    return command.run(args);
  } catch (const ToolError& e) {
    Warn(e.what());
    std::cerr << e.usage();
    return e.code();
  } catch (const std::exception& e) {
    Warn(e.what());
    return kExitRefused;
  }
}

void Warn(const std::string& message) { std::cerr << "mivoctl: " << message << "\n"; }

}  // namespace mivoctl
