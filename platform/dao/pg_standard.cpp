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

// Change notifications (platform/dao/changes.h): after each statement that changes a table of the layout,
// "<origin> <table>" on the channel "mivodb"; the origin is the writing process's token, empty for a
// session that set none (psql). A statement on Items or Messages whose rows all belong to one item (module
// name and key string, neither null nor empty, at most 7000 bytes together) adds
// " <language> <bytes> <module><key>": the LanguageId of the Messages rows ("*" for Items rows) and the
// length of the module name in bytes. Such a statement that changed no row notifies nothing.
constexpr char kPgChangeTriggers[] =
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
std::string PgChangeTriggers(const char* table, bool rows) {
  const std::string t = table;
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

std::string PgChangeNotifications() {
  return kPgChangeTriggers + PgChangeTriggers("Items", true) + PgChangeTriggers("Messages", true) +
         PgChangeTriggers("Languages", false) + PgChangeTriggers("StoredQueries", false);
}

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
    conn.RunScript(std::string(kPgSchema) + kPgStoredQueries + StandardIndexesSql(Engine::kPostgres) +
                       PgChangeNotifications(),
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
