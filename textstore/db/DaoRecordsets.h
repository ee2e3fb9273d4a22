// The recordsets over the stored query OfferKeyStrings: rows of module name, key string and text of one
// language. CDaoLanguage serves the language loader, CDaoConfig the configuration loader and writers.
//
// Constructed with a database path and no database, a recordset opens its own database at that path when
// opened with the class defaults, and closes it in Close(). Engine failures arrive as CDaoException.
#pragma once

#include <utility>
#include <vector>

#include "platform/dao/afxdao.h"

class CDaoOfferKeyStrings : public CDaoRecordset {
 public:
  CDaoOfferKeyStrings(const CString& path, CDaoDatabase* pDatabase);
  ~CDaoOfferKeyStrings() override = default;

  // LanguageParameter = id; UserFlag = 1 when `flag` is non-zero, else 0.
  void SetParameters(short languageId, BOOL flag);
  // Copies the current row's module name, key string and text.
  void GetValues(CString& module, CString& key, CString& text) const;

  CString GetDefaultDBName() override;
  CString GetDefaultSQL() override;
  void DoFieldExchange(CDaoFieldExchange* pFX) override;

  CString m_strDataBase;
  CString m_strModule;
  CString m_strKeyString;
  CString m_strString;
  short m_nLanguageParameter = 0;
  short m_nUserFlag = 0;
};

class CDaoLanguage : public CDaoOfferKeyStrings {
  DECLARE_DYNAMIC(CDaoLanguage)

 public:
  explicit CDaoLanguage(const CString& path, CDaoDatabase* pDatabase = nullptr)
      : CDaoOfferKeyStrings(path, pDatabase) {}
};

class CDaoConfig : public CDaoOfferKeyStrings {
  DECLARE_DYNAMIC(CDaoConfig)

 public:
  explicit CDaoConfig(const CString& path, CDaoDatabase* pDatabase = nullptr)
      : CDaoOfferKeyStrings(path, pDatabase) {}

  // The writers of config/ConfigWriter.cpp. Each works on the database at m_strDataBase in one transaction
  // of the default workspace and never opens this recordset. FALSE after a handled engine failure (reported
  // with a message); a failure to open the workspace or of the rollback is thrown to the caller.
  BOOL AddKeyString(const CString& module, const CString& key, const CString& text);
  BOOL UpdateKeyString(const CString& module, const CString& key, const CString& text);
};

// Shows an engine failure's text (at most 255 characters) in a message box with an OK button.
void ReportEngineError(const CDaoException& e);

// `text` in SQL: in `quote` characters (' for a literal, " for a name), each one inside written twice.
CString SqlQuoted(const CString& text, char16_t quote);

// The filter (CDaoRecordset::m_strFilter) that keeps the rows whose columns Module and KeyString (of a
// table, or of OfferKeyStrings) hold one of `items`: a superset of the rows that hold them exactly, since
// the values are compared as they stand (in the column's collation) or cast to text; callers compare the
// rows they read again.
CString ItemsFilter(const std::vector<std::pair<CString, CString>>& items);

// Reads every row of the database at `path` for (languageId, flag) through `Recordset`, or only those that
// meet `filter`, and hands each row to `sink(module, key, text)`: the recordset's bound members, overwritten
// by the next row; the sink may take the text's storage (and leave any other contents there). Engine
// failures pass to the caller.
template <class Recordset, class Sink>
void ReadOfferKeyStrings(const CString& path, short languageId, BOOL flag, Sink&& sink,
                         const CString& filter = CString()) {
  Recordset rs(path);
  rs.SetParameters(languageId, flag);
  rs.m_strFilter = filter;
  rs.Open(AFX_DAO_USE_DEFAULT_TYPE, nullptr, 0);
  if (!rs.IsBOF()) rs.MoveFirst();
  while (!rs.IsEOF()) {
    sink(rs.m_strModule, rs.m_strKeyString, rs.m_strString);  // the bound members: no copies
    rs.MoveNext();
  }
  rs.Close();
}
