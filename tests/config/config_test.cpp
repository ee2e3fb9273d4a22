#include <gtest/gtest.h>

#include <filesystem>

#include "platform/win32/winnls.h"
#include "platform/win32/winreg.h"
#include "tests/config/ConfigFixture.h"

namespace mivo::test {
namespace {

using Configuration = ConfigurationTest;

TEST_F(Configuration, LoadsLanguage99TextsAndReportsAMissingDatabase) {
  const std::string a = dbs().File("a.db");
  MakeStandardDb(a, {99},
                 {{"Net", "Port", 99, "4711"}, {"Net", "Host", 99, "|EMPTY|"}, {"Net", "Port", 7, "x"}});
  ListConfigDb("1", dbs().File("missing.db"));
  ListConfigDb("2", a);
  StartStores();
  EXPECT_EQ(reports.size(), 1u);
  ASSERT_FALSE(reports.empty());
  EXPECT_NE(reports[0].find("missing.db"), std::string::npos);
  bool found = false;
  EXPECT_EQ(Config("Net", "Port", &found), "4711");
  EXPECT_TRUE(found);
  EXPECT_EQ(Config("Net", "Host", &found), "");
  EXPECT_TRUE(found);
  EXPECT_FALSE(app().m_pConfigStrings->Reload());
  EXPECT_EQ(app().m_pConfigStrings->m_wLanguageId, 99);
}

TEST_F(Configuration, WithoutAListTheStoreIsEmptyAndRefreshSucceeds) {
  StartStores();
  EXPECT_TRUE(app().m_pConfigStrings->Reload());
  bool found = true;
  EXPECT_EQ(Config("Net", "Port", &found), "");
  EXPECT_FALSE(found);
  EXPECT_EQ(app().m_pConfigStrings->m_wLanguageId, 0);
  EXPECT_TRUE(Write("v", "M", "K"));  // no database: nothing changes, not even in memory
  EXPECT_EQ(Config("M", "K", &found), "");
  EXPECT_FALSE(found);
}

TEST_F(Configuration, TheDatabaseListedLaterWinsAndRefreshesGiveTheSameContents) {
  const std::string a = dbs().File("a.db"), b = dbs().File("b.db");
  MakeStandardDb(a, {99}, {{"M", "K", 99, "from a"}, {"M", "OnlyA", 99, "a"}});
  MakeStandardDb(b, {99}, {{"M", "K", 99, "from b"}});
  ListConfigDb("1", a);
  ListConfigDb("2", b);
  StartStores();
  EXPECT_EQ(Config("M", "K"), "from b");
  EXPECT_TRUE(app().m_pConfigStrings->Reload());
  EXPECT_TRUE(app().m_pConfigStrings->Reload());
  EXPECT_EQ(Config("M", "K"), "from b");
  EXPECT_EQ(Config("M", "OnlyA"), "a");
  const CString m = u"M";
  EXPECT_EQ(app().m_pConfigStrings->m_ConfigModules.FindEntry(&m)->m_Strings.GetCount(), 2u);
}

TEST_F(Configuration, ARowWithAnEmptyModuleCannotBeReadByAnyClient) {
  const std::string a = dbs().File("a.db");
  MakeStandardDb(a, {99}, {{"", "K", 99, "hidden"}, {"|EMPTY|", "K", 99, "marker module"}});
  ListConfigDb("1", a);
  StartStores();
  EXPECT_EQ(Config("", "K"), "marker module");
}

TEST_F(Configuration, ANewPairGetsOneItemAndARowPerFlaggedLanguageWithTheValueOnlyIn99) {
  const std::string a = dbs().File("a.db");
  MakeStandardDb(a, {7, 99}, {});
  ListConfigDb("1", a);
  StartStores();
  EXPECT_TRUE(Write("value", "Mod", "Key"));
  EXPECT_EQ(Config("Mod", "Key"), "value");
  EXPECT_EQ(Rows(a, "SELECT Module || '/' || KeyString || '/' || ItemId FROM Items"),
            std::vector<std::string>{"Mod/Key/1"});
  EXPECT_EQ(Rows(a,
                 "SELECT ItemId || '/' || LanguageId || '/' || IFNULL(String, 'NULL') FROM Messages ORDER BY "
                 "LanguageId"),
            (std::vector<std::string>{"1/7/NULL", "1/99/value"}));
  EXPECT_TRUE(app().m_pConfigStrings->Reload());
  EXPECT_EQ(Config("Mod", "Key"), "value");
  EXPECT_TRUE(reports.empty());
}

TEST_F(Configuration, AnExistingPairIsUpdatedInEveryLanguage99RowUpToTheFlaggedCount) {
  const std::string two = dbs().File("two.db"), one = dbs().File("one.db");
  for (const std::string& db : {two, one}) {
    MakeStandardDb(db, db == two ? std::vector<int>{7, 99} : std::vector<int>{99}, {{"M", "K", 99, "old"}});
    ExecSql(db, "INSERT INTO Messages VALUES (1, 99, 'old too')");
  }
  ListConfigDb("1", two);
  ListConfigDb("2", one);
  StartStores();
  EXPECT_TRUE(Write("new", "M", "K"));
  EXPECT_EQ(Rows(two, "SELECT String FROM Messages ORDER BY rowid"),
            (std::vector<std::string>{"new", "new"}));
  EXPECT_EQ(Rows(one, "SELECT String FROM Messages ORDER BY rowid"),
            (std::vector<std::string>{"new", "old too"}));
}

TEST_F(Configuration, ANewPairGoesToTheFirstReadableDatabaseAndTheOthersAreOnlySearched) {
  const std::string a = dbs().File("a.db"), b = dbs().File("b.db");
  MakeStandardDb(a, {99}, {});
  MakeStandardDb(b, {99}, {});
  SetRegString(true, kConfigList, "0", "50%broken");
  ListConfigDb("1", a);
  ListConfigDb("2", b);
  StartStores();
  EXPECT_TRUE(Write("v", "M", "K"));
  EXPECT_EQ(Rows(a, "SELECT count(*) FROM Items"), std::vector<std::string>{"1"});
  EXPECT_EQ(Rows(b, "SELECT count(*) FROM Items"), std::vector<std::string>{"0"});
}

TEST_F(Configuration, SixteenBitLanguageIdsNeverGetAValue) {
  const std::string a = dbs().File("a.db");
  MakeStandardDb(a, {99}, {{"M", "Old", 99, "old"}}, "SMALLINT");
  ListConfigDb("1", a);
  StartStores();
  EXPECT_TRUE(Write("new", "M", "New"));
  EXPECT_TRUE(Write("changed", "M", "Old"));
  EXPECT_EQ(Rows(a, "SELECT IFNULL(String, 'NULL') FROM Messages ORDER BY rowid"),
            (std::vector<std::string>{"old", "NULL"}));
  EXPECT_EQ(Config("M", "Old"), "changed");  // memory holds it until the next refresh
}

TEST_F(Configuration, EmptyValuesAndNamesAreStoredAsTheMarker) {
  const std::string a = dbs().File("a.db");
  MakeStandardDb(a, {99}, {});
  ListConfigDb("1", a);
  StartStores();
  EXPECT_TRUE(Write("", "", ""));
  EXPECT_EQ(Rows(a, "SELECT Module || KeyString FROM Items"), std::vector<std::string>{"|EMPTY||EMPTY|"});
  EXPECT_EQ(Rows(a, "SELECT String FROM Messages"), std::vector<std::string>{"|EMPTY|"});
  bool found = false;
  EXPECT_EQ(Config("", "", &found), "");
  EXPECT_TRUE(found);
  const CString empty;
  EXPECT_TRUE(app().m_pConfigStrings->WriteConfigString(nullptr, nullptr, &empty));
  EXPECT_EQ(Rows(a, "SELECT count(*) FROM Items"), std::vector<std::string>{"1"});
}

TEST_F(Configuration, NamesAndValuesThatLookLikeSqlAreStoredAsTheyAre) {
  const std::string a = dbs().File("a.db");
  MakeStandardDb(a, {99}, {});
  ListConfigDb("1", a);
  StartStores();
  const std::string module = "M' OR '1'='1", key = "k\"; DROP TABLE Items; --",
                    value = "v'); DELETE FROM Messages; --";
  EXPECT_TRUE(Write("plain", "Other", "Key"));
  EXPECT_TRUE(Write(value, module, key));
  EXPECT_TRUE(Write(value + "2", module, key));
  EXPECT_EQ(Rows(a, "SELECT Module || '|' || KeyString FROM Items ORDER BY ItemId"),
            (std::vector<std::string>{"Other|Key", module + "|" + key}));
  EXPECT_EQ(Rows(a, "SELECT String FROM Messages ORDER BY ItemId"),
            (std::vector<std::string>{"plain", value + "2"}));
  EXPECT_TRUE(app().m_pConfigStrings->Reload());
  EXPECT_EQ(Config(module, key), value + "2");
  EXPECT_EQ(Config("Other", "Key"), "plain");
}

TEST_F(Configuration, AMissingDatabaseIsReportedByTheWriterAndMemoryHoldsTheValue) {
  ListConfigDb("1", dbs().File("missing.db"));
  StartStores();
  reports.clear();
  EXPECT_TRUE(Write("v", "M", "K"));
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(Config("M", "K"), "v");
  EXPECT_FALSE(std::filesystem::exists(dbs().File("missing.db")));
}

TEST_F(Configuration, AFailedWriterIsRolledBackWholly) {
  const std::string a = dbs().File("a.db");
  MakeStandardDb(a, {7, 99}, {});
  // Messages rows for language 7 are refused: the Items row added before must not stay either.
  ExecSql(a,
          "CREATE TRIGGER refuse BEFORE INSERT ON Messages WHEN NEW.LanguageId = 7 BEGIN "
          "SELECT RAISE(ABORT, 'refused'); END;");
  ListConfigDb("1", a);
  StartStores();
  EXPECT_TRUE(Write("v", "M", "K"));
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(Rows(a, "SELECT count(*) FROM Items"), std::vector<std::string>{"0"});
  EXPECT_EQ(Rows(a, "SELECT count(*) FROM Messages"), std::vector<std::string>{"0"});
  EXPECT_EQ(Config("M", "K"), "v");
}

}  // namespace
}  // namespace mivo::test
