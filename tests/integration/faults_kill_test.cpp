// A server killed (SIGKILL) while it writes configuration values: every write reaches the database whole
// or not at all, the database stays sound, and the next server the bus starts serves what the database
// holds. The moments of the kills come from a seeded generator; the seed is printed, and
// MIVODB_FAULT_SEED=<seed> repeats a run.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>
#include <thread>

#include "integration/server_fixture.h"

namespace mivo::test {
namespace {

class KilledWriter : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (HasFatalFailure()) return;
    // Two flagged languages: a new pair gets two Messages rows, of which only the language-99 row holds
    // the value; a half-written pair would show as an item with fewer rows.
    const std::string conf = Db("conf.db");
    std::remove(conf.c_str());
    MakeStandardDb(conf, {7, 99}, {{"Server", "Host", 99, "localhost"}});
  }

  // The language-99 texts of the pair in the database.
  static std::vector<std::string> Texts(const std::string& db, const std::string& module,
                                        const std::string& key) {
    return QueryColumn(
        db,
        "SELECT IFNULL(m.String, 'NULL') FROM Items i JOIN Messages m ON m.ItemId = i.ItemId WHERE i.Module "
        "= '" +
            module + "' AND m.LanguageId = 99 AND i.KeyString = ?",
        key);
  }
  // Every Messages row of the pair, as "language/text".
  static std::vector<std::string> Rows(const std::string& db, const std::string& key) {
    return QueryColumn(
        db,
        "SELECT m.LanguageId || '/' || IFNULL(m.String, 'NULL') FROM Items i JOIN Messages m ON m.ItemId = "
        "i.ItemId WHERE i.Module = 'Fault' AND i.KeyString = ? ORDER BY m.LanguageId",
        key);
  }
};

TEST_F(KilledWriter, EveryKilledWriteLeavesASoundDatabaseWithTheOldOrTheNewValue) {
  constexpr int kKills = 50;
  const unsigned seed = FaultSeed();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delay_us(0, 30000);

  const std::string conf = Db("conf.db");
  const std::string padding(200, 'x');
  std::string host = "localhost";  // what the database holds for Server/Host
  int pairs = 0;                   // new pairs the database holds
  int interrupted = 0;             // kills that cut a call short
  int journals = 0;                // kills that left a rollback journal behind

  for (int i = 0; i < kKills; ++i) {
    SCOPED_TRACE("kill " + std::to_string(i) + ", MIVODB_FAULT_SEED=" + std::to_string(seed));
    // A new server, started by this call, serves what the database held after the last kill.
    ASSERT_EQ(Utf8(client().GetConfigString(kClassObjectPath, u"Server", u"Host")), host);
    const auto pid = static_cast<pid_t>(client().NameOwnerPid(kServiceName));

    std::atomic<bool> fired{false};
    const auto delay = std::chrono::microseconds(delay_us(random));
    std::thread killer([&] {
      std::this_thread::sleep_for(delay);
      fired = true;
      ::kill(pid, SIGKILL);
    });
    // Writes alternate between an existing pair (updated) and new pairs (added), until the kill.
    std::string acked_host = host, inflight_host;
    std::vector<std::pair<std::string, std::string>> acked_pairs;
    std::optional<std::pair<std::string, std::string>> inflight_pair;
    for (int j = 0; !fired; ++j) {
      const std::string value = "v" + std::to_string(i) + "-" + std::to_string(j) + "-" + padding;
      const std::string key = "K" + std::to_string(i) + "-" + std::to_string(j);
      const bool update = j % 2 == 0;
      try {
        const bool ok = update ? client().SetConfigString(kClassObjectPath, U(value), u"Server", u"Host")
                               : client().SetConfigString(kClassObjectPath, U(value), u"Fault", U(key));
        EXPECT_TRUE(ok);
        if (update) {
          acked_host = value;
        } else {
          acked_pairs.emplace_back(key, value);
        }
      } catch (const ole::BusError&) {
        // The call the kill cut short: its write may or may not have been committed.
        ++interrupted;
        if (update) {
          inflight_host = value;
        } else {
          inflight_pair.emplace(key, value);
        }
        break;
      }
    }
    killer.join();
    ASSERT_TRUE(WaitGone(pid)) << "the killed server still runs";
    ASSERT_TRUE(PumpUntil(client(), [&] {
      return !client().NameHasOwner(kServiceName) ||
             static_cast<pid_t>(client().NameOwnerPid(kServiceName)) != pid;
    })) << "the bus still names the killed server";

    if (FileExists(conf + "-journal")) ++journals;  // a transaction cut short, rolled back below
    ASSERT_EQ(QueryColumn(conf, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    const std::vector<std::string> hosts = Texts(conf, "Server", "Host");
    ASSERT_EQ(hosts.size(), 1u) << "Server/Host has lost or doubled its item";
    if (hosts[0] != acked_host) {
      ASSERT_EQ(hosts[0], inflight_host) << "neither the last acknowledged nor the interrupted value";
    }
    host = hosts[0];
    for (const auto& [key, value] : acked_pairs) {
      ASSERT_EQ(Rows(conf, key), (std::vector<std::string>{"7/NULL", "99/" + value})) << key;
    }
    pairs += static_cast<int>(acked_pairs.size());
    if (inflight_pair) {
      const std::vector<std::string> rows = Rows(conf, inflight_pair->first);
      if (!rows.empty()) {
        ASSERT_EQ(rows, (std::vector<std::string>{"7/NULL", "99/" + inflight_pair->second}))
            << "the interrupted pair is half-written";
        ++pairs;
      }
    }
    ASSERT_EQ(QueryColumn(conf, "SELECT COUNT(*) FROM Items WHERE Module = 'Fault'"),
              std::vector<std::string>{std::to_string(pairs)});
    ASSERT_EQ(
        QueryColumn(conf, "SELECT COUNT(*) FROM Messages WHERE ItemId NOT IN (SELECT ItemId FROM Items)"),
        std::vector<std::string>{"0"})
        << "rows of an item that was never added";
    // The next server serves the interrupted pair as the database holds it.
    if (inflight_pair) {
      const std::vector<std::string> texts = Texts(conf, "Fault", inflight_pair->first);
      ASSERT_EQ(Utf8(client().GetConfigString(kClassObjectPath, u"Fault", U(inflight_pair->first))),
                texts.empty() ? "" : texts[0]);
    }
  }
  std::cout << "[ KILLS    ] " << kKills << " kills, " << interrupted << " of them during a call, "
            << journals << " inside a transaction, " << pairs << " pairs added" << std::endl;
  EXPECT_EQ(Utf8(client().GetConfigString(kClassObjectPath, u"Server", u"Host")), host);
}

}  // namespace
}  // namespace mivo::test
