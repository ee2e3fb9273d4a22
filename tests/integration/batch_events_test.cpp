// Batch look-ups and change signals, beside the ten methods: answers as the single calls give them, the
// batch limit, and every change signal ahead of the reply of the call that caused it.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "integration/server_fixture.h"
#include "platform/dao/afxdao.h"
#include "platform/ole/contract.h"
#include "support/PgCluster.h"

namespace mivo::test {
namespace {

using ole::kBatchInterface;

// A plain sd-bus connection to the private bus that records, in arrival order, the change signals and the
// replies of the calls it makes.
class RawBus {
 public:
  explicit RawBus(const std::string& address) {
    sd_bus_new(&bus_);
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    EXPECT_GE(sd_bus_start(bus_), 0);
    EXPECT_GE(sd_bus_match_signal(bus_, &match_, nullptr, kClassObjectPath, ole::kEventsInterface, nullptr,
                                  OnSignal, this),
              0);
  }
  ~RawBus() {
    sd_bus_slot_unref(match_);
    sd_bus_flush_close_unref(bus_);
  }
  sd_bus* get() { return bus_; }

  // Dispatches until a signal line `line` arrived (true) or the limit passed (false).
  bool WaitFor(const std::string& line, std::chrono::milliseconds limit = kWaitLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!Saw(line)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 50000);
    }
    return true;
  }

  // Whether a signal line `line` arrived already (since the last Call).
  bool Saw(const std::string& line) const {
    return std::find(events_.begin(), events_.end(), line) != events_.end();
  }

  // Calls a typed method with `types` and `args` and waits for its reply; returns what arrived meanwhile
  // and the reply last, each as one line ("LanguageChanged 1031", "reply").
  template <class... Args>
  std::vector<std::string> Call(const char* member, const char* types, Args... args) {
    events_.clear();
    sd_bus_slot* slot = nullptr;
    bool replied = false;
    EXPECT_GE(sd_bus_call_method_async(bus_, &slot, kServiceName, kClassObjectPath, kMethodsInterface, member,
                                       OnReply, &replied, types, args...),
              0);
    for (int i = 0; i < 1000 && !replied; ++i) {
      if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 10000);
    }
    sd_bus_slot_unref(slot);
    events_.push_back(replied ? "reply" : "no reply");
    return events_;
  }

 private:
  static int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    *static_cast<bool*>(userdata) = true;
    if (sd_bus_message_is_method_error(m, nullptr)) ADD_FAILURE() << sd_bus_message_get_error(m)->message;
    return 1;
  }
  static int OnSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<RawBus*>(userdata);
    std::string line = sd_bus_message_get_member(m);
    char type = 0;
    while (sd_bus_message_peek_type(m, &type, nullptr) > 0) {
      if (type == 'n') {
        int16_t n = 0;
        sd_bus_message_read_basic(m, 'n', &n);
        line += " " + std::to_string(n);
      } else {
        const char* s = nullptr;
        sd_bus_message_read_basic(m, type, &s);
        line += std::string(" ") + s;
      }
    }
    if (line.rfind("Message", 0) != 0) self->events_.push_back(line);
    return 0;
  }

  sd_bus* bus_ = nullptr;
  sd_bus_slot* match_ = nullptr;
  std::vector<std::string> events_;
};

class BatchTest : public ServerTest {
 protected:
  using Items = std::vector<std::pair<std::string, std::string>>;
  struct Outcome {
    std::vector<std::pair<bool, std::string>> answers;
    std::string error_name, error_message;
  };

