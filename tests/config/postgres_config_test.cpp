// The text store loader and the configuration writer on a PostgreSQL database (support/PgCluster.h) give
// what they give on an SQLite file of the same content.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "platform/dao/afxdao.h"
#include "support/PgCluster.h"
#include "tests/config/ConfigFixture.h"

namespace mivo::test {
namespace {

using Configuration = ConfigurationTest;

TEST_F(Configuration, APostgresDatabaseLoadsAndIsWrittenAsAnSqliteFileOfTheSameContent) {
  const std::vector<mivo::test::Text> texts = {{"Net", "Port", 99, "4711"},   {"Net", "Host", 99, "|EMPTY|"},
                                               {"Main", "Hello", 7, "Hallo"}, {"M", "K", 99, "old"},
                                               {"M", "K", 7, "seven"},        {"Net", "Port", 99, "later"}};
  PgCluster& cluster = PgCluster::Shared();
  const std::string pg = cluster.CreateDatabase("config");
  mivo::dao::CreateStandardDatabase(cluster.Uri(pg), {7});
  cluster.AddTexts(pg, texts);
  const std::string sqlite = dbs().File("a.db");
  MakeStandardDb(sqlite, {7, 99}, texts);
  SetRegDword(false, kSettings, "LanguageId", 7);

  struct Engine {
    std::string name;
    std::function<std::vector<std::string>(const std::string& sql)> rows;
    std::string rowKey;
  };
  const Engine engines[] = {
      {cluster.Uri(pg),
       [&](const std::string& sql) {
         const std::string out = cluster.Psql(pg, sql);
         std::vector<std::string> lines;
         for (std::size_t at = 0; at <= out.size() && !out.empty();) {
           const std::size_t end = std::min(out.find('\n', at), out.size());
           lines.push_back(out.substr(at, end - at));
           at = end + 1;
         }
         return lines;
       },
       "\"RowKey\""},
      {sqlite, [&](const std::string& sql) { return Rows(sqlite, sql); }, "rowid"},
  };
  std::vector<std::string> seen[2];
  for (int e = 0; e < 2; ++e) {
    const Engine& engine = engines[e];
    SCOPED_TRACE(engine.name);
    ListLanguageDb(true, "Base", engine.name);
    ListConfigDb("1", engine.name);
    if (e == 0) {
      StartStores();
    } else {
      EXPECT_TRUE(app().m_pLanguageStrings->Reload());
      EXPECT_TRUE(app().m_pConfigStrings->Reload());
    }
    std::vector<std::string>& out = seen[e];
    out = {Text("Main", "Hello"), Text("M", "K"), Config("Net", "Port"), Config("Net", "Host"),
           Config("M", "K")};
    EXPECT_TRUE(Write("new", "M", "K"));
    EXPECT_TRUE(Write("added", "New", "Key"));
    for (const std::string& sql : {std::string("SELECT \"Module\" || '|' || \"KeyString\" || '|' || "
                                               "\"ItemId\" FROM \"Items\" ORDER BY \"ItemId\""),
                                   "SELECT \"ItemId\" || '|' || \"LanguageId\" || '|' || "
                                   "coalesce(\"String\", 'NULL') FROM \"Messages\" "
                                   "ORDER BY " +
                                       engine.rowKey}) {
      for (const std::string& row : engine.rows(sql)) out.push_back(row);
    }
  }
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[1].size(), 5u + 7u + 8u);
  EXPECT_TRUE(reports.empty());
}

}  // namespace
}  // namespace mivo::test
