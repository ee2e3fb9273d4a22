// The framework's database classes over SQLite.
//
// Contract:
// - A database is an SQLite 3 file. Opening never creates a file. A file the process may only read opens
//   read-only (CanAppend() is then FALSE on its recordsets, and writes fail).
// - Every failure is thrown as a CDaoException (by value) whose m_scode is 0x800A0000 + the engine error
//   number: 3024 file not found, 3078 table or query not found, 3265 column or parameter not found, 3343
//   not a database, 3260 / 3218 locked (after the busy wait of a few seconds), 3021 no current record,
//   3020 update without AddNew/Edit, 3027 database or object is read-only, 3420 object invalid (closed),
//   3000 any other SQLite error. GetErrorMessage gives a short English text naming the file or object.
// - Typed values: a column's COleVariant type comes from its declared type: text (VT_BSTR) for CHAR, TEXT,
//   CLOB or MEMO; VT_I2 for SMALLINT, SHORT or INT2; VT_BOOL (true is -1) for BOOLEAN, BIT, YESNO or
//   LOGICAL; VT_I4 for the table's INTEGER PRIMARY KEY, a declared COUNTER, and any other declared type
//   containing INT or LONG; VT_R8 for REAL, FLOAT, DOUBLE. SQL NULL reads as VT_NULL.
// - The default workspace is one per process. Every CDaoDatabase joins it while open; BeginTrans starts
//   BEGIN IMMEDIATE on every open database, CommitTrans / Rollback end it on each. Rollback when nothing
//   was begun does nothing and succeeds.
// - A recordset opened on "[Name]" runs the stored query of that name from the table
//   StoredQueries (Name TEXT PRIMARY KEY, SQL TEXT NOT NULL); a table or view of that name serves when no
//   stored query has it. Parameters are bound by name (":Name" in the SQL); a parameter the query has and
//   the caller does not set, or one the caller sets and the query lacks, is error 3265.
// - Table-type recordsets (Open(tabledef, dbOpenTable, dbAppendOnly)) scan the table in rowid order and can
//   read, edit and append. After AddNew an auto-numbered column (INTEGER PRIMARY KEY) already holds the new
//   row's number. Columns are addressed by 0-based position.
// - DFX_Text fields are read whole, whatever their length; the size argument only sizes a buffer.
// - Objects are not copyable. Destroying an open object closes it. Closing a database closes its recordsets.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
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
  explicit COleVariant(const CString& text) : vt_(VT_BSTR), text_(text) {}
  explicit COleVariant(const char16_t* text) : vt_(VT_BSTR), text_(text) {}
  COleVariant(long value, VARTYPE vt);  // vt is VT_I2, VT_I4 or VT_BOOL (non-zero is -1)
  static COleVariant Long(std::int32_t v) { return COleVariant(v, VT_I4); }
  static COleVariant Short(std::int16_t v) { return COleVariant(v, VT_I2); }
  static COleVariant Bool(bool v) { return COleVariant(v ? -1L : 0L, VT_BOOL); }
  static COleVariant Double(double v);
  static COleVariant Null();

  VARTYPE vt() const { return vt_; }
  std::int32_t lVal() const { return static_cast<std::int32_t>(int_); }  // VT_I2, VT_I4, VT_BOOL
  double dblVal() const { return dbl_; }
  const CString& bstrVal() const { return text_; }

  bool operator==(const COleVariant& other) const;
  bool operator!=(const COleVariant& other) const { return !(*this == other); }

 private:
  VARTYPE vt_ = VT_EMPTY;
  std::int64_t int_ = 0;
  double dbl_ = 0;
  CString text_;
};

class CDaoException {
 public:
  CDaoException(SCODE scode, CString message) : m_scode(scode), message_(std::move(message)) {}
  // Writes the message, cut to nMaxError - 1 characters, with a terminating zero; TRUE when it fitted.
  BOOL GetErrorMessage(LPWSTR lpszError, UINT nMaxError, UINT* pnHelpContext = nullptr) const;
  const CString& Message() const { return message_; }
  int EngineError() const { return static_cast<int>(static_cast<std::uint32_t>(m_scode) & 0xFFFF); }

  SCODE m_scode;

 private:
  CString message_;
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

namespace mivo::dao {
class Connection;  // the SQLite connection behind an open database (private to platform/dao)
class Cursor;      // the rows behind an open recordset (private to platform/dao)
}  // namespace mivo::dao

class CDaoDatabase;
class CDaoRecordset;

class CDaoWorkspace : public CObject {
 public:
  CDaoWorkspace();
  ~CDaoWorkspace() override;
  CDaoWorkspace(const CDaoWorkspace&) = delete;
  CDaoWorkspace& operator=(const CDaoWorkspace&) = delete;

  // Opens the default workspace (the name must be null).
  void Open(LPCWSTR lpszName = nullptr);
  void Close();
  BOOL IsOpen() const { return open_; }
  void BeginTrans();
  void CommitTrans();
  void Rollback();

 private:
  bool open_ = false;
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
  BOOL IsOpen() const { return conn_ != nullptr; }
  BOOL CanUpdate() const;
  const CString& GetName() const { return name_; }

  mivo::dao::Connection* connection() const { return conn_.get(); }  // internal
  void Attach(CDaoRecordset* rs);                                    // internal
  void Detach(CDaoRecordset* rs);                                    // internal

 private:
  CString name_;
  std::unique_ptr<mivo::dao::Connection> conn_;
  std::vector<CDaoRecordset*> recordsets_;
};

class CDaoTableDef : public CObject {
 public:
  explicit CDaoTableDef(CDaoDatabase* pDatabase);
  ~CDaoTableDef() override;
  CDaoTableDef(const CDaoTableDef&) = delete;
  CDaoTableDef& operator=(const CDaoTableDef&) = delete;

  void Open(LPCWSTR lpszName);  // error 3078 when the table does not exist
  void Close();
  BOOL IsOpen() const { return open_; }
  const CString& GetName() const { return name_; }

  CDaoDatabase* m_pDatabase;

 private:
  CString name_;
  bool open_ = false;
};

class CDaoFieldExchange;

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

  COleVariant GetFieldValue(int nIndex);
  void SetFieldValue(int nIndex, const COleVariant& varValue);
  short GetFieldCount() const;

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

 private:
  void DetachFromDatabase();
  friend class CDaoDatabase;
  friend class CDaoFieldExchange;

  std::unique_ptr<CDaoDatabase> ownDatabase_;
  std::unique_ptr<mivo::dao::Cursor> cursor_;
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
    short* shortValue = nullptr;
  };
  std::vector<Binding> fields;
  std::vector<Binding> params;
};

inline constexpr DWORD AFX_DAO_ENABLE_FIELD_CACHE = 0x1;
inline constexpr DWORD AFX_DAO_DISABLE_FIELD_CACHE = 0x0;

void DFX_Text(CDaoFieldExchange* pFX, LPCWSTR lpszName, CString& value, int nPreAllocSize = 255,
              DWORD dwBindOptions = AFX_DAO_ENABLE_FIELD_CACHE);
void DFX_Short(CDaoFieldExchange* pFX, LPCWSTR lpszName, short& value,
               DWORD dwBindOptions = AFX_DAO_ENABLE_FIELD_CACHE);
