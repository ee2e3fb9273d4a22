// The framework's database classes over SQLite and PostgreSQL.
//
// Contract:
// - A database is an SQLite 3 file, or (Linux only) a PostgreSQL database named by a libpq URI beginning
//   "postgresql://" or "postgres://" (see "PostgreSQL" at the end of this contract); everything said of a
//   file holds for both unless said otherwise. Opening never creates a file. A file the process may only read
//   opens read-only (CanAppend() is then FALSE on its recordsets, and writes fail).
// - Every failure is thrown as a CDaoException (by value) whose m_scode is 0x800A0000 + the engine error
//   number: 3024 file not found, 3051 file not readable (permission), 3078 table or query not found, 3265
//   column or parameter not found, 3343 not a database (foreign, empty, truncated or corrupt file), 3260 /
//   3218 locked (after the busy wait of a few seconds; 3218 when a change was refused), 3021 no current
//   record, 3020 update without AddNew/Edit, 3022 duplicate key, 3027 database or object is read-only, 3034
//   commit without a transaction, 3159 not a valid bookmark, 3251 not supported by this kind of recordset,
//   3167 the edited row was deleted, 3204 database already exists (only CreateStandardDatabase), 3420
//   object invalid (closed), 3421 a value that does not fit its column, 3000 any other SQLite error.
//   GetErrorMessage gives a short English text naming the file or object.
// - A file is validated when it is opened: a file that is empty, lacks the SQLite header, is shorter than
//   its header says or whose schema cannot be read is error 3343 at Open. Damage found later is 3343 too.
// - A file's contents are not trusted: its views, triggers, defaults and stored queries, and any SQL run on
//   it, get core SQL only. Loading extensions, attaching other files and rewriting the schema are refused
//   (error 3000); a stored query that is not one SELECT is refused before it runs.
// - Typed values: a column's COleVariant type comes from its declared type: text (VT_BSTR) for CHAR, TEXT,
//   CLOB or MEMO; VT_I2 for SMALLINT, SHORT or INT2; VT_BOOL (true is -1) for BOOLEAN, BIT, YESNO or
//   LOGICAL; VT_I4 for the table's INTEGER PRIMARY KEY, a declared COUNTER, and any other declared type
//   containing INT or LONG; VT_R8 for REAL, FLOAT, DOUBLE. SQL NULL reads as VT_NULL. A column with no
//   declared type (or one matching none of these) reads by the value's storage class: integer VT_I4, real
//   VT_R8, text VT_BSTR. A value the column's type cannot hold reads as what it is rather than damaged:
//   text in an integer column is VT_BSTR, an integer too wide for VT_I2 / VT_I4 is VT_R8.
// - Declared types of the Access column types, for declared types that match none of the rules above:
//   BYTE is VT_UI1 (an integer 0 to 255); SINGLE is VT_R4; CURRENCY is VT_CY (stored as an integer scaled
//   by 10000, cyVal()); DECIMAL(p,s) is VT_DECIMAL (stored as an integer scaled by 10^s, or, beyond 64
//   bits, as a BLOB holding the exact decimal text; decimalText() gives the value as exact decimal text);
//   DATETIME is VT_DATE (stored as text "YYYY-MM-DD HH:MM:SS", local wall-clock time, date() gives the
//   OLE date: days since 1899-12-30, the fraction the time of day, also before that day; a number in such a
//   column reads by its storage class, as in a column of an unknown type); DATETIME2 is
//   text (VT_BSTR, "YYYY-MM-DD HH:MM:SS.fffffff"); GUID is text; VARBINARY and OLEOBJECT are
//   VT_ARRAY | VT_UI1 (a BLOB, bytes()). A stored value these types cannot hold reads as what it is:
//   text that is no date in a DATETIME column is VT_BSTR, a real in a CURRENCY column is rounded to the
//   nearest 1/10000.
// - SetFieldValue converts the value to the column's type (a number into a text column becomes its text);
//   a value that does not fit (70000 into SMALLINT, "abc" into INTEGER) is error 3421.
// - The default workspace is one per process. Every CDaoDatabase joins it while open; BeginTrans starts
//   BEGIN IMMEDIATE on every open database (BEGIN on a read-only one), CommitTrans / Rollback end it on
//   each; a database opened while a transaction runs joins it. Rollback when nothing was begun does nothing
//   and succeeds; CommitTrans then is error 3034. Transactions do not nest (BeginTrans twice is 3000).
//   Closing a database ends its part of a transaction without its changes; closing the workspace object
//   that began a transaction rolls it back.
// - A recordset opened on "[Name]" runs the stored query of that name from the table
//   StoredQueries (Name TEXT PRIMARY KEY, SQL TEXT NOT NULL); a table or view of that name serves when no
//   stored query has it. Parameters are bound by name (":Name" in the SQL); a parameter the query has and
//   the caller does not set, or one the caller sets and the query lacks, is error 3265. Output columns
//   and parameters match their names without regard to ASCII letter case ("[Module]" binds "Module").
//   Other SQL text runs as given (one SELECT); a bare name without brackets is taken as "[Name]". A
//   recordset's m_strFilter keeps the rows that meet it, in the query's order.
// - Moving: an empty result is BOF and EOF at once; MoveNext at EOF is 3021. MoveFirst runs the query
//   again (unless the recordset is on its first row already) or goes back to the table's first row; on an
//   empty result it leaves BOF and EOF set, without an error.
//   Query recordsets (dynaset, snapshot) are read-only: CanAppend / CanUpdate are FALSE.
// - Table-type recordsets (Open(tabledef, dbOpenTable, dbAppendOnly)) scan the table in rowid order and can
//   read, edit and append. After AddNew an auto-numbered column (INTEGER PRIMARY KEY) already holds the new
//   row's number (as SQLite will assign it), inserted explicitly by Update; columns not set keep their
//   DEFAULT. GetFieldValue after AddNew reads the edit buffer (an unset column reads as its default, or
//   Null). After Update of a new row the record that was current stays current. Columns are addressed by
//   0-based position.
// - Bookmarks (table-type recordsets only): a row's bookmark is its rowid, as an integer variant (VT_I2,
//   VT_I4, VT_I8, or VT_R8 holding a whole number). GetBookmark gives the current row's as VT_I8 (3021
//   without a current row). SetBookmark makes the row with that rowid current, read afresh, as if the scan
//   had reached it (MoveNext goes on from it); a bookmark of no row is 3159 and leaves the recordset at EOF.
//   A query recordset has no bookmarks: both calls are 3251 there.
// - DFX_Text fields are read whole, whatever their length; the size argument only sizes a buffer.
// - PostgreSQL (Linux; the Windows build has no PostgreSQL engine and refuses a URI with 3000):
//   - The database must exist; a URI that holds a password (user information or "password=") is refused
//     with 3000 before connecting, and no message shows a password (a password comes from ~/.pgpass,
//     PGPASSFILE or the service file). Messages name the database as its URI without a password.
//   - Time limits: connecting waits at most the URI's connect_timeout (5 s when it sets none); every
//     statement and every lock wait ends after the busy wait (statement_timeout and lock_timeout, see
//     SetBusyTimeoutForTesting), then fails with 3260 / 3218.
//   - Errors: no server, no such database or refused authentication is 3151 ("Could not connect to
//     '<URI>': <libpq's reason>"), also when the connection is lost later; undefined table 3078, undefined
//     column 3265, insufficient privilege 3027 on a change (3051 on a read), unique violation 3022, a
//     lock or statement timeout 3260 / 3218, anything else 3000.
//   - The standard layout keeps the names' letter case by quoting ("Items"."ItemId"). Every table has a
//     row key: its serial integer primary key (visible, as SQLite's INTEGER PRIMARY KEY), or else the
//     hidden bigserial column "RowKey", which table-type recordsets neither show nor count and "[Name]" of
//     a table leaves out. Table order is row-key order; bookmarks are row keys. After AddNew the serial
//     column holds the sequence's next number, past every number the table holds (the sequence is moved
//     on, so numbers may be skipped).
//   - Typed values by the result column's type: text, varchar, bpchar, name VT_BSTR; int2 VT_I2; bool
//     VT_BOOL; int4 VT_I4; int8 VT_I4 when it fits, else VT_R8; float4 VT_R4; float8 VT_R8; numeric
//     VT_DECIMAL; bytea VT_ARRAY | VT_UI1; timestamp VT_DATE; any other type its text. Values are bound as
//     text of the server's inferred parameter type (a boolean as 1 or 0).
//   - Stored queries hold PostgreSQL SQL with the same ":Name" parameters (outside literals, quoted
//     identifiers, comments and "::" casts). A query recordset's SQL must be one SELECT (or WITH, VALUES,
//     TABLE) without a word that changes data (INSERT, UPDATE, DELETE, INTO, ...): anything else is
//     refused with 3000 before it runs. Results are fetched whole; table-type recordsets read in batches.
//   - BeginTrans is BEGIN and a transaction-level advisory lock, which serialises the writers of one
//     database as BEGIN IMMEDIATE does on SQLite. A failed statement inside a transaction undoes only
//     itself (it runs in a savepoint), as on SQLite.
//   - A table-type recordset's CanAppend / CanUpdate are FALSE when the role may not INSERT / UPDATE the
//     table (or the session is read-only); writes then fail with 3027.
// - The objects of one process are used from one thread at a time (the default workspace is not locked).
// - Objects are not copyable. Destroying an open object closes it. Closing a database closes its recordsets
//   and table definitions; later calls on them are error 3420, never a crash.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/afx/afx.h"
#include "platform/win32/wtypes.h"

