// The SQLite helpers of support/TestEnv.h.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "support/TestEnv.h"

namespace mivo::test {

std::string SqlError(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return "cannot open " + file;
  }
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  std::string message = rc == SQLITE_OK ? "" : error ? error : sqlite3_errstr(rc);
  sqlite3_free(error);
  sqlite3_close(db);
  return message;
}

void ExecSql(const std::string& file, const std::string& sql) {
  const std::string error = SqlError(file, sql);
  EXPECT_EQ(error, "") << "in " << sql;
}

std::vector<std::string> QueryColumn(const std::string& file, const std::string& sql,
                                     const std::optional<std::string>& bind) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK) << file;
  }
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  if (stmt && bind) sqlite3_bind_text(stmt, 1, bind->c_str(), -1, SQLITE_TRANSIENT);
  int rc = SQLITE_DONE;
  while (stmt && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const unsigned char* t = sqlite3_column_text(stmt, 0);
    rows.emplace_back(t ? reinterpret_cast<const char*>(t) : "NULL");
  }
  EXPECT_EQ(rc, SQLITE_DONE) << sqlite3_errmsg(db) << " in " << sql;
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

std::string QueryText(const std::string& file, const std::string& sql) {
  const std::vector<std::string> rows = QueryColumn(file, sql);
  return rows.empty() ? "<none>" : rows.front();
}

const char* const kOfferKeyStringsSql =
    "SELECT Items.Module AS Module, Items.KeyString AS KeyString, Messages.String AS String "
    "FROM Items CROSS JOIN Messages ON Messages.ItemId = Items.ItemId "
    "WHERE Messages.LanguageId = :LanguageParameter "
    "AND (:UserFlag <> 0 OR IFNULL(Items.UserDefined, 0) = 0) "
    "ORDER BY Items.ItemId, Messages.rowid";

namespace {
std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}
}  // namespace

void MakeStandardDb(const std::string& file, const std::vector<int>& flagged, const std::vector<Text>& texts,
                    const std::string& idType) {
  std::string sql =
      "CREATE TABLE Items (Module TEXT, KeyString TEXT, ItemId INTEGER PRIMARY KEY AUTOINCREMENT, "
      "UserDefined BOOLEAN DEFAULT 0);"
      "CREATE TABLE Messages (ItemId INTEGER, LanguageId " +
      idType +
      ", String TEXT);"
      "CREATE INDEX MessagesByItem ON Messages (ItemId, LanguageId);"
      "CREATE TABLE Languages (Name TEXT, LanguageId " +
      idType +
      ", Active BOOLEAN);"
      "CREATE TABLE StoredQueries (Name TEXT PRIMARY KEY, SQL TEXT NOT NULL);"
      "INSERT INTO StoredQueries VALUES ('OfferKeyStrings', " +
      Quote(kOfferKeyStringsSql) + ");";
  for (int id : flagged) {
    sql += "INSERT INTO Languages VALUES ('L" + std::to_string(id) + "', " + std::to_string(id) + ", 1);";
  }
  for (const Text& t : texts) {
    sql += "INSERT INTO Items (Module, KeyString) VALUES (" + Quote(t.module) + ", " + Quote(t.key) + ");";
    sql += "INSERT INTO Messages VALUES (last_insert_rowid(), " + std::to_string(t.language) + ", " +
           Quote(t.text) + ");";
  }
  ExecSql(file, "BEGIN;" + sql + "COMMIT;");
}

}  // namespace mivo::test
