#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

#include "tools/mivoctl/mivoctl.h"

namespace mivoctl {
namespace {
std::map<std::string, Command>& Commands() {
  static std::map<std::string, Command> commands;
  return commands;
}

void Usage(std::ostream& out) {
  out << "Usage: mivoctl COMMAND [ARGS...]\n"
         "The command-line tool of MivoDB: settings store, databases, calls to the server.\n\n"
         "Commands:\n";
  for (const auto& [name, command] : Commands()) {
    out << "  " << name << std::string(8 - std::min<std::size_t>(name.size(), 7), ' ') << command.summary
        << "\n";
  }
  out << "\nRun 'mivoctl COMMAND --help' for the usage of a command.\n";
}
}  // namespace

MivoctlCommand::MivoctlCommand(Command command) {
  const std::string name = command.name;
  Commands().emplace(name, std::move(command));
}

int Fail(int code, const std::string& message) {
  std::cerr << "mivoctl: " << message << "\n";
  return code;
}

}  // namespace mivoctl

int main(int argc, char** argv) {
  using namespace mivoctl;
  if (argc < 2) {
    Usage(std::cerr);
    return kExitUsage;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    Usage(std::cout);
    return kExitOk;
  }
  auto it = Commands().find(first);
  if (it == Commands().end()) return Fail(kExitUsage, "unknown command '" + first + "' (see mivoctl --help)");
  std::vector<std::string> args(argv + 2, argv + argc);
  try {
    return it->second.run(args);
  } catch (const std::exception& e) {
    return Fail(kExitRefused, e.what());
  }
}