  // One batch call `member` with `items` on the class object.
  Outcome Batch(RawBus& bus, const char* member, const Items& items) {
    sd_bus_message* call = nullptr;
    sd_bus_message_new_method_call(bus.get(), &call, kServiceName, kClassObjectPath, kBatchInterface, member);
    sd_bus_message_open_container(call, 'a', "(ss)");
    for (const auto& [module, key] : items) sd_bus_message_append(call, "(ss)", module.c_str(), key.c_str());
    sd_bus_message_close_container(call);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    Outcome out;
    if (sd_bus_call(bus.get(), call, 60 * 1000000ULL, &error, &reply) < 0) {
      out.error_name = error.name ? error.name : "";
      out.error_message = error.message ? error.message : "";
    } else {
      sd_bus_message_enter_container(reply, 'a', "(bs)");
      int found = 0;
      const char* text = nullptr;
      while (sd_bus_message_read(reply, "(bs)", &found, &text) > 0)
        out.answers.emplace_back(found != 0, text);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    return out;
  }
};

TEST_F(BatchTest, BatchesAnswerAsTheSingleCallsDoInTheOrderAsked) {
  RawBus bus(bus_.address());
  const Items texts = {{"Demo", "Greeting"},
                       {"Demo", "OnlyGerman"},
                       {"Demo", "EmptyEnglish"},
                       {"Demo", "Missing"},
                       {"", "K"},
                       {"Nowhere", "Greeting"}};
  const Items config = {{"Server", "Host"}, {"Server", "Missing"}, {"", ""}, {"Server", "Port"}};
  for (const auto& [member, items] :
       {std::pair{"GetLanguageStrings", texts}, std::pair{"GetConfigStrings", config}}) {
    const Outcome out = Batch(bus, member, items);
    ASSERT_EQ(out.answers.size(), items.size()) << member << ": " << out.error_message;
    for (std::size_t i = 0; i < items.size(); ++i) {
      CString single;
      const CString module = AfxFromUtf8(items[i].first), key = AfxFromUtf8(items[i].second);
      const bool found = std::string(member) == "GetLanguageStrings"
                             ? client().GetLanguageString2(client().class_path(), single, module, key)
                             : client().GetConfigString2(client().class_path(), single, module, key);
      EXPECT_EQ(out.answers[i], std::pair(found, AfxToUtf8(single))) << member << " item " << i;
    }
  }

  struct Case {
    const char* key;
    const char* text;
    const char* source;
    int16_t language;
  };
  for (const Case& c : {Case{"Greeting", "Hello", "current", 0x0409},
                        Case{"OnlyGerman", "", "fallback", 0x0407}, Case{"Missing", "Missing", "none", 0}}) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    ASSERT_GE(sd_bus_call_method(bus.get(), kServiceName, kClassObjectPath, kBatchInterface,
                                 "ExplainLanguageString", &error, &reply, "ss", "Demo", c.key),
              0)
        << error.message;
    const char* text = nullptr;
    const char* source = nullptr;
    int16_t language = -1;
    ASSERT_GE(sd_bus_message_read(reply, "ssn", &text, &source, &language), 0);
    if (*c.text) {
      EXPECT_STREQ(text, c.text);
    }
    EXPECT_EQ(AfxFromUtf8(text),
              client().GetLanguageString(client().class_path(), u"Demo", AfxFromUtf8(c.key)));
    EXPECT_STREQ(source, c.source) << c.key;
    EXPECT_EQ(language, c.language) << c.key;
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
  }
}

TEST_F(BatchTest, ABatchAtTheLimitIsAnsweredAndALongerOneRefusedNamingTheLimit) {
  RawBus bus(bus_.address());
  Items items(ole::kMaxBatchItems, {"Demo", "Greeting"});
  const Outcome full = Batch(bus, "GetLanguageStrings", items);
  ASSERT_EQ(full.answers.size(), items.size()) << full.error_message;
  EXPECT_EQ(full.answers.back(), std::pair(true, std::string("Hello")));

  items.emplace_back("Demo", "Greeting");
  const Outcome refused = Batch(bus, "GetConfigStrings", items);
  EXPECT_TRUE(refused.answers.empty());
  EXPECT_EQ(refused.error_name, "Mivo.DataBase.Error.InvalidArgument");
  EXPECT_EQ(refused.error_message.rfind("0x80070057 ", 0), 0u) << refused.error_message;
  EXPECT_NE(refused.error_message.find(std::to_string(ole::kMaxBatchItems)), std::string::npos);
  EXPECT_EQ(AfxToUtf8(client().GetLanguageString(client().class_path(), u"Demo", u"Greeting")), "Hello");
}

TEST_F(BatchTest, EveryChangeSignalArrivesBeforeTheReplyOfItsCallAndNoChangeSendsNone) {
  RawBus bus(bus_.address());
  using Lines = std::vector<std::string>;
  EXPECT_EQ(bus.Call("SetLanguage", "nb", int16_t{0x0419}, 1), (Lines{"LanguageChanged 1049", "reply"}));
  EXPECT_EQ(bus.Call("SetLanguage", "nb", int16_t{0x0419}, 1), (Lines{"reply"}));
  // The fallback language: nothing is loaded, but the answers change.
  EXPECT_EQ(bus.Call("SetLanguage", "nb", int16_t{0x0407}, 1), (Lines{"LanguageChanged 1031", "reply"}));
  EXPECT_EQ(bus.Call("SetConfigString", "sss", "db.example", "Server", "Host"),
            (Lines{"ConfigChanged Server Host db.example", "reply"}));
  EXPECT_EQ(bus.Call("SetConfigString", "sss", "db.example", "Server", "Host"), (Lines{"reply"}));
  EXPECT_EQ(bus.Call("SetConfigString", "sss", "", "New", ""), (Lines{"ConfigChanged New  ", "reply"}));
  EXPECT_EQ(bus.Call("RefreshConfDB", ""), (Lines{"Reloaded config", "reply"}));
  EXPECT_EQ(bus.Call("RefreshLangDB", ""), (Lines{"Reloaded language", "reply"}));
}