inline constexpr short AFX_DAO_TRUE = -1;
inline constexpr short AFX_DAO_FALSE = 0;

// A typed value. Equality: same type and same value (texts code unit by code unit); Null and Empty equal
// nothing, not even another Null.
class COleVariant {
 public:
  COleVariant() = default;  // VT_EMPTY
  explicit COleVariant(const CString& text) : m_vt(VT_BSTR), m_strVal(text) {}
  explicit COleVariant(const char16_t* text) : m_vt(VT_BSTR), m_strVal(text) {}
  COleVariant(long value, VARTYPE vt);  // vt is VT_I2, VT_I4 or VT_BOOL (non-zero is -1)
  static COleVariant Long(std::int32_t v) { return COleVariant(v, VT_I4); }
  static COleVariant Short(std::int16_t v) { return COleVariant(v, VT_I2); }
  static COleVariant Bool(bool v) { return COleVariant(v ? -1L : 0L, VT_BOOL); }
  static COleVariant Double(double v);
  static COleVariant Null();
  static COleVariant Byte(std::uint8_t v);
  static COleVariant LongLong(std::int64_t v);  // VT_I8 (bound as a 64-bit integer; no column reads as it)
  static COleVariant Single(float v);
  static COleVariant Currency(std::int64_t scaledBy10000);
  // An exact decimal: "-123.45" (an optional '-', digits, an optional '.' and digits). Normalised: no
  // leading zeros, "-0" is "0"; trailing zeros of the fraction are kept (they are the column's scale).
  static COleVariant Decimal(const std::string& text);
  static COleVariant Date(double oleDate);
  static COleVariant Binary(std::string bytes);  // VT_ARRAY | VT_UI1

