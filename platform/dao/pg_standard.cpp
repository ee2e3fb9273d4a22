// The standard database layout on PostgreSQL and its creation in an existing, empty database.
#include "platform/dao/pg_internal.h"

namespace mivo::dao {
namespace {

// The standard tables; the ones without a serial primary key get the hidden row key "RowKey".
constexpr char kPgSchema[] =
    "CREATE TABLE \"Items\" (\"Module\" text, \"KeyString\" text, \"ItemId\" serial PRIMARY KEY, "
    "\"UserDefined\" boolean DEFAULT false);\n"
    "CREATE TABLE \"Messages\" (\"ItemId\" integer, \"LanguageId\" integer, \"String\" text, "
    "\"RowKey\" bigserial PRIMARY KEY);\n"
    "CREATE TABLE \"Languages\" (\"Name\" text, \"LanguageId\" integer, \"Active\" boolean, "
    "\"RowKey\" bigserial PRIMARY KEY);\n";

constexpr char kPgStoredQueries[] =
    "CREATE TABLE \"StoredQueries\" (\"Name\" text PRIMARY KEY, \"SQL\" text NOT NULL, "
    "\"RowKey\" bigserial NOT NULL UNIQUE);\n";

// Runs `fill` on a fresh connection to `uri` inside one transaction; 3204 when the table `marker` exists
// already. Nothing is left behind on a failure.
template <class Fill>
void CreateInTransaction(const std::string& uri, const char* marker, Fill fill) {
  auto conn = PgConnection::Open(AfxFromUtf8(uri), false);
  if (conn->read_only()) ThrowEngine(kErrReadOnly, u"The database '" + conn->file() + u"' is read-only.");
  conn->Begin();
  try {
    if (conn->FindTable(marker, true, nullptr)) {
      ThrowEngine(kErrDatabaseExists, u"Database '" + conn->file() + u"' already exists (it has a table " +
                                          AfxFromUtf8(marker) + u").");
    }
    fill(*conn);
    conn->Commit();
  } catch (...) {
    try {
      conn->Rollback();
    } catch (const CDaoException&) {
      // Closing the connection ends the transaction too.
    }
    throw;
  }
}

}  // namespace

void PgCreateEmptyDatabase(const std::string& uri) {
  CreateInTransaction(uri, "StoredQueries", [](PgConnection& conn) {
    conn.RunScript(kPgStoredQueries, CString(), Access::kWrite);
  });
}

void PgCreateStandardDatabase(const std::string& uri, const std::vector<int>& flaggedLanguages) {
  CreateInTransaction(uri, "Items", [&](PgConnection& conn) {
    conn.RunScript(
        std::string(kPgSchema) + kPgStoredQueries + StandardIndexesSql(Engine::kPostgres) +
            ChangeNotificationsSql(Engine::kPostgres, {"Items", "Messages", "Languages", "StoredQueries"}),
        CString(), Access::kWrite);
    conn.Run("INSERT INTO \"StoredQueries\" (\"Name\", \"SQL\") VALUES ('OfferKeyStrings', $1)",
             {std::string(StandardOfferKeyStringsSql(Engine::kPostgres))}, u"StoredQueries", Access::kWrite);
    for (int id : StandardLanguageIds(flaggedLanguages)) {
      conn.Run("INSERT INTO \"Languages\" (\"Name\", \"LanguageId\", \"Active\") VALUES ($1, $2, true)",
               {StandardLanguageName(id), std::to_string(id)}, u"Languages", Access::kWrite);
    }
  });
}

std::vector<std::string> PgCreateStandardIndexes(const std::string& uri) {
  auto conn = PgConnection::Open(AfxFromUtf8(uri), false);
  if (conn->read_only()) ThrowEngine(kErrReadOnly, u"The database '" + conn->file() + u"' is read-only.");
  for (const char* table : {"Items", "Messages"}) {
    if (!conn->FindTable(table, false, nullptr)) {
      ThrowEngine(kErrObjectNotFound, u"Could not find table '" + AfxFromUtf8(table) + u"' in '" +
                                          conn->file() + u"': it is not a database in the standard layout.");
    }
  }
  std::vector<std::string> created;
  conn->Begin();
  try {
    for (const char* name : {"MessagesByItem", "ItemsByKey"}) {
      PgResult res = conn->Run(
          "SELECT 1 FROM pg_catalog.pg_class c WHERE c.relkind = 'i' AND "
          "pg_catalog.pg_table_is_visible(c.oid) "
          "AND lower(c.relname) = lower($1)",
          {std::string(name)}, CString(), Access::kRead);
      if (PQntuples(res.get()) == 0) created.push_back(name);
    }
    conn->RunScript(StandardIndexesSql(Engine::kPostgres), u"Items", Access::kWrite);
    conn->Commit();
  } catch (...) {
    try {
      conn->Rollback();
    } catch (const CDaoException&) {
      // Closing the connection ends the transaction too.
    }
    throw;
  }
  return created;
}

}  // namespace mivo::dao
