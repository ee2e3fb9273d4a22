#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

#include "tools/mivoctl/mivoctl.h"

namespace mivoctl {
namespace {
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
  const Command* command = FindCommand(first);
  if (command == nullptr) {
    Warn("unknown command '" + first + "' (see mivoctl --help)");
    return kExitUsage;
  }
  return RunCommand(*command, std::vector<std::string>(argv + 2, argv + argc));
}
