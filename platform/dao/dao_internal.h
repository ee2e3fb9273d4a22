// The pieces behind the database classes: the SQLite connection of an open database, the cursors of open
// recordsets, typed reading and binding of values, and the translation of SQLite result codes into engine
// errors. Private to platform/dao.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dao/afxdao.h"

namespace mivo::dao {

// Engine error numbers.
inline constexpr int kErrGeneric = 3000;
inline constexpr int kErrUpdateWithoutEdit = 3020;
inline constexpr int kErrNoCurrentRecord = 3021;
inline constexpr int kErrDuplicateKey = 3022;
inline constexpr int kErrFileNotFound = 3024;
inline constexpr int kErrReadOnly = 3027;
inline constexpr int kErrCommitWithoutBegin = 3034;
inline constexpr int kErrNoPermission = 3051;
inline constexpr int kErrObjectNotFound = 3078;
inline constexpr int kErrInvalidBookmark = 3159;
inline constexpr int kErrRecordDeleted = 3167;
inline constexpr int kErrDatabaseExists = 3204;
inline constexpr int kErrLockedUpdate = 3218;
inline constexpr int kErrNotSupported = 3251;
inline constexpr int kErrLocked = 3260;
inline constexpr int kErrItemNotFound = 3265;
inline constexpr int kErrNotADatabase = 3343;
inline constexpr int kErrObjectClosed = 3420;
inline constexpr int kErrConversion = 3421;

[[noreturn]] void ThrowEngine(int engineError, const CString& message);

// Whether a failed SQLite call was reading or changing the database (a lock then gives 3260 or 3218).
enum class Access { kRead, kWrite };

// The one place where SQLite result codes become engine errors. `rc` is the (extended) result code,
// `detail` SQLite's message for it, `file` the database, `object` the table or query involved (may be
// empty).
[[noreturn]] void ThrowSqlite(int rc, const std::string& detail, const CString& file, const CString& object,
                              Access access);

int BusyTimeoutMs();

// The message of error 3343 for an Access database (.mdb, .accdb) opened as a database: it names the file
// and the `mivoctl db convert` command that converts it, in at most 254 characters (what a report holds).
CString AccessFileMessage(const CString& file);

// Quotes an identifier for SQL: "name" with inner quotes doubled.
std::string QuoteIdent(const std::string& utf8Name);
// ASCII case-insensitive equality of UTF-8 names.
bool SameName(const char* a, const std::string& b);
// "[Name]" -> "Name"; other text unchanged.
CString StripBrackets(const CString& name);

struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

// The SQLite connection behind an open CDaoDatabase. Never creates a file.
class Connection {
 public:
  // Opens and validates the file (see afxdao.h for the errors). readOnly asks for read-only access;
  // a file or folder the process may not write opens read-only anyway.
  static std::unique_ptr<Connection> Open(const CString& path, bool readOnly);

  sqlite3* handle() const { return db_.get(); }
  const CString& file() const { return file_; }
  bool read_only() const { return read_only_; }
  bool InTransaction() const { return sqlite3_get_autocommit(db_.get()) == 0; }

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
  bool FindTable(const std::string& name, bool viewsToo, std::string* realName) const;

 private:
  Connection() = default;
  std::unique_ptr<sqlite3, DbCloser> db_;
  CString file_;
  bool read_only_ = false;
  mutable Stmt find_table_[2];  // FindTable's statements (tables; tables and views), finalized before db_
};

// The prepared statement of a CDaoQueryDef, with which of its parameters are set.
struct Statement {
  Stmt stmt;
  std::vector<bool> set;  // by parameter index (1-based)
};

// The kind of value a declared column type asks for.
enum class Kind {
  kUntyped,
  kText,
  kShort,
  kBool,
  kLong,
  kDouble,
  // The Access types (declared types matching none of the kinds above).
  kByte,
  kSingle,
  kCurrency,
  kDecimal,
  kDate,
  kBinary,
};
Kind KindOfDeclaredType(const char* declared);
// The scale s of a declared "DECIMAL(p,s)" (0 when it names none).
int DecimalScaleOf(const char* declared);

// The value of column `col` of the current row, typed by `kind`; `storage` is the column's storage class
// (sqlite3_column_type) as it was before any conversion.
COleVariant ReadColumn(sqlite3_stmt* stmt, int col, Kind kind, int storage);
// Binds a value to parameter `index` (1-based).
void BindValue(sqlite3_stmt* stmt, int index, const COleVariant& value);
// Converts a value to what a column of `kind` holds; throws 3421 naming `column` when it does not fit.
COleVariant CoerceToKind(const COleVariant& value, Kind kind, const CString& column);
// A value as text (DFX_Text of a non-text value): numbers in decimal, Null and Empty as "".
CString TextOf(const COleVariant& value);

// An output member bound by DFX_Text / DFX_Short to column `column`.
struct BoundField {
  int column;
  CString* text;
  short* short_value;
};

// The rows behind an open recordset.
class Cursor {
 public:
  virtual ~Cursor() = default;
  bool bof() const { return bof_; }
  bool eof() const { return eof_; }
  virtual void MoveFirst() = 0;
  virtual void MoveNext() = 0;
  virtual int FieldCount() const = 0;
  // The name of column `index` (checked by the caller).
  virtual CString FieldName(int index) const = 0;
  virtual COleVariant GetFieldValue(int index) = 0;
  virtual void SetFieldValue(int index, const COleVariant& value);
  virtual bool CanAppend() const { return false; }
  virtual bool CanUpdate() const { return false; }
  virtual void AddNew();
  virtual void Edit();
  virtual void Update();
  virtual void CancelUpdate() {}
  // Bookmarks (afxdao.h): the base has none (3251).
  virtual COleVariant GetBookmark();
  virtual void SetBookmark(const COleVariant& bookmark);
  // Column position of an output column name (ASCII letter case ignored), or -1.
  virtual int FindColumn(const std::string& utf8Name) const = 0;

  // Binds the members of DFX output bindings to their columns (3265 naming a missing one).
  void BindFields(const std::vector<CDaoFieldExchange::Binding>& fields);
  const CString& object() const { return object_; }

 protected:
  Cursor(const Connection& conn, CString object) : conn_(conn), object_(std::move(object)) {}
  [[noreturn]] void NotUpdatable() const;
  void CheckIndex(int index) const;

  const Connection& conn_;
  CString object_;
  bool bof_ = true;
  bool eof_ = true;
  std::vector<BoundField> fields_;
  std::vector<int> storage_;  // storage class of bound columns on the current row, before conversion
};

// A read-only forward cursor over one SELECT (a stored query, a table or view by name, or SQL text).
// Parameters are bound from the members of `params` as they are now. Positioned on the first row.
std::unique_ptr<Cursor> OpenQueryCursor(const Connection& conn, const CString& source,
                                        const std::vector<CDaoFieldExchange::Binding>& fields,
                                        const std::vector<CDaoFieldExchange::Binding>& params);
// A table-type cursor over the rows of `table` in rowid order, which can edit and append. Positioned on
// the first row.
std::unique_ptr<Cursor> OpenTableCursor(const Connection& conn, const CString& table,
                                        const std::vector<CDaoFieldExchange::Binding>& fields);

// The default workspace: the databases open in this process and the running transaction.
void JoinWorkspace(CDaoDatabase* db);
void LeaveWorkspace(CDaoDatabase* db);
void WorkspaceBegin();
void WorkspaceCommit();
void WorkspaceRollback();
bool WorkspaceInTransaction();

}  // namespace mivo::dao