  VARTYPE vt() const { return m_vt; }
  std::int32_t lVal() const { return static_cast<std::int32_t>(m_llVal); }  // VT_I2, VT_I4, VT_BOOL
  double dblVal() const { return m_dblVal; }
  const CString& bstrVal() const { return m_strVal; }
  std::uint8_t bVal() const { return static_cast<std::uint8_t>(m_llVal); }  // VT_UI1
  float fltVal() const { return static_cast<float>(m_dblVal); }             // VT_R4
  std::int64_t cyVal() const { return m_llVal; }  // VT_CY scaled by 10000; VT_I8 and VT_UI1 as they are
  const std::string& decimalText() const { return m_bytes; }  // VT_DECIMAL
  double date() const { return m_dblVal; }                    // VT_DATE
  const std::string& bytes() const { return m_bytes; }        // VT_ARRAY | VT_UI1

  bool operator==(const COleVariant& other) const;
  bool operator!=(const COleVariant& other) const { return !(*this == other); }

 private:
  VARTYPE m_vt = VT_EMPTY;
  std::int64_t m_llVal = 0;
  double m_dblVal = 0;
  CString m_strVal;
  std::string m_bytes;  // VT_DECIMAL text, VT_ARRAY | VT_UI1 bytes
};

class CDaoException {
 public:
  CDaoException(SCODE scode, CString message) : m_scode(scode), m_strMessage(std::move(message)) {}
  // Writes the message, cut to nMaxError - 1 characters, with a terminating zero; TRUE when it fitted.
  BOOL GetErrorMessage(LPWSTR lpszError, UINT nMaxError, UINT* pnHelpContext = nullptr) const;
  const CString& Message() const { return m_strMessage; }
  int EngineError() const { return static_cast<int>(static_cast<std::uint32_t>(m_scode) & 0xFFFF); }

