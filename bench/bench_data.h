// Benchmark data: standard-layout databases of many rows, built with plain SQL.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dao/afxdao.h"
#include "textstore/StringMap.h"

namespace mivobench {

// The rows of MakeDb and PgFillSql: item `id` is the key IDS_MESSAGE_<id> of module Module<id % modules>,
// its text this prefix followed by <id>.
inline constexpr const char* kKeyPrefix = "IDS_MESSAGE_";
inline constexpr const char* kModulePrefix = "Module";
inline constexpr const char* kTextPrefix = "A typical message text of moderate length, number ";

// Creates `file` (replacing it) with `rows` items of language `language`, flagged. Module names cycle over
// `modules` modules; texts are about 50 characters. With `indexes`, the standard indexes are added at the
// end as `mivoctl db index` adds them (mivo::dao::CreateStandardIndexes); without, the file has none.
inline void MakeDb(const std::string& file, int rows, int modules, int language, int startItem = 0,
                   bool indexes = true) {
  std::remove(file.c_str());
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) std::abort();
  const char* schema =
      "PRAGMA journal_mode=DELETE; PRAGMA synchronous=OFF;"
      "CREATE TABLE Items (Module TEXT, KeyString TEXT, ItemId INTEGER PRIMARY KEY AUTOINCREMENT, "
      "UserDefined BOOLEAN DEFAULT 0);"
      "CREATE TABLE Messages (ItemId INTEGER, LanguageId INTEGER, String TEXT);"
      "CREATE TABLE Languages (Name TEXT, LanguageId INTEGER, Active BOOLEAN);"
      "CREATE TABLE StoredQueries (Name TEXT PRIMARY KEY, SQL TEXT NOT NULL);"
      "INSERT INTO StoredQueries VALUES ('OfferKeyStrings', 'SELECT i.Module AS Module, i.KeyString AS "
      "KeyString, m.String AS String FROM Items i JOIN Messages m ON m.ItemId = i.ItemId WHERE m.LanguageId "
      "= "
      ":LanguageParameter AND (:UserFlag <> 0 OR i.UserDefined = 0) ORDER BY i.ItemId');";
  if (sqlite3_exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  const std::string lang = std::to_string(language);
  sqlite3_exec(db, ("INSERT INTO Languages VALUES ('L', " + lang + ", 1)").c_str(), nullptr, nullptr,
               nullptr);
  sqlite3_stmt* item = nullptr;
  sqlite3_stmt* message = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO Items (Module, KeyString, ItemId) VALUES (?, ?, ?)", -1, &item,
                     nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO Messages VALUES (?, ?, ?)", -1, &message, nullptr);
  for (int i = 0; i < rows; ++i) {
    const int id = startItem + i + 1;
    const std::string module = kModulePrefix + std::to_string(id % modules);
    const std::string key = kKeyPrefix + std::to_string(id);
    const std::string text = kTextPrefix + std::to_string(id);
    sqlite3_bind_text(item, 1, module.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(item, 2, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(item, 3, id);
    sqlite3_step(item);
    sqlite3_reset(item);
    sqlite3_bind_int(message, 1, id);
    sqlite3_bind_int(message, 2, language);
    sqlite3_bind_text(message, 3, text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(message);
    sqlite3_reset(message);
  }
  sqlite3_finalize(item);
  sqlite3_finalize(message);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  if (indexes) mivo::dao::CreateStandardIndexes(file);
}

// The SQL that stores in an empty PostgreSQL database of the standard layout
// (mivo::dao::CreateStandardDatabase) the items and texts MakeDb(file, rows, modules, language, startItem)
// stores, with the same item ids; the item sequence goes on after the last of them.
inline std::string PgFillSql(int rows, int modules, int language, int startItem = 0) {
  const std::string series = " FROM generate_series(" + std::to_string(startItem + 1) + ", " +
                             std::to_string(startItem + rows) + ") AS i";
  return std::string("INSERT INTO \"Items\" (\"ItemId\", \"Module\", \"KeyString\") SELECT i, '") +
         kModulePrefix + "' || (i % " + std::to_string(modules) + "), '" + kKeyPrefix + "' || i" + series +
         "; INSERT INTO \"Messages\" (\"ItemId\", \"LanguageId\", \"String\") SELECT i, " +
         std::to_string(language) + ", '" + kTextPrefix + "' || i" + series +
         "; SELECT setval(pg_get_serial_sequence('\"Items\"', 'ItemId'), " +
         std::to_string(startItem + rows) + ");";
}

// What a language store loaded from databases made by MakeDb with `modules` modules holds: its texts and
// the UTF-16 bytes of their keys and texts.
struct StoreTally {
  std::size_t texts = 0, bytes = 0;
};
inline StoreTally Tally(const CStringMap& store, int modules) {
  StoreTally tally;
  for (int m = 0; m < modules; ++m) {
    const std::string name = kModulePrefix + std::to_string(m);
    const CString module(name.begin(), name.end());
    if (const CModuleEntry* e = store.m_LanguageModules.FindEntry(&module)) {
      e->m_Strings.ForEach([&](std::u16string_view key, std::u16string_view text) {
        tally.bytes += (key.size() + text.size()) * 2;
        ++tally.texts;
      });
    }
  }
  return tally;
}

// The value below which the share `p` (0 to 1) of `v` lies; `v` must not be empty.
inline double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(static_cast<double>(v.size()) * p))];
}

// The SQL of the stored query OfferKeyStrings of a database made by MakeDb.
inline std::string OfferKeyStringsSql(const std::string& file) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT SQL FROM StoredQueries WHERE Name = 'OfferKeyStrings'", -1, &stmt, nullptr);
  std::string sql;
  if (sqlite3_step(stmt) == SQLITE_ROW) sql = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return sql;
}

// A bare prepare/step loop over the stored query's SQL, reading the three texts as UTF-16; returns rows.
template <class Sink>
long BareRead(const std::string& file, const std::string& sql, int language, int userFlag, Sink&& sink) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  sqlite3_bind_int(stmt, sqlite3_bind_parameter_index(stmt, ":LanguageParameter"), language);
  sqlite3_bind_int(stmt, sqlite3_bind_parameter_index(stmt, ":UserFlag"), userFlag);
  long rows = 0;
  std::u16string module, key, text;
  auto read = [&](int col, std::u16string& out) {
    const void* p = sqlite3_column_text16(stmt, col);
    const int n = sqlite3_column_bytes16(stmt, col);
    out.assign(static_cast<const char16_t*>(p ? p : u""), static_cast<std::size_t>(n) / 2);
  };
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    read(0, module);
    read(1, key);
    read(2, text);
    sink(module, key, text);
    ++rows;
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

// A fresh temporary folder for benchmark files.
inline std::string BenchDir() {
  char templ[] = "/tmp/mivodb-bench-XXXXXX";
  const char* made = mkdtemp(templ);
  if (!made) std::abort();
  return made;
}

}  // namespace mivobench
