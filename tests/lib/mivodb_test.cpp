// libmivodb against the real server: the cache answers without the server, follows every change in the
// order the server made it, and after a connection's own write gives what the server holds.
#include "include/mivodb.hpp"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "integration/server_fixture.h"

namespace mivo::test {
namespace {

class LibraryTest : public ServerTest {
 protected:
  mivodb::Client Open() { return mivodb::Client(bus_.address().c_str()); }

  // Waits until `done` holds, at most kWaitLimit; true when it did.
  template <class Done>
  static bool Eventually(Done&& done) {
    const auto end = std::chrono::steady_clock::now() + kWaitLimit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
};

TEST_F(LibraryTest, CachedReadsNeedNoServerAndOwnWritesReadBackAtOnce) {
  mivodb::Client db = Open();
  EXPECT_EQ(db.GetText("Demo", "Greeting").text, "Hello");
  const mivodb::Text missing = db.GetText("Demo", "Missing");
  EXPECT_FALSE(missing.found);
  EXPECT_EQ(missing.text, "Missing");
  EXPECT_EQ(db.GetConfig("Server", "Host").text, "localhost");

  // A stopped server answers nothing: what was read comes from the cache.
  const pid_t server = ServerPid();
  ASSERT_EQ(::kill(server, SIGSTOP), 0);
  const mivodb::Text greeting = db.GetText("Demo", "Greeting");
  const std::vector<mivodb::Text> both = db.GetConfigs({{"Server", "Host"}, {"Server", "Host"}});
  ::kill(server, SIGCONT);
  EXPECT_TRUE(greeting.found);
  EXPECT_EQ(greeting.text, "Hello");
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[1].text, "localhost");

  EXPECT_TRUE(db.SetConfig("Server", "Host", "db.example"));
  EXPECT_EQ(db.GetConfig("Server", "Host").text, "db.example");
  EXPECT_TRUE(db.SetLanguage(0x0407));
  EXPECT_EQ(db.Language(), 0x0407);
  EXPECT_EQ(db.GetText("Demo", "Greeting").text, "Hallo");

  // More items than one server call takes are asked in several.
  const mivodb::Items many(ole::kMaxBatchItems + 1, {"Demo", "OnlyGerman"});
  const std::vector<mivodb::Text> answers = mivodb::Client(Open()).GetTexts(many);
  ASSERT_EQ(answers.size(), many.size());
  EXPECT_EQ(answers.back().text, db.GetText("Demo", "OnlyGerman").text);
}

TEST_F(LibraryTest, AnotherClientsChangesReachTheCacheInTheOrderTheyWereMade) {
  mivodb::Client reader = Open();
  mivodb::Client writer = Open();
  std::atomic<int> signalled{0};
  reader.OnChange([&](const mivodb_change& c) {
    if (c.kind == MIVODB_CONFIG_CHANGED && std::string(c.module) == "Server") ++signalled;
  });
  ASSERT_EQ(reader.GetConfig("Server", "Port").text, "8080");

  constexpr int kWrites = 200;
  std::atomic<bool> writing{true};
  std::vector<int> seen;
  std::thread watch([&] {
    while (writing) seen.push_back(std::stoi(reader.GetConfig("Server", "Port").text));
  });
  for (int i = 1; i <= kWrites; ++i)
    ASSERT_TRUE(writer.SetConfig("Server", "Port", std::to_string(9000 + i)));
  EXPECT_TRUE(
      Eventually([&] { return reader.GetConfig("Server", "Port").text == std::to_string(9000 + kWrites); }));
  writing = false;
  watch.join();
  for (std::size_t i = 1; i < seen.size(); ++i) ASSERT_LE(seen[i - 1], seen[i]) << "read " << i;
  EXPECT_EQ(signalled.load(), kWrites);

  // Two writers at once: the cache ends with what the server ends with.
  mivodb::Client other = Open();
  std::thread second([&] {
    for (int i = 0; i < 100; ++i) other.SetConfig("Server", "Port", "b" + std::to_string(i));
  });
  for (int i = 0; i < 100; ++i) writer.SetConfig("Server", "Port", "a" + std::to_string(i));
  second.join();
  mivodb::Client uncached(bus_.address().c_str(), MIVODB_OPEN_NO_CACHE);
  const std::string last = uncached.GetConfig("Server", "Port").text;
  EXPECT_TRUE(last == "a99" || last == "b99") << last;
  EXPECT_TRUE(Eventually([&] { return reader.GetConfig("Server", "Port").text == last; }));

  ASSERT_EQ(reader.GetText("Demo", "Greeting").text, "Hello");
  ASSERT_TRUE(writer.SetLanguage(0x0407));
  EXPECT_TRUE(Eventually([&] { return reader.GetText("Demo", "Greeting").text == "Hallo"; }));
  EXPECT_EQ(reader.Language(), 0x0407);
}

TEST_F(LibraryTest, FailuresAreStatusesWithMessagesNotExceptions) {
  mivodb_connection* db = nullptr;
  EXPECT_EQ(mivodb_open("unix:path=/nonexistent/bus", 0, &db), MIVODB_E_CONNECT);
  EXPECT_EQ(db, nullptr);
  EXPECT_STRNE(mivodb_error_message(), "");
  char* text = nullptr;
  EXPECT_EQ(mivodb_get_text(nullptr, "Demo", "Greeting", &text, nullptr), MIVODB_E_ARGUMENT);
  EXPECT_EQ(text, nullptr);

  try {
    mivodb::Client none("unix:path=/nonexistent/bus");
    ADD_FAILURE() << "connected to nothing";
  } catch (const mivodb::Error& e) {
    EXPECT_EQ(e.status(), MIVODB_E_CONNECT);
  }
}

}  // namespace
}  // namespace mivo::test
