// The PostgreSQL connection behind an open database: opening a URI (never creating a database, never
// taking a password from it), time limits, the translation of SQLSTATEs into engine errors, statements in
// savepoints inside transactions, transactions serialised by an advisory lock, and the statements of
// CDaoDatabase::Execute and CDaoQueryDef.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dao/pg_internal.h"

namespace mivo::dao {
namespace {

// The key of the transaction-level advisory lock that serialises the writers of one database ("Mivo").
constexpr long long kWriterLockKey = 0x4D69766FLL;

CString Quoted(const CString& s) { return u"'" + s + u"'"; }

struct ConninfoFree {
  void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};

std::string FirstLine(const char* message) {
  std::string s = message != nullptr ? message : "";
  const auto end = s.find('\n');
  if (end != std::string::npos) s.erase(end);
  return s;
}

const char* Field(const PGresult* res, int field) {
  const char* value = res != nullptr ? PQresultErrorField(res, field) : nullptr;
  return value != nullptr ? value : "";
}

bool Succeeded(const PGresult* res) {
  const ExecStatusType status = res != nullptr ? PQresultStatus(res) : PGRES_FATAL_ERROR;
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

// The values of text parameters as libpq takes them.
std::vector<const char*> Pointers(const std::vector<std::optional<std::string>>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
  return values;
}

// The idle connections kept for reuse, by URI, the most recently kept last. Closes them at exit; a
// connection given back after that is closed at once.
class IdlePool {
 public:
  using Handle = std::unique_ptr<PGconn, PgConnFinish>;
  static IdlePool& Get() {
    static IdlePool pool;
    return pool;
  }
  ~IdlePool() {
    const std::lock_guard<std::mutex> lock(mutex_);
    idle_.clear();
    closed_ = true;
  }
  // The most recently kept connection of `key`, or null.
  Handle Take(const std::string& key) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if (it->first != key) continue;
      Handle conn = std::move(it->second);
      idle_.erase(std::next(it).base());
      return conn;
    }
    return nullptr;
  }
  // Keeps `conn`, closing the oldest of `key` beyond PgConnection::kIdlePerUri.
  void Keep(const std::string& key, Handle conn) {
    if (closed_) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    idle_.emplace_back(key, std::move(conn));
    std::size_t same = 0;
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if (it->first == key && ++same > PgConnection::kIdlePerUri) {
        idle_.erase(std::next(it).base());
        break;
      }
    }
  }

 private:
  IdlePool() = default;
  std::mutex mutex_;
  std::vector<std::pair<std::string, Handle>> idle_;
  static inline bool closed_ = false;  // trivially destructible: still readable after the pool is gone
};

}  // namespace

std::string PgConnection::NextStatementName() {
  static std::atomic<long long> statements{0};
  return "mivo_" + std::to_string(++statements);
}

bool PgConnection::SetUpSession(bool readOnly, PgResult* failed) {
  // Every wait for a lock, and every statement, ends after the busy wait (as SQLite's busy timeout).
  const std::string limit = std::to_string(std::max(1, BusyTimeoutMs()));
  const std::string session =
      std::string("SET client_encoding = 'UTF8'; SET datestyle = 'ISO, YMD'; ") +
      "SET bytea_output = 'hex'; " +
      // RESET gives back the role's or database's own setting, which may be on.
      (readOnly ? "SET default_transaction_read_only = on" : "RESET default_transaction_read_only") +
      "; SET statement_timeout = " + limit + "; SET lock_timeout = " + limit + "; SET mivodb.origin = '" +
      PgProcessOrigin() + "'; SHOW transaction_read_only";
  // One round trip: every statement's result is checked; the last one's tells whether the session is
  // read-only.
  if (PQsendQuery(handle(), session.c_str()) == 0) return false;
  bool ok = true;
  std::string readOnlyNow;
  while (PGresult* next = PQgetResult(handle())) {
    PgResult res(next);
    if (!Succeeded(res.get())) {
      if (ok && failed != nullptr) *failed = std::move(res);
      ok = false;
    } else if (PQresultStatus(res.get()) == PGRES_TUPLES_OK && PQntuples(res.get()) == 1) {
      readOnlyNow = PQgetvalue(res.get(), 0, 0);
    }
  }
  if (!ok || PQstatus(handle()) != CONNECTION_OK) return false;
  read_only_ = readOnly || readOnlyNow == "on";
  return true;
}