  SCODE m_scode;

 private:
  CString m_strMessage;
};

inline constexpr SCODE MakeDaoScode(int engineError) {
  return static_cast<SCODE>(0x800A0000U + static_cast<std::uint32_t>(engineError));
}
inline constexpr SCODE E_DAO_FILE_NOT_FOUND = MakeDaoScode(3024);  // 0x800A0BD0

inline constexpr int dbOpenTable = 1;
inline constexpr int dbOpenDynaset = 2;
inline constexpr int dbOpenSnapshot = 4;
inline constexpr int AFX_DAO_USE_DEFAULT_TYPE = -1;
inline constexpr int dbAppendOnly = 8;
inline constexpr int dbFailOnError = 128;

namespace mivo::dao {
class Connection;  // the connection (of its engine) behind an open database (private to platform/dao)
class Cursor;      // the rows behind an open recordset (private to platform/dao)
struct Statement;  // the prepared statement of a query definition (private to platform/dao)
}  // namespace mivo::dao

class CDaoDatabase;
class CDaoRecordset;
class CDaoTableDef;
class CDaoQueryDef;

class CDaoWorkspace : public CObject {
 public:
  CDaoWorkspace();
  ~CDaoWorkspace() override;
  CDaoWorkspace(const CDaoWorkspace&) = delete;
  CDaoWorkspace& operator=(const CDaoWorkspace&) = delete;

  // Opens the default workspace (the name must be null).
  void Open(LPCWSTR lpszName = nullptr);
  void Close();
  BOOL IsOpen() const { return m_bOpen; }
  void BeginTrans();
  void CommitTrans();
  void Rollback();

 private:
  bool m_bOpen = false;
  bool m_bBeganTrans = false;  // this object began the running transaction
};

class CDaoDatabase : public CObject {
 public:
  explicit CDaoDatabase(CDaoWorkspace* pWorkspace = nullptr);
  ~CDaoDatabase() override;
  CDaoDatabase(const CDaoDatabase&) = delete;
  CDaoDatabase& operator=(const CDaoDatabase&) = delete;

  // Opens the file at lpszName (UTF-16 path). bExclusive and bReadOnly must be FALSE; lpszConnect "".
  void Open(LPCWSTR lpszName, BOOL bExclusive = FALSE, BOOL bReadOnly = FALSE, LPCWSTR lpszConnect = u"");
  void Close();  // closes the database's recordsets too
  BOOL IsOpen() const { return m_pConnection != nullptr; }
  BOOL CanUpdate() const;
  const CString& GetName() const { return m_strName; }
  // Runs SQL statements without parameters (3265 when one has a parameter); the changes count towards
  // GetRecordsAffected (of the last statement).
  void Execute(LPCWSTR lpszSQL, int nOptions = dbFailOnError);
  long GetRecordsAffected() const;

