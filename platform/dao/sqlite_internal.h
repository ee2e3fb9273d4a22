// The SQLite engine behind the database classes: the connection of an open SQLite file, typed reading and
// binding of its values, and the translation of SQLite result codes into engine errors. Private to
// platform/dao.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dao/dao_internal.h"

namespace mivo::dao {

// The one place where SQLite result codes become engine errors. `rc` is the (extended) result code,
// `detail` SQLite's message for it, `file` the database, `object` the table or query involved (may be
// empty).
[[noreturn]] void ThrowSqlite(int rc, const std::string& detail, const CString& file, const CString& object,
                              Access access);

struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

// The SQLite connection behind an open CDaoDatabase. Never creates a file.
class SqliteConnection final : public Connection {
 public:
  // Opens and validates the file (see afxdao.h for the errors). readOnly asks for read-only access;
  // a file or folder the process may not write opens read-only anyway.
  static std::unique_ptr<SqliteConnection> Open(const CString& path, bool readOnly);

  sqlite3* handle() const { return db_.get(); }

  bool InTransaction() const override { return sqlite3_get_autocommit(db_.get()) == 0; }
  void Begin() override;
  void Commit() override;
  void Rollback() override;
  void Execute(const CString& sql, long* affected) override;
  std::unique_ptr<Statement> Prepare(const CString& sql) override;
  std::unique_ptr<Cursor> OpenQuery(const CString& source,
                                    const std::vector<CDaoFieldExchange::Binding>& fields,
                                    const std::vector<CDaoFieldExchange::Binding>& params,
                                    const CString& filter) const override;
  std::unique_ptr<Cursor> OpenTable(const CString& table,
                                    const std::vector<CDaoFieldExchange::Binding>& fields,
                                    const CString& filter) const override;

  // Prepares the first statement of `sql`; throws the translated error naming `object`. A null result
  // means the text held no statement. *tail points into `sql`'s characters after the statement.
  Stmt Prepare(std::string_view sql, const CString& object, Access access, const char** tail = nullptr) const;
  // Runs statements that return no rows.
  void Exec(const std::string& sql, const CString& object, Access access) const;
  // Steps once: true on a row, false when done; throws otherwise (the statement is reset then).
  bool Step(sqlite3_stmt* stmt, const CString& object, Access access) const;
  [[noreturn]] void Fail(int rc, const CString& object, Access access) const;

  // Whether a table of that name exists (any letter case); its stored name in *realName. The look-up is
  // prepared once per connection and kept (reset after each use).
  bool FindTable(const std::string& name, bool viewsToo, std::string* realName) const override;

 private:
  SqliteConnection() = default;
  std::unique_ptr<sqlite3, DbCloser> db_;
  mutable Stmt find_table_[2];  // FindTable's statements (tables; tables and views), finalized before db_
};

// The value of column `col` of the current row, typed by `kind`; `storage` is the column's storage class
// (sqlite3_column_type) as it was before any conversion.
COleVariant ReadColumn(sqlite3_stmt* stmt, int col, Kind kind, int storage);
// Binds a value to parameter `index` (1-based).
void BindValue(sqlite3_stmt* stmt, int index, const COleVariant& value);

}  // namespace mivo::dao
