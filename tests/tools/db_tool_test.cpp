// mivoctl db: runs the built tool on databases in a fresh temporary folder and checks them with SQLite's own
// API.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestEnv.h"

namespace mivo::test {
namespace {

class DbTool : public ::testing::Test {
 protected:
  // Runs `mivoctl db ARGS...`, with `input` on stdin.
  ProcessResult Tool(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), "db");
    return RunTool(args, input);
  }
  std::string Query(const std::string& sql) { return QueryText(db_, sql); }
  std::string File(const std::string& name) const { return hives_.File(name); }

  void Create(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"create", db_};
    args.insert(args.end(), extra.begin(), extra.end());
    const ProcessResult r = Tool(args);
    ASSERT_EQ(r.code, 0) << r.err;
  }

  HiveSandbox hives_;  // a machine hive that does not exist: the system ANSI code page is then 1252
  std::string db_ = File("lang.db");
};

const std::string kMultilingual =
    "module,key,language,text\n"
    "Dialog,Title,1049,\"Привет, мир\"\n"
    "Dialog,Title,1041,日本語のテキスト、ソフトウェア\n"
    "Dialog,Title,1031,\"Grüße an \"\"alle\"\"\"\n"
    "Dialog,Body,1031,\"zwei\nZeilen, mit Komma\"\n"
    "Dialog,Body,1049,Ещё одна строка\n"
    "Server,Address,99,host.example:8080\n";

TEST_F(DbTool, ImportThenExportGivesBackTheSameCsv) {
  Create({"--language", "1031,0x0419,0x0411"});
  const ProcessResult imported = Tool({"import", db_, "-"}, kMultilingual);
  ASSERT_EQ(imported.code, 0) << imported.err;
  const ProcessResult exported = Tool({"export", db_});
  ASSERT_EQ(exported.code, 0) << exported.err;
  EXPECT_EQ(exported.out, kMultilingual);
}

TEST_F(DbTool, TextsAreStoredAsTheSystemCodePageReadsTheLanguagesBytes) {
  Create();
  WriteFile(File("in.csv"), "Dialog,Title,1049,Привет\nDialog,Title,1031,Grüße\nDialog,Title,99,Привет\n");
  ASSERT_EQ(Tool({"import", db_, File("in.csv")}).code, 0);
  // "Привет" in code page 1251 is CF F0 E8 E2 E5 F2, which code page 1252 reads as "Ïðèâåò".
  EXPECT_EQ(Query("SELECT String FROM Messages WHERE LanguageId = 1049"), "Ïðèâåò");
  EXPECT_EQ(Query("SELECT String FROM Messages WHERE LanguageId = 1031"), "Grüße");
  EXPECT_EQ(Query("SELECT String FROM Messages WHERE LanguageId = 99"), "Привет");  // configuration: as given
  const ProcessResult raw = Tool({"export", db_, "--raw", "--language", "1049"});
  EXPECT_EQ(raw.out, "module,key,language,text\nDialog,Title,1049,Ïðèâåò\n");
}

TEST_F(DbTool, RawImportStoresTextsUnchanged) {
  Create();
  ASSERT_EQ(Tool({"import", db_, "-", "--raw"}, "M,K,0x0419,Привет\n").code, 0);
  EXPECT_EQ(Query("SELECT String FROM Messages"), "Привет");
}

TEST_F(DbTool, CharactersTheLanguagesCodePageLacksAreReportedWithTheirLine) {
  Create();
  const ProcessResult r = Tool({"import", db_, "-"}, "M,a,1049,fine\nM,b,1049,日本\n");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
  EXPECT_EQ(Query("SELECT String FROM Messages WHERE rowid = 2"), "??");
}

TEST_F(DbTool, MalformedLineImportsNothingAndIsNamedWithItsLineNumber) {
  Create();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"M,a,7,one\nM,b,7,two\nM,c,7\n", "line 3"}, {"M,a,7,one\n\"M,b,7,two\n", "line 2"},
      {"M,a,7,one\nM,\"b\"x,7,two\n", "line 2"},   {"M,a,7,\"two\nlines\"\nM,b,seven,x\n", "line 3"},
      {"M,a,7,one\nM,b,70000,x\n", "line 2"},      {"M,a,7,one\nM,b,7,bad \xFF byte\n", "line 2"},
  };
  for (const auto& [csv, where] : cases) {
    SCOPED_TRACE(csv);
    const ProcessResult r = Tool({"import", db_, "-"}, csv);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(where), std::string::npos) << r.err;
    EXPECT_EQ(Query("SELECT count(*) FROM Items"), "0");
    EXPECT_EQ(Query("SELECT count(*) FROM Messages"), "0");
    EXPECT_EQ(Query("SELECT count(*) FROM Languages"), "1");  // 99 only: the unknown 7 was not added
  }
}

TEST_F(DbTool, ImportReplacesTextsOfExistingItemsAndAddsUnknownLanguagesFlagged) {
  Create({"--language", "1031"});
  ASSERT_EQ(Tool({"import", db_, "-"}, "M,K,1031,alt\nM,K,99,cfg\n").code, 0);
  const ProcessResult again = Tool({"import", db_, "-"}, "M,K,1031,neu\nM,K2,0x040C,nouveau\n");
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_EQ(Query("SELECT count(*) FROM Items"), "2");
  EXPECT_EQ(Query("SELECT group_concat(ItemId || ':' || LanguageId || ':' || String, ',') FROM Messages"),
            "1:1031:neu,1:99:cfg,2:1036:nouveau");
  EXPECT_EQ(Query("SELECT group_concat(LanguageId || ':' || Active, ',') FROM Languages"),
            "1031:1,99:1,1036:1");
}