  mivo::dao::Connection* GetConnection() const { return m_pConnection.get(); }  // internal
  void Attach(CDaoRecordset* rs);                                               // internal
  void Detach(CDaoRecordset* rs);                                               // internal
  void Attach(CDaoTableDef* td);                                                // internal
  void Detach(CDaoTableDef* td);                                                // internal
  void Attach(CDaoQueryDef* qd);                                                // internal
  void Detach(CDaoQueryDef* qd);                                                // internal

 private:
  CString m_strName;
  std::unique_ptr<mivo::dao::Connection> m_pConnection;
  std::vector<CDaoRecordset*> m_Recordsets;
  std::vector<CDaoTableDef*> m_TableDefs;
  std::vector<CDaoQueryDef*> m_QueryDefs;
  long m_nRecordsAffected = 0;
};

class CDaoTableDef : public CObject {
 public:
  explicit CDaoTableDef(CDaoDatabase* pDatabase);
  ~CDaoTableDef() override;
  CDaoTableDef(const CDaoTableDef&) = delete;
  CDaoTableDef& operator=(const CDaoTableDef&) = delete;

  void Open(LPCWSTR lpszName);  // error 3078 when the table does not exist
  void Close();
  BOOL IsOpen() const { return m_bOpen; }
  const CString& GetName() const { return m_strName; }

  CDaoDatabase* m_pDatabase;

 private:
  friend class CDaoDatabase;
  CString m_strName;
  bool m_bOpen = false;
  CDaoDatabase* m_pAttachedTo = nullptr;
};

// A temporary query definition: one SQL statement prepared once and run with named parameters, as often
// as wanted. Closing its database closes it (later calls are 3420).
class CDaoQueryDef : public CObject {
 public:
  explicit CDaoQueryDef(CDaoDatabase* pDatabase);
  ~CDaoQueryDef() override;
  CDaoQueryDef(const CDaoQueryDef&) = delete;
  CDaoQueryDef& operator=(const CDaoQueryDef&) = delete;

  // Prepares lpszSQL (one statement). lpszName must be null or empty: query definitions are not stored.
  void Create(LPCWSTR lpszName = nullptr, LPCWSTR lpszSQL = nullptr);
  void Close();
  BOOL IsOpen() const { return m_pStatement != nullptr; }
  // Sets the parameter ":Name" (ASCII letter case ignored) for the following runs; 3265 when the
  // statement has none of that name.
  void SetParamValue(LPCWSTR lpszName, const COleVariant& varValue);
  // Runs the statement to its end; every parameter must have been set (3265 naming the first one not set).
  void Execute(int nOptions = dbFailOnError);
  long GetRecordsAffected() const { return m_nRecordsAffected; }

  CDaoDatabase* m_pDatabase;

 private:
  friend class CDaoDatabase;
  std::unique_ptr<mivo::dao::Statement> m_pStatement;
  CDaoDatabase* m_pAttachedTo = nullptr;
  CString m_strSQL;
  long m_nRecordsAffected = 0;
};

class CDaoFieldExchange;

// What GetFieldInfo tells of a column (of the framework's structure, the name only).
struct CDaoFieldInfo {
  CString m_strName;
};

class CDaoRecordset : public CObject {
  DECLARE_DYNAMIC(CDaoRecordset)

 public:
  explicit CDaoRecordset(CDaoDatabase* pDatabase = nullptr);
  ~CDaoRecordset() override;
  CDaoRecordset(const CDaoRecordset&) = delete;
  CDaoRecordset& operator=(const CDaoRecordset&) = delete;

  // Runs lpszSQL (or GetDefaultSQL() when null) as nOpenType (AFX_DAO_USE_DEFAULT_TYPE: m_nDefaultType),
  // with the fields and parameters that DoFieldExchange binds. Without a database, opens its own at
  // GetDefaultDBName() and closes it again in Close().
  virtual void Open(int nOpenType = AFX_DAO_USE_DEFAULT_TYPE, LPCWSTR lpszSQL = nullptr, int nOptions = 0);
  // A table-type recordset on an open table definition.
  virtual void Open(CDaoTableDef* pTableDef, int nOpenType = dbOpenTable, int nOptions = 0);
  virtual void Close();
  BOOL IsOpen() const;

