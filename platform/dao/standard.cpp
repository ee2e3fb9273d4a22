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

// Change notifications (platform/dao/changes.h): after each statement that changes a table of the layout,
// "<origin> <table>" on the channel "mivodb"; the origin is the writing process's token, empty for a
// session that set none (psql). A statement on Items or Messages whose rows all belong to one item (module
// name and key string, neither null nor empty, at most 7000 bytes together) adds
// " <language> <bytes> <module><key>": the LanguageId of the Messages rows ("*" for Items rows) and the
// length of the module name in bytes. Such a statement that changed no row notifies nothing.
constexpr char kPgChangeFunctions[] =
    "CREATE OR REPLACE FUNCTION mivodb_notify_change() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
    "PERFORM pg_notify('mivodb', coalesce(current_setting('mivodb.origin', true), '') || ' ' || "
    "TG_TABLE_NAME); "
    "RETURN NULL; END $$;\n"
    "CREATE OR REPLACE FUNCTION mivodb_notify_item() RETURNS trigger LANGUAGE plpgsql AS $$ DECLARE "
    "payload text := coalesce(current_setting('mivodb.origin', true), '') || ' ' || TG_TABLE_NAME; "
    "a text; b text; one boolean; m text; k text; lang text := '*'; "
    "BEGIN "
    // Naming the item never fails the statement: a table whose columns differ, or a role that may not read
    // Items, names none.
    "BEGIN "
    // The first changed row's two columns, and whether every other changed row has the same.
    "EXECUTE format('WITH c AS (%s), f AS (SELECT %I::text AS a, %I::text AS b FROM c LIMIT 1) "
    "SELECT a, b, NOT EXISTS (SELECT 1 FROM c WHERE c.%2$I::text IS DISTINCT FROM f.a "
    "OR c.%3$I::text IS DISTINCT FROM f.b) FROM f', "
    "CASE TG_OP WHEN 'INSERT' THEN 'SELECT * FROM mivodb_new' WHEN 'DELETE' THEN 'SELECT * FROM mivodb_old' "
    "ELSE 'SELECT * FROM mivodb_new UNION ALL SELECT * FROM mivodb_old' END, "
    "CASE TG_TABLE_NAME WHEN 'Messages' THEN 'ItemId' ELSE 'Module' END, "
    "CASE TG_TABLE_NAME WHEN 'Messages' THEN 'LanguageId' ELSE 'KeyString' END) INTO a, b, one; "
    "IF one IS NULL THEN RETURN NULL; END IF; "  // no row changed
    "IF one AND TG_TABLE_NAME = 'Messages' THEN "
    "lang := b; "
    "EXECUTE format('SELECT \"Module\", \"KeyString\" FROM %I.\"Items\" WHERE \"ItemId\" = $1 LIMIT 1', "
    "TG_TABLE_SCHEMA) INTO m, k USING a::bigint; "
    "ELSIF one THEN m := a; k := b; END IF; "
    "EXCEPTION WHEN OTHERS THEN m := NULL; "
    "END; "
    "IF m <> '' AND k <> '' AND octet_length(m) + octet_length(k) <= 7000 THEN "
    "payload := payload || ' ' || coalesce(lang, '*') || ' ' || octet_length(m) || ' ' || m || k; END IF; "
    "PERFORM pg_notify('mivodb', payload); "
    "RETURN NULL; END $$;\n";

// The triggers of a table: one per kind of change, those on Items and Messages with the changed rows.
std::string PgChangeTriggers(const std::string& t, bool rows) {
  const std::string on = " ON \"" + t + "\" ";
  if (!rows) {
    return "CREATE TRIGGER \"" + t + "Changed\" AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE" + on +
           "FOR EACH STATEMENT EXECUTE FUNCTION mivodb_notify_change();\n";
  }
  const std::string each = "FOR EACH STATEMENT EXECUTE FUNCTION mivodb_notify_item();\n";
  return "CREATE TRIGGER \"" + t + "Inserted\" AFTER INSERT" + on + "REFERENCING NEW TABLE AS mivodb_new " +
         each + "CREATE TRIGGER \"" + t + "Updated\" AFTER UPDATE" + on +
         "REFERENCING OLD TABLE AS mivodb_old NEW TABLE AS mivodb_new " + each + "CREATE TRIGGER \"" + t +
         "Deleted\" AFTER DELETE" + on + "REFERENCING OLD TABLE AS mivodb_old " + each + "CREATE TRIGGER \"" +
         t + "Truncated\" AFTER TRUNCATE" + on +
         "FOR EACH STATEMENT EXECUTE FUNCTION mivodb_notify_change();\n";
}

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

std::string ChangeNotificationsSql(Engine engine, const std::vector<std::string>& tables) {
  if (engine != Engine::kPostgres) return std::string();
  std::string sql = kPgChangeFunctions;
  for (const std::string& t : tables) {
    if (t == "Items" || t == "Messages") sql += PgChangeTriggers(t, true);
    if (t == "Languages" || t == "StoredQueries") sql += PgChangeTriggers(t, false);
  }
  return sql;
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
