// What sharing one PostgreSQL database among hosts costs, in one run against a private PostgreSQL server
// (support/PgCluster.h) and real servers, each on its own private bus with its own hives:
//   cross-host  host A's client returns from SetConfigString; until host B's cached client reads the new
//               value (the notification, B's reload and ConfigChanged, the cache's signal thread); beside
//               it, how long host A's SetConfigString itself takes (no goal)
//   load        the current-language store loading 1,000,000 texts of one language from PostgreSQL, beside
//               the same rows in an SQLite file
//   fan-out     a write on host 1; until the cached clients of all hosts read the new value
//
//   bench_shared [--rounds N] [--fanout-rounds N] [--hosts N] [--items N] [--texts N] [--server PATH]
//     --rounds N         cross-host rounds (default 200)
//     --fanout-rounds N  fan-out rounds (default 50)
//     --hosts N          hosts of the fan-out, 2 or more (default 16)
//     --items N          items of the shared configuration database, at least 501 (default 1000)
//     --texts N          texts of the load, 0 to leave it out (default 1000000)
//     --server PATH      the server executable (default: app/mivodb of this build)
// The exit code is 1 when something failed (a value that did not arrive within 2 s, a load that did not
// give every text), 0 otherwise; a goal not met is only printed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/MivoDBApp.h"
#include "bench/bench_data.h"
#include "bench/bus_harness.h"
#include "include/mivodb.hpp"
#include "support/PgCluster.h"

namespace {

using Clock = std::chrono::steady_clock;
using mivo::test::PgCluster;
using mivobench::Die;
using mivobench::Percentile;

constexpr const char* kServer = "Mivo.DataBase.OLEServer";
constexpr const char16_t* kConfigList = u"Software\\Mivotec\\DataBase\\ConfigDataBase's";
constexpr const char16_t* kLanguageList = u"Software\\Mivotec\\DataBase\\LanguageDataBase's";
constexpr int kLanguage = 0x0409;
constexpr int kConfigLanguage = 99;
constexpr int kConfigModules = 100;
constexpr int kTextModules = 1000;
constexpr auto kArrivalLimit = std::chrono::seconds(2);

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Options {
  int rounds = 200, fanoutRounds = 50, hosts = 16, items = 1000, texts = 1000000;
  std::string server;
};

// Creates a PostgreSQL database in the standard layout with `rows` items of `language` (the rows of
// MakeDb), with the planner's statistics, and gives its name. Dies when it does not hold them all afterwards.
std::string MakePgDb(PgCluster& pg, const std::string& prefix, int rows, int modules, int language) {
  const std::string name = pg.CreateDatabase(prefix);
  mivo::dao::CreateStandardDatabase(pg.Uri(name), {language});
  pg.Psql(name, mivobench::PgFillSql(rows, modules, language));
  pg.Psql(name, "VACUUM ANALYZE");  // the planner's statistics, as autovacuum gives them soon after a fill
  if (pg.Psql(name, "SELECT count(*) FROM \"Messages\"") != std::to_string(rows))
    Die("cannot fill the PostgreSQL database " + name);
  return name;
}

// The hosts of the run, each a server of its own on a private bus whose hives list only the shared
// configuration database. They end in the reverse order of their start, so that each gives the hive
// variables of this process back as it found them.
class Hosts {
 public:
  Hosts(std::string server, std::string configUri) : server_(std::move(server)), uri_(std::move(configUri)) {}
  ~Hosts() {
    while (!runs_.empty()) runs_.pop_back();
  }
  // Starts hosts until there are `count`; dies when one does not start.
  void Grow(int count) {
    while (static_cast<int>(runs_.size()) < count) {
      auto run = std::make_unique<mivobench::BusRun>();
      mivobench::SetRegString(HKEY_LOCAL_MACHINE, kConfigList, u"Shared", AfxFromUtf8(uri_));
      mivobench::SetRegDword(HKEY_CURRENT_USER, u"Software\\Mivotec\\DataBase", u"LanguageId", kLanguage);
      run->RegisterServer(server_);
      run->StartBus();
      run->StartServer(kServer);
      runs_.push_back(std::move(run));
    }
  }
  const std::string& address(int i) const { return runs_[static_cast<std::size_t>(i)]->address(); }

