// The engine-neutral pieces behind the database classes: the connection of an open database and the
// cursors of its recordsets as interfaces (implemented by the SQLite engine, sqlite_internal.h, and on
// Linux by the PostgreSQL engine, pg_internal.h), the table of engines, engine errors and value
// conversion. Private to platform/dao.
#pragma once

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
inline constexpr int kErrCannotConnect = 3151;
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

// Whether a failed engine call was reading or changing the database (a lock then gives 3260 or 3218).
enum class Access { kRead, kWrite };

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
// The rows of the query `sql` that meet `filter` (SQL without WHERE), in the query's order; `sql` as it
// is for an empty filter. Semicolons and white space at the query's end are dropped; the query stands on
// lines of its own, so that a comment at its end ends there.
std::string FilteredSql(std::string sql, const CString& filter);

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

// Converts a value to what a column of `kind` holds; throws 3421 naming `column` when it does not fit.
COleVariant CoerceToKind(const COleVariant& value, Kind kind, const CString& column);
// A value as text (DFX_Text of a non-text value): numbers in decimal, Null and Empty as "".
CString TextOf(const COleVariant& value);

class Connection;

// The statement of a CDaoQueryDef, prepared once, run as often as wanted.
struct Statement {
  virtual ~Statement() = default;
  // Sets every parameter ":Name" of that name (ASCII letter case ignored) for the following runs; false
  // when the statement has none of that name.
  virtual bool SetParam(const std::string& utf8Name, const COleVariant& value) = 0;
  // Runs the statement to its end and gives the number of rows it changed; 3265 naming the first
  // parameter not set (`sql` is the statement's text, for messages).
  virtual long Run(const CString& sql) = 0;
};

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
  Cursor(const Connection& conn, CString object) : connection_(conn), object_(std::move(object)) {}
  [[noreturn]] void NotUpdatable() const;
  void CheckIndex(int index) const;

  const Connection& connection_;
  CString object_;
  bool bof_ = true;
  bool eof_ = true;
  std::vector<BoundField> fields_;
  std::vector<int> storage_;  // SQLite: storage class of bound columns on the current row, before conversion
};

// A table-type cursor of either engine: the rows of a table in row key order, one current row read whole,
// an edit buffer for AddNew / Edit, bookmarks that are row keys. An engine supplies the reading (SeekFrom),
// the writing (Insert, Change) and AddNew (which knows how the engine numbers new rows).
class RowTableCursor : public Cursor {
 public:
  void MoveFirst() override;
  void MoveNext() override;
  int FieldCount() const override { return static_cast<int>(cols_.size()); }
  CString FieldName(int index) const override { return cols_[index].wide_name; }
  COleVariant GetFieldValue(int index) override;
  void SetFieldValue(int index, const COleVariant& value) override;
  void Edit() override;
  void Update() override;
  void CancelUpdate() override { mode_ = Mode::kNone; }
  COleVariant GetBookmark() override;
  void SetBookmark(const COleVariant& bookmark) override;
  int FindColumn(const std::string& utf8Name) const override;

 protected:
  struct Column {
    std::string name;
    CString wide_name;
    Kind kind;
    std::string default_sql;  // the DEFAULT expression, or empty
  };
  enum class Mode { kNone, kAdd, kEdit };

  using Cursor::Cursor;
  // Makes the first row whose row key is `from` or more current (row_, key_, on_row_ false when none).
  virtual void SeekFrom(std::int64_t from) = 0;
  // The row after the current one: by default SeekFrom(key_ + 1).
  virtual void Next();
  // Writes the edit buffer as a new row (AddNew) or over the current row (Edit).
  virtual void Insert() = 0;
  virtual void Change() = 0;
  // The current row's key after Change(): the new value of the visible key column `keyColumn` when the
  // edit set it, else key_ (keyColumn -1: the key is hidden).
  std::int64_t KeyAfterEdit(int keyColumn) const;

  std::vector<Column> cols_;
  bool on_row_ = false;
  std::int64_t key_ = 0;  // the current row's key
  std::vector<COleVariant> row_;
  Mode mode_ = Mode::kNone;
  std::vector<COleVariant> buffer_;
  std::vector<bool> set_;  // by column: set since AddNew / Edit
};

// The connection behind an open CDaoDatabase, of one engine. Never creates a database.
class Connection {
 public:
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The database as messages name it: the file, or the URI without any password.
  const CString& file() const { return file_; }
  bool read_only() const { return read_only_; }

  virtual bool InTransaction() const = 0;
  // Begins the workspace transaction on this database (3218 / 3260 when another writer holds it longer
  // than the busy wait), commits it, and rolls it back.
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  // Whether a table (or also a view) of that name exists (ASCII letter case ignored); its stored name in
  // *realName.
  virtual bool FindTable(const std::string& name, bool viewsToo, std::string* realName) const = 0;
  // CDaoDatabase::Execute: runs statements without parameters; *affected is the number of rows the last
  // one that ran changed, also when a later one fails.
  virtual void Execute(const CString& sql, long* affected) = 0;
  // CDaoQueryDef::Create: prepares one statement (3000 when the text is not one statement).
  virtual std::unique_ptr<Statement> Prepare(const CString& sql) = 0;
  // A read-only forward cursor over one SELECT (a stored query, a table or view by name, or SQL text).
  // Parameters are bound from the members of `params` as they are now; a non-empty `filter` keeps the rows
  // that meet it (see FilteredSql). Positioned on the first row.
  virtual std::unique_ptr<Cursor> OpenQuery(const CString& source,
                                            const std::vector<CDaoFieldExchange::Binding>& fields,
                                            const std::vector<CDaoFieldExchange::Binding>& params,
                                            const CString& filter) const = 0;
  // A table-type cursor over the rows of `table` in row-key order (only those that meet a non-empty
  // `filter`, SQL without WHERE), which can edit and append. Positioned on the first row.
  virtual std::unique_ptr<Cursor> OpenTable(const CString& table,
                                            const std::vector<CDaoFieldExchange::Binding>& fields,
                                            const CString& filter) const = 0;

 protected:
  Connection() = default;
  CString file_;
  bool read_only_ = false;
};

// Opens the database `name` names, by its engine (see afxdao.h): a PostgreSQL URI through the engine
// table, any other name as an SQLite file.
std::unique_ptr<Connection> OpenConnection(const CString& name, bool readOnly);

// An engine for databases named by URI (the SQLite engine takes every other name). Its functions throw
// CDaoException as the ones of afxdao.h they stand for.
struct ServerEngine {
  const char* title;  // "PostgreSQL", for messages
  std::unique_ptr<Connection> (*open)(const CString& uri, bool readOnly);
  void (*create_standard)(const std::string& uri, const std::vector<int>& flaggedLanguages);
  void (*create_empty)(const std::string& uri);
  std::vector<std::string> (*create_indexes)(const std::string& uri);
};
// The engine for a PostgreSQL URI; throws 3000 when this build has none (the Windows build).
const ServerEngine& PostgresEngine();

// The rows of Languages in a new standard database: each flagged language once, in the order given, and
// 99 last unless listed; and the Name of a language's row ("Configuration" for 99, else "0x0407").
std::vector<int> StandardLanguageIds(const std::vector<int>& flaggedLanguages);
std::string StandardLanguageName(int languageId);

// The default workspace: the databases open in this process and the running transaction.
void JoinWorkspace(CDaoDatabase* db);
void LeaveWorkspace(CDaoDatabase* db);
void WorkspaceBegin();
void WorkspaceCommit();
void WorkspaceRollback();
bool WorkspaceInTransaction();

}  // namespace mivo::dao