std::unique_ptr<PgConnection> PgConnection::Open(const CString& uri, bool readOnly, Reuse reuse) {
  const std::string utf8 = AfxToUtf8(uri);
  const CString shown = AfxFromUtf8(PgShownUri(utf8));
  std::unique_ptr<PgConnection> conn(new PgConnection);
  conn->file_ = shown;
  if (reuse == Reuse::kPooled) {
    conn->pool_key_ = utf8;
    // A kept connection that fails to set its session up (the server went away, or ended it) is dropped.
    while ((conn->conn_ = IdlePool::Get().Take(utf8))) {
      if (conn->SetUpSession(readOnly, nullptr)) return conn;
    }
  }

  char* parseError = nullptr;
  std::unique_ptr<PQconninfoOption, ConninfoFree> options(PQconninfoParse(utf8.c_str(), &parseError));
  if (!options) {
    PQfreemem(parseError);  // its text may quote the URI, password and all
    ThrowEngine(kErrGeneric, u"'" + shown + u"' is not a valid PostgreSQL connection URI.");
  }
  bool hasTimeout = false;
  for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
    if (o->val == nullptr || *o->val == '\0') continue;
    if (std::strcmp(o->keyword, "password") == 0) {
      ThrowEngine(kErrGeneric, u"The database name " + Quoted(shown) +
                                   u" holds a password, which is refused: the password must come from "
                                   u"~/.pgpass, PGPASSFILE or the service file.");
    }
    if (std::strcmp(o->keyword, "connect_timeout") == 0) hasTimeout = true;
  }

  const char* keywords[] = {"dbname", "fallback_application_name", hasTimeout ? nullptr : "connect_timeout",
                            nullptr};
  const char* values[] = {utf8.c_str(), "mivodb", hasTimeout ? nullptr : "5", nullptr};
  conn->conn_.reset(PQconnectdbParams(keywords, values, 1));
  if (!conn->conn_ || PQstatus(conn->conn_.get()) != CONNECTION_OK) {
    const std::string why = conn->conn_ ? FirstLine(PQerrorMessage(conn->conn_.get())) : "out of memory";
    ThrowEngine(kErrCannotConnect, u"Could not connect to " + Quoted(shown) + u": " + AfxFromUtf8(why));
  }
  PgResult failed;
  if (!conn->SetUpSession(readOnly, &failed)) conn->Fail(failed.get(), CString(), Access::kRead);
  return conn;
}

PgConnection::~PgConnection() {
  if (pool_key_.empty() || !conn_ || PQstatus(conn_.get()) != CONNECTION_OK ||
      PQtransactionStatus(conn_.get()) != PQTRANS_IDLE) {
    return;
  }
  if (prepared_) {
    PgResult res(PQexec(conn_.get(), "DEALLOCATE ALL"));
    if (!Succeeded(res.get())) return;
  }
  IdlePool::Get().Keep(pool_key_, std::move(conn_));
}