 private:
  std::string server_, uri_;
  std::vector<std::unique_ptr<mivobench::BusRun>> runs_;
};

// Polls the cached reads of `readers` until each gives `value`; the milliseconds from `from` until the
// last one did, or -1 when one still gave another value after kArrivalLimit.
double AwaitEverywhere(std::vector<mivodb::Client>& readers, const std::string& module,
                       const std::string& key, const std::string& value, Clock::time_point from) {
  std::vector<bool> arrived(readers.size(), false);
  std::size_t missing = readers.size();
  Clock::time_point last = from;
  while (missing > 0) {
    for (std::size_t i = 0; i < readers.size(); ++i) {
      if (!arrived[i] && readers[i].GetConfig(module, key).text == value) {
        arrived[i] = true;
        --missing;
        last = Clock::now();
      }
    }
    if (missing == 0) break;
    if (Clock::now() - from > kArrivalLimit) return -1;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return Millis(last - from);
}

// Per round: `writer` sets the item to a new value; the milliseconds until every reader holds it, and in
// `writes` those of the SetConfigString calls. A round whose value did not arrive is counted in `lost` and
// left out. Before the rounds, a write that is not measured makes sure that every server follows the
// database.
std::vector<double> Propagation(mivodb::Client& writer, std::vector<mivodb::Client>& readers, int rounds,
                                const std::string& tag, int& lost, std::vector<double>& writes) {
  const std::string module = mivobench::kModulePrefix + std::to_string(500 % kConfigModules);
  const std::string key = mivobench::kKeyPrefix + std::string("500");
  for (auto& r : readers) r.GetConfig(module, key);  // cached from now on
  if (!writer.SetConfig(module, key, tag + "warm") ||
      AwaitEverywhere(readers, module, key, tag + "warm", Clock::now()) < 0) {
    Die("the first write of " + tag + " did not reach every host");
  }
  std::vector<double> times;
  for (int r = 0; r < rounds; ++r) {
    const std::string value = tag + std::to_string(r);
    const auto start = Clock::now();
    if (!writer.SetConfig(module, key, value)) Die("SetConfigString failed");
    writes.push_back(Millis(Clock::now() - start));
    const double ms = AwaitEverywhere(readers, module, key, value, Clock::now());
    if (ms < 0) {
      ++lost;
    } else {
      times.push_back(ms);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (times.empty()) Die("no write of " + tag + " reached every host");
  return times;
}

// The best of three start-up loads of kLanguage by the current-language store from `database` listed
// alone, in seconds. Dies when a load fails or does not give `texts` texts.
double BestLoad(const std::string& database, int texts) {
  mivo::test::HiveSandbox hives;
  mivobench::SetRegString(HKEY_LOCAL_MACHINE, kLanguageList, u"0", AfxFromUtf8(database));
  CMivoDBApp app;
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    app.m_pLanguageStrings = std::make_unique<CStringMap>(kLanguageStore);
    const auto start = Clock::now();
    const BOOL loaded = app.m_pLanguageStrings->LoadLanguage(kLanguage, TRUE);
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    const std::size_t held = mivobench::Tally(*app.m_pLanguageStrings, kTextModules).texts;
    if (!loaded || held != static_cast<std::size_t>(texts))
      Die("the load from " + database + " gave " + std::to_string(held) + " texts");
  }
  return best;
}

struct Row {
  std::string figure, value, goal;
  bool met;
};

std::string Format(const char* format, double a, double b = 0, double c = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

constexpr char kUsage[] =
    "usage: bench_shared [--rounds N] [--fanout-rounds N] [--hosts N] [--items N] [--texts N] "
    "[--server PATH]\n";

// Reads the options into `o`; false, after printing the usage, on --help or an unknown option.
bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool value = i + 1 < argc;
    if (a == "--rounds" && value) {
      o.rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--fanout-rounds" && value) {
      o.fanoutRounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--hosts" && value) {
      o.hosts = std::max(2, std::atoi(argv[++i]));
    } else if (a == "--items" && value) {
      o.items = std::max(501, std::atoi(argv[++i]));
    } else if (a == "--texts" && value) {
      o.texts = std::max(0, std::atoi(argv[++i]));
    } else if (a == "--server" && value) {
      o.server = argv[++i];
    } else {
      std::fputs(kUsage, a == "--help" ? stdout : stderr);
      return false;
    }
  }
  return true;
}

int Run(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) return argc == 2 && std::string(argv[1]) == "--help" ? 0 : 2;
  const std::string server = mivobench::FindServer(o.server);
  PgCluster& pg = PgCluster::Shared();
  const std::string config = MakePgDb(pg, "config", o.items, kConfigModules, kConfigLanguage);
  std::vector<Row> rows;
  int lost = 0;
  {
    Hosts hosts(server, pg.Uri(config));
    hosts.Grow(2);
    mivodb::Client writer(hosts.address(0).c_str());
    std::vector<mivodb::Client> onB;
    onB.emplace_back(hosts.address(1).c_str());
    std::vector<double> writes;
    const std::vector<double> cross = Propagation(writer, onB, o.rounds, "x", lost, writes);
    rows.push_back({"SetConfigString p50 / p99",
                    Format("%.2f / %.2f ms", Percentile(writes, 0.5), Percentile(writes, 0.99)), "-", true});
    rows.push_back({"cross-host p50 / p99 / max",
                    Format("%.2f / %.2f / %.2f ms", Percentile(cross, 0.5), Percentile(cross, 0.99),
                           Percentile(cross, 1.0)),
                    "p99 <= 20 ms", Percentile(cross, 0.99) <= 20});

    hosts.Grow(o.hosts);
    std::vector<mivodb::Client> readers;
    for (int i = 0; i < o.hosts; ++i) readers.emplace_back(hosts.address(i).c_str());
    std::vector<double> fanWrites;
    const std::vector<double> fan = Propagation(writer, readers, o.fanoutRounds, "f", lost, fanWrites);
    rows.push_back({"fan-out to " + std::to_string(o.hosts) + " hosts p50 / p99",
                    Format("%.2f / %.2f ms", Percentile(fan, 0.5), Percentile(fan, 0.99)), "p99 <= 20 ms",
                    Percentile(fan, 0.99) <= 20});
  }
  if (o.texts > 0) {
    const mivo::test::TempDir files;
    const std::string file = files.File("texts.db");
    mivobench::MakeDb(file, o.texts, kTextModules, kLanguage);
    const std::string texts = MakePgDb(pg, "texts", o.texts, kTextModules, kLanguage);
    const double sqlite = BestLoad(file, o.texts), postgres = BestLoad(pg.Uri(texts), o.texts);
    rows.push_back({"load " + std::to_string(o.texts) + " texts: SQLite / PostgreSQL",
                    Format("%.3f s / %.3f s = x%.2f", sqlite, postgres, postgres / sqlite), "x <= 2",
                    postgres <= 2 * sqlite});
  }

  std::printf(
      "Shared PostgreSQL databases (%d configuration items; %d cross-host rounds, %d fan-out rounds)\n\n",
      o.items, o.rounds, o.fanoutRounds);
  std::printf("%-42s %-30s %-14s %s\n", "figure", "value", "goal", "");
  for (const Row& r : rows) {
    std::printf("%-42s %-30s %-14s %s\n", r.figure.c_str(), r.value.c_str(), r.goal.c_str(),
                r.goal == "-" ? ""
                : r.met       ? "met"
                              : "not met");
  }
  if (lost > 0) std::printf("\n%d writes did not reach every host within 2 s\n", lost);
  return lost > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_shared: %s\n", e.what());
    return 1;
  }
}
