// mivoctl: the command-line tool. Each subcommand registers itself with a static MivoctlCommand object.
//
// Exit codes: 0 success, 1 a refused call (the operation failed), 2 bad usage. Every subcommand answers
// --help (and -h) with its usage on stdout and exit code 0. Errors are one line on stderr, prefixed
// "mivoctl: ". A subcommand reports an error by throwing (Refuse, BadUsage); RunCommand prints it.
#pragma once

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace mivoctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

// An error of a subcommand: what() is its line (without "mivoctl: "), code() the exit code it ends the tool
// with, usage() a text printed on stderr after the line (empty when there is none).
class ToolError : public std::runtime_error {
 public:
  ToolError(int code, const std::string& message, std::string usage = {});
  int code() const { return code_; }
  const std::string& usage() const { return usage_; }

 private:
  int code_;
  std::string usage_;
};

// Throws ToolError with kExitRefused: the operation failed.
[[noreturn]] void Refuse(const std::string& message);
// Throws ToolError with kExitUsage: the arguments are wrong; `usage`, if any, follows the message.
[[noreturn]] void BadUsage(const std::string& message, std::string usage = {});

struct Command {
  const char* name;     // "reg", "db", "call"
  const char* summary;  // one line for the tool's own --help
  // Runs the subcommand; args are the words after the subcommand's name. Returns the exit code; an error
  // is thrown (ToolError, or any other std::exception for a refused call) for RunCommand to print.
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

// Runs `command` and returns its exit code. An error it throws is printed ("mivoctl: <what()>", then the
// ToolError's usage) and ends it with the ToolError's code, or kExitRefused for another std::exception.
int RunCommand(const Command& command, const std::vector<std::string>& args);

// Prints "mivoctl: <message>" on stderr.
void Warn(const std::string& message);

}  // namespace mivoctl
