// mivoctl batch, explain and watch: the server's batch look-ups and change signals through libmivodb.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "include/mivodb.hpp"
#include "tools/mivoctl/mivoctl.h"

namespace mivoctl {
namespace {

constexpr const char* kBatchUsage =
    "Usage: mivoctl batch [--config] [FILE]\n"
    "Looks up many texts of the MivoDB server on the session bus in one call: reads lines\n"
    "'MODULE<TAB>KEY' from FILE (or stdin when FILE is absent or '-') and prints one line\n"
    "'FOUND<TAB>TEXT' per item in the same order, FOUND being true or false; a text not found is the\n"
    "key itself, as GetLanguageString2 gives it. Empty lines are skipped.\n"
    "\n"
    "Options:\n"
    "  --config    look up configuration strings instead (as GetConfigString2: '' when not found)\n"
    "  -h, --help  this text\n"
    "\n"
    "Exit codes: 0 answered; 1 the server or the bus refused; 2 bad usage or a line without a tab.\n";

constexpr const char* kExplainUsage =
    "Usage: mivoctl explain MODULE KEY\n"
    "Prints where the MivoDB server takes the text of MODULE and KEY from, tab-separated: the text (as\n"
    "GetLanguageString gives it), the source (current, fallback or none) and the language id of the\n"
    "store that answered (decimal; 0 for none).\n"
    "\n"
    "Exit codes: 0 answered; 1 the server or the bus refused; 2 bad usage.\n";

constexpr const char* kWatchUsage =
    "Usage: mivoctl watch [--count N]\n"
    "Prints the change signals of the MivoDB server as they arrive, one line each: the signal's name,\n"
    "then its arguments, tab-separated:\n"
    "  LanguageChanged<TAB>LANGUAGE\n"
    "  ConfigChanged<TAB>MODULE<TAB>KEY<TAB>VALUE\n"
    "  Reloaded<TAB>language|config\n"
    "Once it listens it says so on stderr. It ends on SIGINT or SIGTERM, or after N signals.\n"
    "\n"
    "Options:\n"
    "  --count N   end after N signals\n"
    "  -h, --help  this text\n"
    "\n"
    "Exit codes: 0 ended by a signal or the count; 1 the bus refused; 2 bad usage.\n";

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

[[noreturn]] void RefuseCall(const mivodb::Error& e) {
  Refuse(e.name().empty() ? e.what() : e.name() + ": " + e.what());
}

int RunBatch(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::cout << kBatchUsage;
    return kExitOk;
  }
  bool config = false;
  std::string file;
  for (const std::string& a : args) {
    if (a == "--config") {
      config = true;
    } else if (a.size() > 1 && a[0] == '-') {
      BadUsage("batch: unknown option " + a, kBatchUsage);
    } else if (!file.empty()) {
      BadUsage("batch: one FILE at most", kBatchUsage);
    } else {
      file = a;
    }
  }
  std::ifstream in;
  if (!file.empty() && file != "-") {
    in.open(file);
    if (!in) Refuse("batch: cannot read " + file);
  }
  std::istream& input = in.is_open() ? in : std::cin;
  mivodb::Items items;
  std::string line;
  for (std::size_t number = 1; std::getline(input, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) BadUsage("batch: line " + std::to_string(number) + " has no tab");
    items.emplace_back(line.substr(0, tab), line.substr(tab + 1));
  }
  try {
    mivodb::Client db(nullptr, MIVODB_OPEN_NO_CACHE);
    const std::vector<mivodb::Text> answers = config ? db.GetConfigs(items) : db.GetTexts(items);
    std::string out;
    for (const mivodb::Text& a : answers)
      out.append(a.found ? "true\t" : "false\t").append(a.text).push_back('\n');
    std::cout << out << std::flush;
    return kExitOk;
  } catch (const mivodb::Error& e) {
    RefuseCall(e);
  }
}

int RunExplain(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::cout << kExplainUsage;
    return kExitOk;
  }
  if (args.size() != 2) BadUsage("explain: MODULE and KEY expected", kExplainUsage);
  try {
    mivodb::Client db(nullptr, MIVODB_OPEN_NO_CACHE);
    const mivodb::Explanation e = db.Explain(args[0], args[1]);
    std::cout << e.text << '\t' << e.source << '\t' << e.language << std::endl;
    return kExitOk;
  } catch (const mivodb::Error& e) {
    RefuseCall(e);
  }
}

int RunWatch(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::cout << kWatchUsage;
    return kExitOk;
  }
  long count = -1;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--count" && i + 1 < args.size()) {
      const std::string& v = args[++i];
      const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), count);
      if (ec != std::errc() || ptr != v.data() + v.size() || count < 1)
        BadUsage("watch: --count takes a positive number", kWatchUsage);
    } else {
      BadUsage("watch: unknown argument " + args[i], kWatchUsage);
    }
  }
  // The ends arrive through sigtimedwait; blocked before the library's thread starts, so it inherits the
  // mask and never takes them.
  sigset_t ends;
  sigemptyset(&ends);
  sigaddset(&ends, SIGINT);
  sigaddset(&ends, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ends, nullptr);
  std::atomic<long> printed{0};
  std::mutex out;
  try {
    mivodb::Client db(nullptr, MIVODB_OPEN_NO_CACHE);
    db.OnChange([&](const mivodb_change& c) {
      std::lock_guard<std::mutex> lock(out);
      if (count > 0 && printed >= count) return;
      switch (c.kind) {
        case MIVODB_LANGUAGE_CHANGED:
          std::cout << "LanguageChanged\t" << c.language << '\n';
          break;
        case MIVODB_CONFIG_CHANGED:
          std::cout << "ConfigChanged\t" << c.module << '\t' << c.key << '\t' << c.value << '\n';
          break;
        case MIVODB_RELOADED:
          std::cout << "Reloaded\t" << c.store << '\n';
          break;
      }
      std::cout.flush();
      ++printed;
    });
    std::cerr << "mivoctl: watching the change signals of Mivo.DataBase.OLEServer" << std::endl;
    for (;;) {
      const timespec tick{0, 50 * 1000 * 1000};
      if (sigtimedwait(&ends, nullptr, &tick) > 0) break;
      if (count > 0 && printed >= count) break;
    }
    return kExitOk;
  } catch (const mivodb::Error& e) {
    RefuseCall(e);
  }
}

const MivoctlCommand kBatch({"batch", "look up many texts (or configuration strings) in one call", RunBatch});
const MivoctlCommand kExplain({"explain", "tell which store a text comes from", RunExplain});
const MivoctlCommand kWatch({"watch", "print the server's change signals as they arrive", RunWatch});

}  // namespace
}  // namespace mivoctl