// The resident size of a process in KiB (VmRSS), -1 when unknown.
long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST_F(BatchTest, AClientThatReadsNoSignalsNeitherGrowsTheServerNorStopsOthers) {
  RawBus deaf(bus_.address());  // subscribed, and never reads
  ASSERT_EQ(deaf.Call("SetLanguage", "nb", int16_t{0x0407}, 1).back(), "reply");
  const pid_t server = ServerPid();
  // Both ids count as the fallback language: every call changes the language id and signals it, nothing
  // is loaded.
  for (int i = 0; i < 2000; ++i) client().SetLanguage(client().class_path(), i % 2 ? 0x0407 : 0x0807, true);
  const long before = ResidentKiB(server);
  for (int i = 0; i < 10000; ++i) {
    ASSERT_TRUE(client().SetLanguage(client().class_path(), i % 2 ? 0x0407 : 0x0807, true)) << i;
  }
  ASSERT_GT(before, 0);
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer holds freed memory in quarantine: the size says nothing
  EXPECT_LT(ResidentKiB(server) - before, 2048)
      << "KiB grown while 10,000 signals went to a client that reads none";
#endif
  EXPECT_EQ(AfxToUtf8(client().GetLanguageString(client().class_path(), u"Demo", u"Greeting")), "Hallo");
}

TEST_F(BatchTest, MivoctlBatchExplainAndWatchPrintTabSeparatedLines) {
  const EnvChanges env = {{"DBUS_SESSION_BUS_ADDRESS", bus_.address()}};
  ProcessResult r = RunProgram({ToolPath(), "batch"}, env, kWaitLimit, "Demo\tGreeting\n\nDemo\tMissing\n");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "true\tHello\nfalse\tMissing\n");
  r = RunProgram({ToolPath(), "batch", "--config"}, env, kWaitLimit, "Server\tHost\n");
  EXPECT_EQ(r.out, "true\tlocalhost\n");
  r = RunProgram({ToolPath(), "batch"}, env, kWaitLimit, "no tab here\n");
  EXPECT_EQ(r.code, 2);
  r = RunProgram({ToolPath(), "explain", "Demo", "OnlyGerman"}, env);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Nur Deutsch\tfallback\t1031\n");

  Child watch;
  ASSERT_TRUE(watch.Start({ToolPath(), "watch", "--count", "2"}, env));
  // The watcher listens once it has connected: change for two seconds, it ends after the first two.
  for (int i = 0; i < 40; ++i) {
    client().SetLanguage(client().class_path(), i % 2 ? 0x0409 : 0x0419, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const ProcessResult w = watch.Wait();
  EXPECT_EQ(w.code, 0) << w.err;
  EXPECT_TRUE(w.out == "LanguageChanged\t1049\nLanguageChanged\t1033\n" ||
              w.out == "LanguageChanged\t1033\nLanguageChanged\t1049\n")
      << w.out;
}

}  // namespace
}  // namespace mivo::test

namespace mivo::test {
namespace {

// The server with a shared language database on PostgreSQL, listed after the standard SQLite one, and a
// shared configuration database in place of the SQLite one; changes committed by other processes (psql, a
// second host's server) reach its clients.
class SharedDataBaseTest : public BatchTest {
 protected:
  void SetUp() override {
    BatchTest::SetUp();
    if (HasFatalFailure()) return;
    texts_ = pg().CreateDatabase("texts");
    config_ = pg().CreateDatabase("config");
    mivo::dao::CreateStandardDatabase(pg().Uri(texts_), {1033});
    mivo::dao::CreateStandardDatabase(pg().Uri(config_), {99});
    pg().AddTexts(texts_, {{"Shared", "Title", 0x0409, "Shared title"}});
    pg().AddTexts(config_, {{"Shared", "Mode", 99, "fast"}});
    SetRegString(true, kLanguageListKey, "Shared", pg().Uri(texts_));
    SetRegString(true, kConfigListKey, "Conf", pg().Uri(config_));
  }
  static PgCluster& pg() { return PgCluster::Shared(); }
  std::string Language(const char16_t* module, const char16_t* key) {
    return AfxToUtf8(client().GetLanguageString(client().class_path(), module, key));
  }
  std::string Config(const char16_t* module, const char16_t* key) {
    return AfxToUtf8(client().GetConfigString(client().class_path(), module, key));
  }
  // Runs SQL on the configuration database: a change of another process.
  void ChangeConfig(const std::string& sql) { pg().Psql(config_, sql); }

