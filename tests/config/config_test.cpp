#include <gtest/gtest.h>

#include <filesystem>

#include "platform/dao/afxdao.h"
#include "platform/win32/winnls.h"
#include "platform/win32/winreg.h"
#include "tests/config/ConfigFixture.h"
#include "textstore/db/DaoRecordsets.h"

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

// The writers on a database with the standard indexes (found by look-up) and on the same database without
// them (found by scanning the rows a filter on the table gives, or every row) leave the two databases
// equal, also where the data are odd.
TEST_F(Configuration, WritesLeaveTheSameDatabaseWithAndWithoutTheIndexes) {
  struct Write {
    bool add;
    std::u16string module, key, text;
  };
  struct Case {
    const char* name;
    const char* messages;  // the columns of Messages
    const char* rows;
    std::vector<Write> writes;
  };
  // MEMO columns keep numbers as numbers; NOCASE would match "k" to "K" if the writers compared so.
  const std::string schema =
      "CREATE TABLE Items (Module MEMO COLLATE NOCASE, KeyString MEMO COLLATE NOCASE, ItemId INTEGER "
      "PRIMARY KEY AUTOINCREMENT, UserDefined BOOLEAN DEFAULT 0);"
      "CREATE TABLE Languages (Name TEXT, LanguageId INTEGER, Active BOOLEAN);";
  const char* standard = "ItemId INTEGER, LanguageId INTEGER, String TEXT";
  const std::vector<Case> cases = {
      {"duplicate items, several rows, more rows than flagged languages",
       standard,
       "INSERT INTO Languages VALUES ('a', 99, 1), ('b', 7, 2), ('c', 8, 'true'), ('d', 9, NULL);"
       "INSERT INTO Items (ItemId, Module, KeyString) VALUES (5, 'M', 'K'), (2, 'M', 'K'), (3, 'm', 'k');"
       "INSERT INTO Messages VALUES (5, 99, 'a'), (2, 99, 'b'), (2, 7, 'c'), (2, 99, 'd'), (2, 99, 'e'),"
       " (3, 99, 'f');",
       {{false, u"M", u"K", u"new"}, {false, u"m", u"K", u"none"}, {false, u"M", u"k", u"none"}}},
      {"values of other types",
       standard,
       "INSERT INTO Languages VALUES ('a', 99, 1);"
       "INSERT INTO Items (ItemId, Module, KeyString) VALUES (1, 'M', 123), (2, x'4D', 'B'), (3, NULL, 'K'),"
       " (4, 'M', 1.5), (5, 'M', x'4B');"
       "INSERT INTO Messages VALUES ('1', '99', 'a'), (1.0, 99, 'b'), (' 2x', 99, 'c'), (2, 99.0, 'd'),"
       " (4, 99, 'e'), (5, 99, 'f'), (3, 99, 'g');",
       {{false, u"M", u"123", u"n1"},
        {false, u"M", u"B", u"n2"},
        {false, u"", u"K", u"n3"},
        {false, u"M", u"1.5", u"n4"},
        {false, u"M", u"K", u"n5"},
        {false, u"M", u"0123", u"n6"}}},
      {"no flagged language",
       standard,
       "INSERT INTO Languages VALUES ('a', 99, 0);"
       "INSERT INTO Items (Module, KeyString) VALUES ('M', 'K'); INSERT INTO Messages VALUES (1, 99, 'a');",
       {{false, u"M", u"K", u"new"}, {true, u"N", u"New", u"added"}, {false, u"N", u"New", u"none"}}},
      {"new items, updated, added again",
       standard,
       "INSERT INTO Languages VALUES ('a', 7, 1), ('b', 99, 1);",
       {{true, u"N", u"K", u"v1"},
        {false, u"N", u"K", u"v2"},
        {true, u"N", u"K", u"v3"},
        {false, u"N", u"K", u"v4"},
        {true, u"N", u"\uFFFD", u"v5"},
        {false, u"N", u"\uFFFD", u"v6"}}},
      {"ids typed otherwise, which equal no 32-bit number",
       "ItemId DOUBLE, LanguageId SMALLINT, String TEXT",
       "INSERT INTO Languages VALUES ('a', 99, 1); INSERT INTO Items (Module, KeyString) VALUES ('M', 'K');"
       "INSERT INTO Messages VALUES (1, 99, 'a');",
       {{false, u"M", u"K", u"none"}, {true, u"N", u"New", u"added"}, {false, u"N", u"New", u"none"}}},
  };
  app();
  const auto dump = [](const std::string& db) {
    std::vector<std::string> all;
    for (const char* sql :
         {"SELECT quote(Module) || quote(KeyString) || ItemId || quote(UserDefined) FROM Items ORDER BY "
          "rowid",
          "SELECT quote(ItemId) || quote(LanguageId) || quote(String) FROM Messages ORDER BY rowid",
          "SELECT name || seq FROM sqlite_sequence"}) {
      for (const std::string& row : QueryColumn(db, sql)) all.push_back(row);
    }
    return all;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string indexed = dbs().File("indexed.db"), scanned = dbs().File("scanned.db");
    for (const std::string& db : {indexed, scanned}) {
      std::filesystem::remove(db);
      ExecSql(db, schema + "CREATE TABLE Messages (" + c.messages + ");" + c.rows);
    }
    mivo::dao::CreateStandardIndexes(indexed);
    const std::vector<std::string> before = dump(indexed);
    for (const Write& w : c.writes) {
      for (const std::string& db : {indexed, scanned}) {
        CDaoConfig writer(U(db));
        EXPECT_TRUE(w.add ? writer.AddKeyString(w.module, w.key, w.text)
                          : writer.UpdateKeyString(w.module, w.key, w.text));
      }
    }
    EXPECT_EQ(dump(indexed), dump(scanned));
    EXPECT_NE(dump(indexed), before);
  }
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
