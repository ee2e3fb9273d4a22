// The standard database layout, its creation on SQLite, and the dispatch of the creating functions to the
// engine a database name asks for.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/dao/files.h"
#include "platform/dao/sqlite_internal.h"

namespace mivo::dao {
namespace {

constexpr int kConfigurationLanguage = 99;

constexpr char kSchema[] =
    "CREATE TABLE Items (Module TEXT, KeyString TEXT, ItemId INTEGER PRIMARY KEY AUTOINCREMENT, "
    "UserDefined BOOLEAN DEFAULT 0);\n"
    "CREATE TABLE Messages (ItemId INTEGER, LanguageId INTEGER, String TEXT);\n"
    "CREATE TABLE Languages (Name TEXT, LanguageId INTEGER, Active BOOLEAN);\n"
    "CREATE TABLE StoredQueries (Name TEXT PRIMARY KEY, SQL TEXT NOT NULL);\n";

// The look-up indexes. ItemsByKey compares as BINARY whatever collation the columns were declared with,
// so that a look-up of a text code unit by code unit can use it.
constexpr char kIndexes[] =
    "CREATE INDEX IF NOT EXISTS MessagesByItem ON Messages (ItemId, LanguageId);\n"
    "CREATE INDEX IF NOT EXISTS ItemsByKey ON Items (KeyString COLLATE BINARY, Module COLLATE BINARY);\n";
constexpr const char* kIndexNames[] = {"MessagesByItem", "ItemsByKey"};

// Rows of one item come in message order. CROSS JOIN keeps Items the outer loop, so items are read in
// rowid order and each one's messages through the index on (ItemId, LanguageId): no sort is needed.
constexpr char kOfferKeyStrings[] =
    "SELECT Items.Module AS Module, Items.KeyString AS KeyString, Messages.String AS String "
    "FROM Items CROSS JOIN Messages ON Messages.ItemId = Items.ItemId "
    "WHERE Messages.LanguageId = :LanguageParameter "
    "AND (:UserFlag <> 0 OR IFNULL(Items.UserDefined, 0) = 0) "
    "ORDER BY Items.ItemId, Messages.rowid";

// The same on PostgreSQL: names quoted so that their letter case is kept; the row key of the tables
// without a serial primary key is the hidden column "RowKey".
constexpr char kPgIndexes[] =
    "CREATE INDEX IF NOT EXISTS \"MessagesByItem\" ON \"Messages\" (\"ItemId\", \"LanguageId\");\n"
    "CREATE INDEX IF NOT EXISTS \"ItemsByKey\" ON \"Items\" (\"KeyString\" COLLATE \"C\", "
    "\"Module\" COLLATE \"C\");\n";

constexpr char kPgOfferKeyStrings[] =
    "SELECT \"Items\".\"Module\" AS \"Module\", \"Items\".\"KeyString\" AS \"KeyString\", "
    "\"Messages\".\"String\" AS \"String\" "
    "FROM \"Items\" JOIN \"Messages\" ON \"Messages\".\"ItemId\" = \"Items\".\"ItemId\" "
    "WHERE \"Messages\".\"LanguageId\" = :LanguageParameter "
    "AND (:UserFlag <> 0 OR NOT coalesce(\"Items\".\"UserDefined\", false)) "
    "ORDER BY \"Items\".\"ItemId\", \"Messages\".\"RowKey\"";

std::string LanguageName(int id) {
  if (id == kConfigurationLanguage) return "Configuration";
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%04X", static_cast<unsigned>(id) & 0xFFFFu);
  return buffer;
}

// Creates the empty file `utf8Path`, which must not exist (error 3204 when it does, 3000 when it cannot
// be made), and returns its name for messages.
CString CreateNewFile(const std::string& utf8Path) {
  const CString file = AfxFromUtf8(utf8Path);
  const int fd = files::CreateNew(utf8Path);
  if (fd < 0) {
    if (errno == EEXIST) ThrowEngine(kErrDatabaseExists, u"Database '" + file + u"' already exists.");
    ThrowEngine(kErrGeneric,
                u"Could not create '" + file + u"' (" + AfxFromUtf8(std::strerror(errno)) + u").");
  }
  files::Close(fd);
  return file;
}

}  // namespace

std::string StandardLanguageName(int languageId) { return LanguageName(languageId); }

std::vector<int> StandardLanguageIds(const std::vector<int>& flaggedLanguages) {
  std::vector<int> languages;
  for (int id : flaggedLanguages) {
    if (std::find(languages.begin(), languages.end(), id) == languages.end()) languages.push_back(id);
  }
  if (std::find(languages.begin(), languages.end(), kConfigurationLanguage) == languages.end()) {
    languages.push_back(kConfigurationLanguage);
  }
  return languages;
}

Engine EngineOfName(std::string_view utf8Name) {
  return utf8Name.rfind("postgresql://", 0) == 0 || utf8Name.rfind("postgres://", 0) == 0 ? Engine::kPostgres
                                                                                          : Engine::kSqlite;
}

const char* StandardOfferKeyStringsSql(Engine engine) {
  return engine == Engine::kPostgres ? kPgOfferKeyStrings : kOfferKeyStrings;
}

const char* StandardIndexesSql(Engine engine) { return engine == Engine::kPostgres ? kPgIndexes : kIndexes; }

const char* RowKeySql(Engine engine) { return engine == Engine::kPostgres ? "\"RowKey\"" : "rowid"; }

std::vector<std::string> CreateStandardIndexes(const std::string& utf8Path) {
  if (EngineOfName(utf8Path) == Engine::kPostgres) return PostgresEngine().create_indexes(utf8Path);
  const CString file = AfxFromUtf8(utf8Path);
  auto conn = SqliteConnection::Open(file, false);
  if (conn->read_only()) ThrowEngine(kErrReadOnly, u"The database '" + file + u"' is read-only.");
  for (const char* table : {"Items", "Messages"}) {
    if (!conn->FindTable(table, false, nullptr)) {
      ThrowEngine(kErrObjectNotFound, u"Could not find table '" + AfxFromUtf8(table) + u"' in '" + file +
                                          u"': it is not a database in the standard layout.");
    }
  }
  auto exists = [&](const char* name) {
    Stmt stmt = conn->Prepare("SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?1 COLLATE NOCASE",
                              CString(), Access::kRead);
    sqlite3_bind_text(stmt.get(), 1, name, -1, SQLITE_STATIC);
    const bool found = conn->Step(stmt.get(), CString(), Access::kRead);
    sqlite3_reset(stmt.get());
    return found;
  };
  std::vector<std::string> created;
  conn->Exec("BEGIN IMMEDIATE", CString(), Access::kWrite);
  try {
    for (const char* name : kIndexNames) {
      if (!exists(name)) created.push_back(name);
    }
    conn->Exec(kIndexes, u"Items", Access::kWrite);
    conn->Exec("COMMIT", CString(), Access::kWrite);
  } catch (...) {
    sqlite3_exec(conn->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  return created;
}

void CreateEmptyDatabase(const std::string& utf8Path) {
  if (EngineOfName(utf8Path) == Engine::kPostgres) return PostgresEngine().create_empty(utf8Path);
  const CString file = CreateNewFile(utf8Path);
  std::string failure;
  {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(utf8Path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    std::unique_ptr<sqlite3, DbCloser> db(raw);
    if (rc != SQLITE_OK ||
        sqlite3_exec(db.get(), "CREATE TABLE StoredQueries (Name TEXT PRIMARY KEY, SQL TEXT NOT NULL)",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
      failure = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
    }
  }
  if (!failure.empty()) {
    files::Remove(utf8Path);
    files::Remove(utf8Path + "-journal");
    ThrowEngine(kErrGeneric, u"Could not create '" + file + u"' (" + AfxFromUtf8(failure) + u").");
  }
}

void CreateStandardDatabase(const std::string& utf8Path, const std::vector<int>& flaggedLanguages) {
  if (EngineOfName(utf8Path) == Engine::kPostgres) {
    return PostgresEngine().create_standard(utf8Path, flaggedLanguages);
  }
  const CString file = CreateNewFile(utf8Path);

  std::string failure;
  {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(utf8Path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    std::unique_ptr<sqlite3, DbCloser> db(raw);
    auto check = [&](int result) {
      if (result != SQLITE_OK && result != SQLITE_DONE && failure.empty()) failure = sqlite3_errmsg(db.get());
      return failure.empty();
    };
    if (check(rc) && check(sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr)) &&
        check(sqlite3_exec(db.get(), kSchema, nullptr, nullptr, nullptr)) &&
        check(sqlite3_exec(db.get(), kIndexes, nullptr, nullptr, nullptr))) {
      sqlite3_stmt* rawQuery = nullptr;
      check(sqlite3_prepare_v2(db.get(),
                               "INSERT INTO StoredQueries (Name, SQL) VALUES ('OfferKeyStrings', ?1)", -1,
                               &rawQuery, nullptr));
      Stmt query(rawQuery);
      if (failure.empty()) {
        sqlite3_bind_text(query.get(), 1, kOfferKeyStrings, -1, SQLITE_STATIC);
        check(sqlite3_step(query.get()));
      }
      std::vector<int> languages;
      for (int id : flaggedLanguages) {
        if (std::find(languages.begin(), languages.end(), id) == languages.end()) languages.push_back(id);
      }
      if (std::find(languages.begin(), languages.end(), kConfigurationLanguage) == languages.end()) {
        languages.push_back(kConfigurationLanguage);
      }
      sqlite3_stmt* rawLanguage = nullptr;
      if (failure.empty()) {
        check(sqlite3_prepare_v2(db.get(),
                                 "INSERT INTO Languages (Name, LanguageId, Active) VALUES (?1, ?2, 1)", -1,
                                 &rawLanguage, nullptr));
      }
      Stmt language(rawLanguage);
      for (int id : languages) {
        if (!failure.empty()) break;
        const std::string name = LanguageName(id);
        sqlite3_bind_text(language.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(language.get(), 2, id);
        check(sqlite3_step(language.get()));
        sqlite3_reset(language.get());
      }
      if (failure.empty()) check(sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr));
    }
  }
  if (!failure.empty()) {
    files::Remove(utf8Path);
    files::Remove(utf8Path + "-journal");
    ThrowEngine(kErrGeneric, u"Could not create '" + file + u"' (" + AfxFromUtf8(failure) + u").");
  }
}

}  // namespace mivo::dao