void PgConnection::Fail(const PGresult* res, const CString& object, Access access) const {
  const CString what = object.empty() ? Quoted(file_) : Quoted(object) + u" in " + Quoted(file_);
  const std::string state = Field(res, PG_DIAG_SQLSTATE);
  std::string detail = Field(res, PG_DIAG_MESSAGE_PRIMARY);
  if (detail.empty()) detail = FirstLine(PQerrorMessage(conn_.get()));
  const CString why = AfxFromUtf8(detail);
  if (state.empty() || state.compare(0, 2, "08") == 0 || PQstatus(conn_.get()) != CONNECTION_OK) {
    ThrowEngine(kErrCannotConnect, u"Could not connect to " + Quoted(file_) + u": " + why);
  }
  if (state == "42P01") {
    ThrowEngine(kErrObjectNotFound, u"Could not find table or query in " + what + u" (" + why + u").");
  }
  if (state == "42703") {
    ThrowEngine(kErrItemNotFound, u"Item not found in this collection: " + what + u" (" + why + u").");
  }
  if (state == "42501" || state == "25006") {
    if (access == Access::kWrite) {
      ThrowEngine(kErrReadOnly, u"Cannot update " + what + u": permission denied (" + why + u").");
    }
    ThrowEngine(kErrNoPermission, u"Could not read " + what + u": permission denied (" + why + u").");
  }
  if (state == "23505") {
    ThrowEngine(kErrDuplicateKey,
                u"The change to " + what + u" was refused: it would duplicate a key (" + why + u").");
  }
  if (state == "55P03" || state == "57014") {
    if (access == Access::kWrite) {
      ThrowEngine(kErrLockedUpdate,
                  u"Could not update " + what + u": the database is locked by another user or process.");
    }
    ThrowEngine(kErrLocked,
                u"Could not read " + what + u": the database is locked by another user or process.");
  }
  ThrowEngine(kErrGeneric, u"Database engine error in " + what + u": " + why + u".");
}

template <class Call>
PgResult PgConnection::Guarded(Call call, const CString& object, Access access) const {
  const bool savepoint = InTransaction();
  if (savepoint) {
    PgResult begin(PQexec(handle(), "SAVEPOINT mivo_statement"));
    if (!Succeeded(begin.get())) Fail(begin.get(), object, access);
  }
  PgResult res(call());
  if (!Succeeded(res.get())) {
    if (savepoint) {
      PgResult undo(
          PQexec(handle(), "ROLLBACK TO SAVEPOINT mivo_statement; RELEASE SAVEPOINT mivo_statement"));
    }
    Fail(res.get(), object, access);
  }
  if (savepoint) {
    PgResult end(PQexec(handle(), "RELEASE SAVEPOINT mivo_statement"));
    if (!Succeeded(end.get())) Fail(end.get(), object, access);
  }
  return res;
}

PgResult PgConnection::Run(const std::string& sql, const std::vector<std::optional<std::string>>& params,
                           const CString& object, Access access) const {
  const std::vector<const char*> values = Pointers(params);
  return Guarded(
      [&] {
        return PQexecParams(handle(), sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                            nullptr, nullptr, 0);
      },
      object, access);
}

PgResult PgConnection::RunScript(const std::string& sql, const CString& object, Access access) const {
  return Guarded([&] { return PQexec(handle(), sql.c_str()); }, object, access);
}

void PgConnection::PrepareNamed(const std::string& name, const std::string& sql, int params,
                                const CString& object) const {
  prepared_ = true;
  Guarded([&] { return PQprepare(handle(), name.c_str(), sql.c_str(), params, nullptr); }, object,
          Access::kWrite);
}

PgResult PgConnection::RunPrepared(const std::string& name,
                                   const std::vector<std::optional<std::string>>& params,
                                   const CString& object, Access access) const {
  const std::vector<const char*> values = Pointers(params);
  return Guarded(
      [&] {
        return PQexecPrepared(handle(), name.c_str(), static_cast<int>(values.size()), values.data(), nullptr,
                              nullptr, 0);
      },
      object, access);
}

bool PgConnection::InTransaction() const {
  const PGTransactionStatusType status = PQtransactionStatus(conn_.get());
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
}

void PgConnection::Begin() {
  PgResult begin(PQexec(handle(), "BEGIN"));
  if (!Succeeded(begin.get())) Fail(begin.get(), CString(), Access::kWrite);
  if (read_only()) return;
  // Writers of one database take turns, as SQLite's BEGIN IMMEDIATE makes them (lock_timeout bounds the
  // wait).
  PgResult lock(
      PQexec(handle(), ("SELECT pg_advisory_xact_lock(" + std::to_string(kWriterLockKey) + ")").c_str()));
  if (!Succeeded(lock.get())) {
    PgResult undo(PQexec(handle(), "ROLLBACK"));
    Fail(lock.get(), CString(), Access::kWrite);
  }
}