TEST_F(DbTool, ImportedItemsAreReadByTheStoredQueryInItemOrder) {
  Create();
  ASSERT_EQ(Tool({"import", db_, "-"}, "B,k,7,first\nA,k,7,second\nB,k,7,first again\n").code, 0);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = Query("SELECT SQL FROM StoredQueries WHERE Name = 'OfferKeyStrings'");
  ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK);
  sqlite3_bind_int(stmt, sqlite3_bind_parameter_index(stmt, ":LanguageParameter"), 7);
  sqlite3_bind_int(stmt, sqlite3_bind_parameter_index(stmt, ":UserFlag"), 0);
  std::string rows;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    for (int i = 0; i < 3; ++i)
      rows += reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)) + std::string("|");
    rows += "\n";
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  EXPECT_EQ(rows, "B|k|first again|\nA|k|second|\n");  // the later text of a pair replaced the earlier
}

TEST_F(DbTool, ExportOfAMissingFileFailsWithExitCode1AndCreatesNothing) {
  const ProcessResult r = Tool({"export", File("missing.db")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("missing.db"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(std::filesystem::exists(File("missing.db")));
  EXPECT_EQ(Tool({"import", File("missing.db"), "-"}, "M,K,7,x\n").code, 1);
  EXPECT_FALSE(std::filesystem::exists(File("missing.db")));
}

TEST_F(DbTool, CreateRefusesAnExistingFile) {
  WriteFile(db_, "precious");
  const ProcessResult r = Tool({"create", db_});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("exists"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(db_), "precious");
}

TEST_F(DbTool, ListShowsFlagsAndTextCounts) {
  Create({"--language", "0x0407"});
  ASSERT_EQ(Tool({"import", db_, "-"}, "M,a,1031,x\nM,b,1031,y\nM,a,99,z\n").code, 0);
  // A text of a language without a Languages row.
  ExecSql(
      db_,
      "INSERT INTO Messages VALUES (1, 1049, 'r'); UPDATE Languages SET Active = 0 WHERE LanguageId = 99");
  const ProcessResult r = Tool({"list", db_});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("items: 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0x0407 (1031)    yes          2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0x0063 (99)      no           1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0x0419 (1049)    -            1"), std::string::npos) << r.out;
}

TEST_F(DbTool, CreateMakesTheStandardIndexesAndIndexAddsThoseADatabaseLacksOnce) {
  const std::string indexes =
      "SELECT group_concat(name || ':' || sql, ';') FROM (SELECT name, sql FROM sqlite_master WHERE type = "
      "'index' AND sql IS NOT NULL ORDER BY name)";
  Create();
  const std::string made = Query(indexes);
  EXPECT_NE(made.find("ItemsByKey:CREATE INDEX"), std::string::npos) << made;
  EXPECT_NE(made.find("MessagesByItem:CREATE INDEX"), std::string::npos) << made;
  ExecSql(db_, "DROP INDEX ItemsByKey");
  const ProcessResult added = Tool({"index", db_});
  ASSERT_EQ(added.code, 0) << added.err;
  EXPECT_EQ(added.out, "added to " + db_ + ": ItemsByKey\n");
  EXPECT_EQ(Query(indexes), made);
  const ProcessResult again = Tool({"index", db_});
  EXPECT_EQ(again.code, 0) << again.err;
  EXPECT_EQ(again.out, db_ + " has the standard indexes already\n");
  EXPECT_EQ(Query(indexes), made);

  const std::string other = File("other.db"), text = File("text.db");
  ExecSql(other, "CREATE TABLE Items (Module TEXT, KeyString TEXT)");
  WriteFile(text, "not a database");
  for (const auto& [file, why] :
       std::vector<std::pair<std::string, std::string>>{{File("missing.db"), "Could not find file"},
                                                        {text, "Unrecognized database format"},
                                                        {other, "Could not find table 'Messages'"}}) {
    const ProcessResult r = Tool({"index", file});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(File("missing.db")));
  EXPECT_EQ(QueryText(other, "SELECT count(*) FROM sqlite_master"), "1");
}

TEST_F(DbTool, EveryCommandAnswersHelpAndBadUsageIsExitCode2) {
  for (const char* command : {"create", "import", "export", "list", "index"}) {
    SCOPED_TRACE(command);
    const ProcessResult help = Tool({command, "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind(std::string("Usage: mivoctl db ") + command, 0), 0u) << help.out;
    EXPECT_EQ(Tool({command}).code, 2);
    EXPECT_EQ(Tool({command, db_, "--bogus"}).code, 2);
  }
  EXPECT_EQ(Tool({"--help"}).code, 0);
  EXPECT_EQ(Tool({"frobnicate"}).code, 2);
  EXPECT_EQ(Tool({"create", db_, "--language", "abc"}).code, 2);
  EXPECT_FALSE(std::filesystem::exists(db_));
}

}  // namespace
}  // namespace mivo::test
