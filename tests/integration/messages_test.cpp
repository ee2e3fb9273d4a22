// Reports of the running server: a database error during a call or at start-up reaches clients as the
// Message signal, and the call goes on.
#include <gtest/gtest.h>

#include <fstream>

#include "integration/server_fixture.h"

namespace mivo::test {
namespace {

struct Report {
  std::string title, text;
};

class Messages : public ServerTest {
 protected:
  // Subscribes `c` to the Message signal; the reports land in `into`.
  static void Collect(CMivoDBClient& c, std::vector<Report>& into) {
    c.SubscribeMessages([&into](const CString& title, const CString& text) {
      into.push_back({Utf8(title), Utf8(text)});
    });
  }

  // A file that is no database.
  std::string BrokenDb() {
    const std::string path = Db("broken.db");
    std::ofstream(path) << "this is not an SQLite database, just some text that fills a header page.\n";
    return path;
  }
};

TEST_F(Messages, ABrokenConfigurationDatabaseIsReportedDuringTheCall) {
  std::vector<Report> reports;
  Collect(client(), reports);
  EXPECT_EQ(client().GetConfigString(kClassObjectPath, u"Server", u"Host"), u"localhost");
  ASSERT_TRUE(reports.empty()) << reports.front().text;

  SetRegString(true, kConfigListKey, "Broken", BrokenDb());
  EXPECT_FALSE(client().RefreshConfDB(kClassObjectPath));
  // The report was broadcast before the reply, so it has been dispatched by the time the call returns.
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].title, "MivoDB");
  EXPECT_NE(reports[0].text.find("broken.db"), std::string::npos) << reports[0].text;
  EXPECT_EQ(client().GetConfigString(kClassObjectPath, u"Server", u"Host"), u"localhost")
      << "the readable database is still loaded";
}

TEST_F(Messages, AMissingConfigurationDatabaseIsReportedToEveryListeningClient) {
  auto other = NewClient();
  std::vector<Report> mine, theirs;
  Collect(client(), mine);
  Collect(*other, theirs);
  EXPECT_TRUE(client().RefreshConfDB(kClassObjectPath));
  EXPECT_TRUE(mine.empty());

  SetRegString(true, kConfigListKey, "Gone", Db("gone.db"));
  EXPECT_FALSE(client().RefreshConfDB(kClassObjectPath));
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0].title, "MivoDB");
  EXPECT_NE(mine[0].text.find("gone.db"), std::string::npos) << mine[0].text;
  ASSERT_TRUE(PumpUntil(*other, [&] { return !theirs.empty(); })) << "the other client got no report";
  EXPECT_EQ(theirs[0].title, "MivoDB");
  EXPECT_EQ(theirs[0].text, mine[0].text);
}

TEST_F(Messages, AWriteToAMissingDatabaseIsReportedAndTheValueStaysInMemory) {
  SetRegString(true, kConfigListKey, "Conf", Db("gone.db"));  // replaces the listed database
  std::vector<Report> reports;
  Collect(client(), reports);
  client().RefreshConfDB(kClassObjectPath);
  reports.clear();
  EXPECT_TRUE(client().SetConfigString(kClassObjectPath, u"v", u"Mod", u"Key"));
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports[0].title, "MivoDB");
  EXPECT_NE(reports[0].text.find("gone.db"), std::string::npos) << reports[0].text;
  EXPECT_EQ(client().GetConfigString(kClassObjectPath, u"Mod", u"Key"), u"v");
  EXPECT_FALSE(FileExists(Db("gone.db"))) << "the server never creates a database";
}

TEST_F(Messages, ABrokenLanguageDatabaseIsReportedAtStartUpAndTheServerServes) {
  SetRegString(true, kLanguageListKey, "Broken", BrokenDb());
  std::vector<Report> reports;
  Collect(client(), reports);
  // This call starts the server, which loads its languages before it serves the call.
  EXPECT_EQ(client().GetLanguageString(kClassObjectPath, u"Demo", u"Greeting"), u"Hello");
  ASSERT_TRUE(PumpUntil(client(), [&] { return !reports.empty(); }));
  EXPECT_EQ(reports[0].title, "MivoDB");
  EXPECT_NE(reports[0].text.find("broken.db"), std::string::npos) << reports[0].text;
  EXPECT_EQ(client().GetConfigString(kClassObjectPath, u"Server", u"Port"), u"8080")
      << "start-up went on to the configuration";
}

TEST_F(Messages, AMissingLanguageDatabaseIsSkippedSilently) {
  SetRegString(true, kLanguageListKey, "Gone", Db("gone.db"));
  std::vector<Report> reports;
  Collect(client(), reports);
  EXPECT_FALSE(client().SetLanguage(kClassObjectPath, 0x0419, true));
  EXPECT_TRUE(reports.empty()) << reports.front().text;
}

}  // namespace
}  // namespace mivo::test