void PgConnection::Commit() {
  PgResult res(PQexec(handle(), "COMMIT"));
  if (!Succeeded(res.get())) Fail(res.get(), CString(), Access::kWrite);
  if (std::strcmp(PQcmdStatus(res.get()), "ROLLBACK") == 0) {
    ThrowEngine(kErrGeneric, u"The transaction on " + Quoted(file_) + u" failed and was rolled back.");
  }
}

void PgConnection::Rollback() {
  PgResult res(PQexec(handle(), "ROLLBACK"));
  if (!Succeeded(res.get())) Fail(res.get(), CString(), Access::kWrite);
}

bool PgConnection::FindTable(const std::string& name, bool viewsToo, std::string* realName) const {
  const std::string sql =
      std::string(
          "SELECT c.relname FROM pg_catalog.pg_class c WHERE pg_catalog.pg_table_is_visible(c.oid) "
          "AND c.relkind IN ") +
      (viewsToo ? "('r', 'p', 'v', 'm')" : "('r', 'p')") +
      " AND lower(c.relname) = lower($1) ORDER BY c.relname = $1 DESC LIMIT 1";
  PgResult res = Run(sql, {name}, AfxFromUtf8(name), Access::kRead);
  if (PQntuples(res.get()) == 0) return false;
  if (realName != nullptr) *realName = PQgetvalue(res.get(), 0, 0);
  return true;
}

void PgConnection::Execute(const CString& sql, long* affected) {
  const std::string utf8 = AfxToUtf8(sql);
  const PgSql parsed = TranslatePgSql(utf8);
  if (!parsed.names.empty()) {
    ThrowEngine(kErrItemNotFound, u"Item not found in this collection: the parameter '" +
                                      AfxFromUtf8(parsed.names.front()) + u"' of '" + sql +
                                      u"' has no value (use a query definition).");
  }
  PgResult res = RunScript(utf8, sql, Access::kWrite);
  *affected = std::atol(PQcmdTuples(res.get()));
}

namespace {

// A statement prepared on the server under its own name, deallocated with the object.
struct PgStatement final : Statement {
  PgStatement(const PgConnection& c, std::string n, std::vector<std::string> p)
      : conn(c), name(std::move(n)), names(std::move(p)), values(names.size()), set(names.size(), false) {}
  ~PgStatement() override { PgResult res(PQexec(conn.handle(), ("DEALLOCATE " + name).c_str())); }

  bool SetParam(const std::string& wanted, const COleVariant& value) override {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (!SameName(names[i].c_str(), wanted)) continue;
      values[i] = PgParamText(value);
      set[i] = true;
      return true;
    }
    return false;
  }

  long Run(const CString& sql) override {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (set[i]) continue;
      ThrowEngine(kErrItemNotFound, u"Item not found in this collection: the parameter '" +
                                        AfxFromUtf8(names[i]) + u"' of '" + sql + u"' was not given.");
    }
    PgResult res = conn.RunPrepared(name, values, sql, Access::kWrite);
    return std::atol(PQcmdTuples(res.get()));
  }

  const PgConnection& conn;
  std::string name;
  std::vector<std::string> names;
  std::vector<std::optional<std::string>> values;
  std::vector<bool> set;
};

}  // namespace

std::unique_ptr<Statement> PgConnection::Prepare(const CString& sql) {
  const PgSql parsed = TranslatePgSql(AfxToUtf8(sql));
  if (!parsed.one_statement || parsed.first_word.empty()) {
    ThrowEngine(kErrGeneric, u"The query definition '" + sql + u"' is not one SQL statement.");
  }
  const std::string name = NextStatementName();
  PrepareNamed(name, parsed.text, static_cast<int>(parsed.names.size()), sql);
  return std::make_unique<PgStatement>(*this, name, parsed.names);
}

}  // namespace mivo::dao
