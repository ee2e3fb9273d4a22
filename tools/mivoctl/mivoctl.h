// mivoctl: the command-line tool. Each subcommand registers itself with a static MivoctlCommand object.
//
// Exit codes: 0 success, 1 a refused call (the operation failed), 2 bad usage. Every subcommand answers
// --help (and -h) with its usage on stdout and exit code 0. Errors are one line on stderr, prefixed
// "mivoctl: ".
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace mivoctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

struct Command {
  const char* name;     // "reg", "db", "call"
  const char* summary;  // one line for the tool's own --help
  // Runs the subcommand; args are the words after the subcommand's name.
  std::function<int(const std::vector<std::string>& args)> run;
};

// Registers a subcommand at static initialisation.
struct MivoctlCommand {
  explicit MivoctlCommand(Command command);
};

// Every registered subcommand by name; FindCommand gives one, or null for an unknown name. Subcommands
// register themselves from the library mivoctl_lib, which must be linked whole for them to be there.
const std::map<std::string, Command>& Commands();
const Command* FindCommand(const std::string& name);

// Prints "mivoctl: <message>" on stderr and returns `code`.
int Fail(int code, const std::string& message);

}  // namespace mivoctl
