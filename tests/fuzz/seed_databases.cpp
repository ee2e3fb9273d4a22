// Writes the seed databases of fuzz_recordset into the folder given as the only argument: standard
// databases made by CreateStandardDatabase, some with texts, and a few small variants of the layout
// (a view instead of a stored query, a query over other tables, odd column types).
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/dao/afxdao.h"
#include "support/TestEnv.h"

namespace {

bool Sql(const std::string& file, const std::string& sql) {
  const std::string error = mivo::test::SqlError(file, sql);
  if (!error.empty()) std::fprintf(stderr, "seed_databases: %s: %s\n", file.c_str(), error.c_str());
  return error.empty();
}

bool Standard(const std::string& file, const std::vector<int>& languages, const std::string& sql) {
  std::filesystem::remove(file);
  try {
    mivo::dao::CreateStandardDatabase(file, languages);
  } catch (const CDaoException& e) {
    std::fprintf(stderr, "seed_databases: %s: cannot create\n", file.c_str());
    return false;
  }
  return sql.empty() || Sql(file, "PRAGMA journal_mode=DELETE; BEGIN;" + sql + "COMMIT; VACUUM;");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: seed_databases FOLDER\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::filesystem::create_directories(dir);
  const std::string items =
      "INSERT INTO Items (Module, KeyString, UserDefined) VALUES ('Mod', 'Key', 0), ('Mod', 'User', 1), "
      "('Net', 'Port', 0);";
  bool ok = true;
  ok &= Standard(dir + "/empty.db", {}, "");
  ok &= Standard(dir + "/flagged.db", {0x0409, 0x0419}, "");
  ok &= Standard(dir + "/texts.db", {0x0409, 99},
                 items +
                     "INSERT INTO Messages VALUES (1, 1033, 'Text'), (2, 1033, 'Mine'), (3, 99, '4711'), "
                     "(1, 99, '|EMPTY|'), (2, 99, ''), (3, 1033, NULL);");
  ok &= Standard(dir + "/view.db", {0x0409},
                 items +
                     "INSERT INTO Messages VALUES (1, 1033, 'A'), (3, 99, 'B');"
                     "DELETE FROM StoredQueries;"
                     "CREATE VIEW OfferKeyStrings AS SELECT i.Module AS Module, i.KeyString AS KeyString, "
                     "m.String AS String FROM Items i JOIN Messages m ON m.ItemId = i.ItemId;");
  ok &=
      Standard(dir + "/query.db", {0x0409},
               items +
                   "INSERT INTO Messages VALUES (1, 1033, 'A'), (3, 99, 'B');"
                   "UPDATE StoredQueries SET SQL = 'SELECT Module, KeyString, CAST(ItemId AS TEXT) AS String "
                   "FROM Items WHERE :LanguageParameter > 0 AND :UserFlag >= 0' WHERE Name = "
                   "'OfferKeyStrings';");
  ok &= Standard(dir + "/types.db", {99},
                 "CREATE TABLE Extra (A SMALLINT, B BOOLEAN, C REAL, D COUNTER, E);"
                 "INSERT INTO Extra VALUES (70000, 'x', 1.5, 2, X'00FF');" +
                     items + "INSERT INTO Messages VALUES (1, 99, 12), (3, 99, 1.5);");
  return ok ? 0 : 1;
}
