// The PostgreSQL engine behind the database classes (Linux only): the libpq connection of an open
// database, the translation of named parameters, typed values by type OID, and the translation of
// SQLSTATEs into engine errors. Private to platform/dao.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dao/dao_internal.h"

namespace mivo::dao {

struct PgResultClear {
  void operator()(PGresult* res) const { PQclear(res); }
};
using PgResult = std::unique_ptr<PGresult, PgResultClear>;

struct PgConnFinish {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};

// SQL text with its ":Name" parameters replaced by "$1", "$2", ... (one number per name, ASCII letter case
// ignored; names keep the spelling of their first use).
struct PgSql {
  std::string text;
  std::vector<std::string> names;  // names[n - 1] is "$n"
  bool one_statement = true;       // no second statement after a ';'
  std::string first_word;          // the first keyword, in upper case ("SELECT", "WITH", ...)
  bool writes = false;             // a word that changes data or schema (INSERT, INTO, ...) occurs
};
// Scans `sql`: parameters, string literals ('...', E'...', $tag$...$tag$), quoted identifiers, comments
// and "::" casts are told apart; only ":Name" outside them is a parameter.
PgSql TranslatePgSql(const std::string& sql);

// The URI as messages show it: without the password of its user information or its "password" parameter.
std::string PgShownUri(const std::string& uri);

// A parameter value as libpq takes it: text (nullopt for NULL).
std::optional<std::string> PgParamText(const COleVariant& value);
// The value of a result field typed by its column's type OID (see afxdao.h).
COleVariant PgReadValue(const PGresult* res, int row, int col);
// The Kind a column of that type OID holds (for SetFieldValue's conversion).
Kind PgKindOfType(unsigned oid);

// The libpq connection behind an open CDaoDatabase. Never creates a database.
//
// Connections are reused: a pooled connection that is closed outside a transaction, with its link intact,
// is kept idle (at most kIdlePerUri per URI, for the life of the process) and handed to the next Open of
// the same URI, after its session settings are set again; one that no longer answers then is dropped and
// the next idle one, or a new one, is taken. Prepared statements are deallocated before a connection is
// kept; other session state a caller set through Execute (SET ...) stays with it.
class PgConnection final : public Connection {
 public:
  static constexpr std::size_t kIdlePerUri = 4;
  enum class Reuse { kPooled, kOwn };

  // Opens the database of a postgresql:// URI (errors in afxdao.h). kOwn: a new connection, never kept
  // for reuse (a LISTEN connection, whose session is its own).
  static std::unique_ptr<PgConnection> Open(const CString& uri, bool readOnly, Reuse reuse = Reuse::kPooled);
  ~PgConnection() override;

  bool InTransaction() const override;
  void Begin() override;
  void Commit() override;
  void Rollback() override;
  bool FindTable(const std::string& name, bool viewsToo, std::string* realName) const override;
  void Execute(const CString& sql, long* affected) override;
  std::unique_ptr<Statement> Prepare(const CString& sql) override;
  std::unique_ptr<Cursor> OpenQuery(const CString& source,
                                    const std::vector<CDaoFieldExchange::Binding>& fields,
                                    const std::vector<CDaoFieldExchange::Binding>& params,
                                    const CString& filter) const override;
  std::unique_ptr<Cursor> OpenTable(const CString& table,
                                    const std::vector<CDaoFieldExchange::Binding>& fields,
                                    const CString& filter) const override;

  PGconn* handle() const { return conn_.get(); }

  // Runs one statement with text parameters (nullopt is NULL) and gives its result; throws the
  // translated error naming `object`. Inside a transaction the statement runs in a savepoint, so that
  // a failed statement undoes only itself, as on SQLite.
  PgResult Run(const std::string& sql, const std::vector<std::optional<std::string>>& params,
               const CString& object, Access access) const;
  // Runs SQL statements without parameters (simple query protocol), in a savepoint inside a transaction.
  PgResult RunScript(const std::string& sql, const CString& object, Access access) const;
  // Prepares the named statement `name`, in a savepoint inside a transaction.
  void PrepareNamed(const std::string& name, const std::string& sql, int params, const CString& object) const;
  PgResult RunPrepared(const std::string& name, const std::vector<std::optional<std::string>>& params,
                       const CString& object, Access access) const;
  // A fresh name for a prepared statement (unique in the process, so also on a reused connection).
  static std::string NextStatementName();

  // The one place where PostgreSQL failures become engine errors: `res` the failed result (null when
  // libpq returned none), `object` the table or query involved (may be empty).
  [[noreturn]] void Fail(const PGresult* res, const CString& object, Access access) const;

 private:
  PgConnection() = default;
  template <class Call>
  PgResult Guarded(Call call, const CString& object, Access access) const;
  // Sets the session of conn_ up for this process; false (nothing thrown) when the server did not answer
  // as it should, with the failed result in *failed.
  bool SetUpSession(bool readOnly, PgResult* failed);

  std::unique_ptr<PGconn, PgConnFinish> conn_;
  std::string pool_key_;           // the URI, or empty when the connection is not kept for reuse
  mutable bool prepared_ = false;  // statements were prepared on it
};

// The row key of tables without a serial primary key: a hidden bigserial column.
inline constexpr char kPgRowKey[] = "RowKey";

// The engine's functions behind the engine table (pg_standard.cpp).
void PgCreateStandardDatabase(const std::string& uri, const std::vector<int>& flaggedLanguages);
void PgCreateEmptyDatabase(const std::string& uri);
std::vector<std::string> PgCreateStandardIndexes(const std::string& uri);

// The origin token of this process: every connection sets "mivodb.origin" to it, and the change triggers
// put it first in their notifications, so that a feed can leave out this process's own changes. Sixteen
// hexadecimal digits, the same for the life of the process.
const std::string& PgProcessOrigin();

}  // namespace mivo::dao
