// Helpers for the tests of the database classes: catching engine errors, a fixture with a database built
// with SQLite's own API (never through the classes under test), and a recordset of the language readers.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/dao/afxdao.h"
#include "support/TestEnv.h"

namespace mivo::test {

// The CDaoException that `f` throws; a test failure (and an exception with scode 0) when it throws none.
inline CDaoException CatchDao(const std::function<void()>& f) {
  try {
    f();
  } catch (const CDaoException& e) {
    return e;
  }
  ADD_FAILURE() << "expected a CDaoException";
  return CDaoException(0, u"");
}

// Whether the exception's message mentions `what`.
inline bool Mentions(const CDaoException& e, const std::string& what) {
  return Utf8(e.Message()).find(what) != std::string::npos;
}

// A fixture with an empty database in the standard layout at path_, in a fresh folder.
class LanguageDbTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeStandardDb(path_); }
  void Sql(const std::string& sql) { ExecSql(path_, sql); }
  std::string Query(const std::string& sql) { return QueryText(path_, sql); }

  TempDir dir_;
  std::string path_ = dir_.File("lang.db");
};

// A recordset with the members and bindings of the language readers: three texts out, two 16-bit
// parameters in, its own database at the path given.
class LanguageRecordset : public CDaoRecordset {
 public:
  explicit LanguageRecordset(const std::string& path, short language = 0, short userFlag = 1)
      : CDaoRecordset(nullptr), path_(U(path)), m_nLanguageParameter(language), m_nUserFlag(userFlag) {
    m_nFields = 3;
    m_nParams = 2;
    m_nDefaultType = dbOpenDynaset;
  }
  CString GetDefaultDBName() override { return path_; }
  CString GetDefaultSQL() override { return u"[OfferKeyStrings]"; }
  void DoFieldExchange(CDaoFieldExchange* pFX) override {
    pFX->SetFieldType(CDaoFieldExchange::outputColumn);
    DFX_Text(pFX, u"[Module]", m_strModule, 255, AFX_DAO_ENABLE_FIELD_CACHE);
    DFX_Text(pFX, u"[KeyString]", m_strKeyString, 255, AFX_DAO_ENABLE_FIELD_CACHE);
    DFX_Text(pFX, u"[String]", m_strString, 255, AFX_DAO_ENABLE_FIELD_CACHE);
    pFX->SetFieldType(CDaoFieldExchange::param);
    DFX_Short(pFX, u"LanguageParameter", m_nLanguageParameter, AFX_DAO_ENABLE_FIELD_CACHE);
    DFX_Short(pFX, u"UserFlag", m_nUserFlag, AFX_DAO_ENABLE_FIELD_CACHE);
  }

  CString path_;
  CString m_strModule, m_strKeyString, m_strString;
  short m_nLanguageParameter;
  short m_nUserFlag;
};

// Reads every row the way the language loader does: "module|key|text" lines.
inline std::vector<std::string> ReadAll(LanguageRecordset& rs) {
  std::vector<std::string> rows;
  rs.Open(AFX_DAO_USE_DEFAULT_TYPE, nullptr, 0);
  if (!rs.IsBOF()) rs.MoveFirst();
  while (!rs.IsEOF()) {
    rows.push_back(Utf8(rs.m_strModule + u"|" + rs.m_strKeyString + u"|" + rs.m_strString));
    rs.MoveNext();
  }
  rs.Close();
  return rows;
}

}  // namespace mivo::test