  BOOL IsBOF() const;
  BOOL IsEOF() const;
  void MoveFirst();
  void MoveNext();
  // Bookmarks of table-type recordsets (see the contract above).
  COleVariant GetBookmark();
  void SetBookmark(const COleVariant& varBookmark);

  COleVariant GetFieldValue(int nIndex);
  void SetFieldValue(int nIndex, const COleVariant& varValue);
  short GetFieldCount() const;
  // The name of the column at 0-based nIndex (3265 beyond the last): the table's own for a table-type
  // recordset, the result column's for a query. Only m_strName is filled.
  void GetFieldInfo(int nIndex, CDaoFieldInfo& fieldinfo) const;

  BOOL CanAppend() const;
  BOOL CanUpdate() const;
  void AddNew();
  void Edit();
  void Update();
  void CancelUpdate();

  virtual CString GetDefaultDBName();
  virtual CString GetDefaultSQL();
  virtual void DoFieldExchange(CDaoFieldExchange* pFX);

  CDaoDatabase* m_pDatabase;
  int m_nFields = 0;
  int m_nParams = 0;
  int m_nDefaultType = dbOpenDynaset;
  // A condition in the engine's SQL (without WHERE) that the rows of a recordset opened afterwards must
  // meet; it names the query's output columns, or the table's columns, as "\"Module\" = 'A'" (standard SQL
  // works on both engines). A table-type recordset's scan and SetBookmark then find only such rows; AddNew
  // and Edit work as without.
  CString m_strFilter;

 private:
  void DetachFromDatabase();
  friend class CDaoDatabase;
  friend class CDaoFieldExchange;

  void RequireOpen() const;
  void OpenCursor(int nOpenType, const CString& source, bool fromTableDef);

  std::unique_ptr<CDaoDatabase> m_pOwnDatabase;
  std::unique_ptr<mivo::dao::Cursor> m_pCursor;
  CDaoDatabase* m_pAttachedTo = nullptr;
  CString m_strSource;  // what the recordset was opened on, for messages about it once closed
};

// Binding of a recordset's members to output columns (by name) and parameters (by name).
class CDaoFieldExchange {
 public:
  enum Operation { BindField, BindParam, Fixup };
  explicit CDaoFieldExchange(Operation op) : m_nOperation(op) {}
  // DoFieldExchange implementations switch between output columns and parameters with SetFieldType.
  enum FieldType { outputColumn = 0, param = 1 };
  void SetFieldType(FieldType type) { m_nFieldType = type; }

  Operation m_nOperation;
  FieldType m_nFieldType = outputColumn;
  // Filled by the DFX_ functions while binding (internal to platform/dao).
  struct Binding {
    CString name;
    CString* text = nullptr;
    short* short_value = nullptr;
  };
  std::vector<Binding> m_Fields;
  std::vector<Binding> m_Params;
};

inline constexpr DWORD AFX_DAO_ENABLE_FIELD_CACHE = 0x1;
inline constexpr DWORD AFX_DAO_DISABLE_FIELD_CACHE = 0x0;

void DFX_Text(CDaoFieldExchange* pFX, LPCWSTR lpszName, CString& value, int nPreAllocSize = 255,
              DWORD dwBindOptions = AFX_DAO_ENABLE_FIELD_CACHE);
void DFX_Short(CDaoFieldExchange* pFX, LPCWSTR lpszName, short& value,
               DWORD dwBindOptions = AFX_DAO_ENABLE_FIELD_CACHE);