  // The configuration value of the server on the bus at `address`, as `mivoctl batch --config` gives it.
  static std::string ConfigOn(const std::string& address, const std::string& module, const std::string& key) {
    const ProcessResult r =
        RunProgram({ToolPath(), "batch", "--config"}, {{"DBUS_SESSION_BUS_ADDRESS", address}}, kWaitLimit,
                   module + "\t" + key + "\n");
    EXPECT_EQ(r.code, 0) << r.err;
    return r.out;
  }

  std::string texts_, config_;
};

// A second host: hives, a bus and a registration of its own, listing the same shared databases. While it
// exists, this process's hive variables name its hives.
struct SecondHost {
  SecondHost(const std::string& texts, const std::string& config) {
    env.Set("MIVODB_DBUS_SERVICE_DIR", startup.path());  // what its server writes at each start
    std::string error;
    EXPECT_TRUE(bus.Start(&error)) << error;
    SetRegString(true, kLanguageListKey, "Shared", texts);
    SetRegString(true, kConfigListKey, "Shared", config);
    SetRegDword(false, kSettingsKey, "LanguageId", 0x0409);
    const ProcessResult r = RunProgram(
        {ServerPath(), "/RegServer"},
        {{"MIVODB_DBUS_SERVICE_DIR", bus.service_dir()}, {"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
    EXPECT_EQ(r.code, 0) << r.err;
  }
  HiveSandbox hives;
  TempDir startup;
  ScopedEnv env;
  PrivateBus bus;  // last: its server ends with it, before the hives go
};

constexpr char kSetMode[] =
    "UPDATE \"Messages\" SET \"String\" = '%s' WHERE \"ItemId\" = (SELECT \"ItemId\" FROM \"Items\" "
    "WHERE \"KeyString\" = 'Mode')";

std::string SetModeSql(const std::string& value) {
  std::string sql = kSetMode;
  return sql.replace(sql.find("%s"), 2, value);
}

TEST_F(SharedDataBaseTest, ChangesOfOtherProcessesArriveAsSignalsAndItsOwnWritesReachTheDatabase) {
  RawBus bus(bus_.address());
  ASSERT_EQ(bus.Call("SetLanguage", "nb", int16_t{0x0409}, 1).back(), "reply");
  EXPECT_EQ(Language(u"Shared", u"Title"), "Shared title");
  EXPECT_EQ(Config(u"Shared", u"Mode"), "fast");

  ChangeConfig(SetModeSql("slow"));
  EXPECT_TRUE(bus.WaitFor("ConfigChanged Shared Mode slow"));
  EXPECT_EQ(Config(u"Shared", u"Mode"), "slow");
  ChangeConfig("DELETE FROM \"Messages\"");  // a value gone: the whole configuration is told as reloaded
  EXPECT_TRUE(bus.WaitFor("Reloaded config"));
  EXPECT_EQ(Config(u"Shared", u"Mode"), "");

  pg().AddTexts(texts_, {{"Shared", "Added", 0x0409, "added elsewhere"}});
  EXPECT_TRUE(bus.WaitFor("Reloaded language"));
  EXPECT_EQ(Language(u"Shared", u"Added"), "added elsewhere");

  // The server's own write: signalled once, before the reply, and committed to the shared database.
  EXPECT_EQ(bus.Call("SetConfigString", "sss", "mine", "Shared", "Mode"),
            (std::vector<std::string>{"ConfigChanged Shared Mode mine", "reply"}));
  EXPECT_EQ(pg().Psql(config_, "SELECT \"String\" FROM \"Messages\" WHERE \"LanguageId\" = 99"), "mine");
}

TEST_F(SharedDataBaseTest, AChangeOfOneItemKeepsThePrecedenceOfTheDatabaseList) {
  // A local file listed after the shared database holds Shared/Mode too: its value is the one served.
  pg().AddTexts(config_, {{"Shared", "Other", 99, "one"}});
  MakeStandardDb(Db("local.db"), {99}, {{"Shared", "Mode", 99, "local"}});
  SetRegString(true, kConfigListKey, "Local", Db("local.db"));
  RawBus bus(bus_.address());
  ASSERT_EQ(Config(u"Shared", u"Mode"), "local");

  ChangeConfig(SetModeSql("slow"));  // hidden by the later database: nothing to tell
  ChangeConfig("UPDATE \"Messages\" SET \"String\" = 'two' WHERE \"String\" = 'one'");
  EXPECT_TRUE(bus.WaitFor("ConfigChanged Shared Other two"));
  EXPECT_FALSE(bus.Saw("ConfigChanged Shared Mode slow"));
  EXPECT_EQ(Config(u"Shared", u"Mode"), "local");
  EXPECT_EQ(Config(u"Shared", u"Other"), "two");
}

TEST_F(SharedDataBaseTest, AWriteOnOneHostReachesTheOtherAndConcurrentWritesEndAlikeEverywhere) {
  SecondHost b(pg().Uri(texts_), pg().Uri(config_));
  RawBus onA(bus_.address()), onB(b.bus.address());
  ASSERT_EQ(onA.Call("RefreshConfDB", "").back(), "reply");  // both servers run and follow the database
  ASSERT_EQ(onB.Call("RefreshConfDB", "").back(), "reply");

  ASSERT_EQ(onA.Call("SetConfigString", "sss", "from A", "Shared", "Mode").back(), "reply");
  EXPECT_TRUE(onB.WaitFor("ConfigChanged Shared Mode from A"));
  EXPECT_EQ(ConfigOn(b.bus.address(), "Shared", "Mode"), "true\tfrom A\n");

  for (int i = 0; i < 10; ++i) {
    const std::string a = "a" + std::to_string(i), bValue = "b" + std::to_string(i);
    std::thread writerA([&] { onA.Call("SetConfigString", "sss", a.c_str(), "Shared", "Mode"); });
    onB.Call("SetConfigString", "sss", bValue.c_str(), "Shared", "Mode");
    writerA.join();
  }
  const std::string stored =
      pg().Psql(config_, "SELECT \"String\" FROM \"Messages\" WHERE \"LanguageId\" = 99");
  EXPECT_TRUE(stored == "a9" || stored == "b9") << stored;
  const std::string expected = "true\t" + stored + "\n";
  std::string onHostA, onHostB;
  for (int i = 0; i < 100; ++i) {
    onHostA = ConfigOn(bus_.address(), "Shared", "Mode");
    onHostB = ConfigOn(b.bus.address(), "Shared", "Mode");
    if (onHostA == expected && onHostB == expected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(onHostA, expected);
  EXPECT_EQ(onHostB, expected);
}

TEST_F(SharedDataBaseTest, ADatabaseThatCannotBeReachedAtStartUpIsLoadedOnceItIsThere) {
  // Listed before it exists: the server reports it, serves the other databases, and tries again.
  const std::string late = "late_" + std::to_string(::getpid());
  SetRegString(true, kLanguageListKey, "Late", pg().Uri(late));
  RawBus bus(bus_.address());
  ASSERT_EQ(bus.Call("SetLanguage", "nb", int16_t{0x0409}, 1).back(), "reply");
  EXPECT_EQ(Language(u"Demo", u"Greeting"), "Hello");
  EXPECT_EQ(Language(u"Shared", u"Title"), "Shared title");

  pg().Psql("postgres", "CREATE DATABASE " + late);
  mivo::dao::CreateStandardDatabase(pg().Uri(late), {1033});
  pg().AddTexts(late, {{"Late", "Text", 0x0409, "there at last"}});
  EXPECT_TRUE(bus.WaitFor("Reloaded language"));
  EXPECT_EQ(Language(u"Late", u"Text"), "there at last");
}

TEST_F(SharedDataBaseTest, AfterItsConnectionBreaksTheServerCatchesUpWithWhatChangedMeanwhile) {
  RawBus bus(bus_.address());
  ASSERT_EQ(Config(u"Shared", u"Mode"), "fast");
  // Every connection of the server ends; the change is committed before it can listen again.
  const std::string servers = "FROM pg_stat_activity WHERE application_name = 'mivodb'";
  pg().Psql("postgres", "SELECT pg_terminate_backend(pid) " + servers);
  for (int i = 0; i < 100 && pg().Psql("postgres", "SELECT count(*) " + servers) != "0"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ChangeConfig(SetModeSql("changed while away"));
  EXPECT_TRUE(bus.WaitFor("ConfigChanged Shared Mode changed while away"));
  EXPECT_EQ(Config(u"Shared", u"Mode"), "changed while away");
}

}  // namespace
}  // namespace mivo::test