namespace mivo::dao {

// How long an operation waits for a database that another connection has locked, before it fails with
// 3260 / 3218 (on PostgreSQL the lock_timeout and statement_timeout of the connection). The default is
// 5000 ms; tests shorten it. Applies to databases opened afterwards.
void SetBusyTimeoutForTesting(int milliseconds);

// The creating functions below take a PostgreSQL URI too: the database must exist (it is never created),
// is 3204 when it holds the table Items (CreateEmptyDatabase: StoredQueries) already, and everything is
// created in one transaction, so that a failure leaves nothing behind.
//
// Creates an empty database at utf8Path in the standard layout:
//   Items (Module TEXT, KeyString TEXT, ItemId INTEGER PRIMARY KEY AUTOINCREMENT, UserDefined BOOLEAN
//          DEFAULT 0),
//   Messages (ItemId INTEGER, LanguageId INTEGER, String TEXT),
//   Languages (Name TEXT, LanguageId INTEGER, Active BOOLEAN): one active row per flagged language and
//          always one for 99 (the configuration language), in the order given, 99 last unless listed,
//   StoredQueries (Name TEXT PRIMARY KEY, SQL TEXT NOT NULL) holding OfferKeyStrings, which yields
//          Module, KeyString, String of language :LanguageParameter in item order (rows of one item in
//          message order), leaving out items whose UserDefined is true when :UserFlag is 0,
//   and the indexes of StandardIndexesSql().
// Throws CDaoException 3204 when the file exists (it is left alone), 3000 when it cannot be created; a
// half-written file is removed.
void CreateStandardDatabase(const std::string& utf8Path, const std::vector<int>& flaggedLanguages);

// The engine a database name asks for: a name beginning "postgresql://" or "postgres://" is a PostgreSQL
// database (a libpq connection URI), any other the path of an SQLite file.
enum class Engine { kSqlite, kPostgres };
Engine EngineOfName(std::string_view utf8Name);

// The SQL of the standard OfferKeyStrings query, in the engine's dialect.
const char* StandardOfferKeyStringsSql(Engine engine = Engine::kSqlite);

// The row key in SQL: "rowid" on SQLite, "RowKey" (quoted) on PostgreSQL, for ordering the tables that have
// no serial primary key in table order.
const char* RowKeySql(Engine engine);

// The indexes of the standard layout, the one text of their DDL per engine (CREATE INDEX IF NOT EXISTS
// statements): MessagesByItem on Messages (ItemId, LanguageId) and ItemsByKey on Items (KeyString COLLATE
// BINARY, Module COLLATE BINARY; on PostgreSQL COLLATE "C"), which the configuration writer's look-ups use
// when a database has them.
const char* StandardIndexesSql(Engine engine = Engine::kSqlite);

// The SQL that makes those of `tables` that belong to the standard layout (Items, Messages, Languages,
// StoredQueries, by their exact names) send the change notifications of platform/dao/changes.h; empty for
// an engine without change feeds (SQLite).
std::string ChangeNotificationsSql(Engine engine, const std::vector<std::string>& tables);

// Adds the indexes of StandardIndexesSql() that the database at utf8Path lacks (by name), in one
// transaction; returns the names of those it created (none when it had them all). Throws CDaoException:
// 3024 no such file, 3343 not a database, 3027 read-only, 3078 no table Items or Messages, 3000 when a
// statement fails (a column missing, a name taken by another object).
std::vector<std::string> CreateStandardIndexes(const std::string& utf8Path);

// Creates a database at utf8Path holding only the empty table StoredQueries (Name TEXT PRIMARY KEY, SQL
// TEXT NOT NULL), for a caller that writes its own tables. Errors as CreateStandardDatabase.
void CreateEmptyDatabase(const std::string& utf8Path);

// OLE dates (VT_DATE): days since 1899-12-30, the fraction the time of day; before that day the whole
// days count back and the fraction is still the time of day forward (-1.25 is 1899-12-29 06:00).
// OleDateText gives "YYYY-MM-DD HH:MM:SS", rounded to the second, for years 1 to 9999 (nullopt outside,
// or for NaN). OleDateFromText accepts "YYYY-MM-DD" and "YYYY-MM-DD HH:MM[:SS[.fraction]]" (or 'T'
// between), years 1 to 9999; nullopt for anything else.
std::optional<std::string> OleDateText(double oleDate);
std::optional<double> OleDateFromText(std::string_view text);

}  // namespace mivo::dao
