#include "textstore/db/DaoRecordsets.h"

IMPLEMENT_DYNAMIC(CDaoLanguage, CDaoRecordset)
IMPLEMENT_DYNAMIC(CDaoConfig, CDaoRecordset)

CDaoOfferKeyStrings::CDaoOfferKeyStrings(const CString& path, CDaoDatabase* pDatabase)
    : CDaoRecordset(pDatabase), m_strDataBase(path) {
  m_nFields = 3;
  m_nParams = 2;
  m_nDefaultType = dbOpenDynaset;
}

void CDaoOfferKeyStrings::SetParameters(short languageId, BOOL flag) {
  m_nLanguageParameter = languageId;
  m_nUserFlag = flag ? 1 : 0;
}

void CDaoOfferKeyStrings::GetValues(CString& module, CString& key, CString& text) const {
  module = m_strModule;
  key = m_strKeyString;
  text = m_strString;
}

CString CDaoOfferKeyStrings::GetDefaultDBName() { return m_strDataBase; }

CString CDaoOfferKeyStrings::GetDefaultSQL() { return u"[OfferKeyStrings]"; }

void CDaoOfferKeyStrings::DoFieldExchange(CDaoFieldExchange* pFX) {
  pFX->SetFieldType(CDaoFieldExchange::outputColumn);
  DFX_Text(pFX, u"[Module]", m_strModule, 255, AFX_DAO_ENABLE_FIELD_CACHE);
  DFX_Text(pFX, u"[KeyString]", m_strKeyString, 255, AFX_DAO_ENABLE_FIELD_CACHE);
  DFX_Text(pFX, u"[String]", m_strString, 255, AFX_DAO_ENABLE_FIELD_CACHE);
  pFX->SetFieldType(CDaoFieldExchange::param);
  DFX_Short(pFX, u"LanguageParameter", m_nLanguageParameter, AFX_DAO_ENABLE_FIELD_CACHE);
  DFX_Short(pFX, u"UserFlag", m_nUserFlag, AFX_DAO_ENABLE_FIELD_CACHE);
}

CString SqlQuoted(const CString& text, char16_t quote) {
  CString quoted(1, quote);
  for (char16_t c : text) {
    quoted += c;
    if (c == quote) quoted += c;
  }
  return quoted + quote;
}

CString ItemsFilter(const std::vector<std::pair<CString, CString>>& items) {
  auto equal = [](const char16_t* column, const CString& value) {
    const CString name = SqlQuoted(column, u'"'), literal = SqlQuoted(value, u'\'');
    return u"(" + name + u" = " + literal + u" OR CAST(" + name + u" AS TEXT) = " + literal + u")";
  };
  CString filter;
  for (const auto& [module, key] : items) {
    if (!filter.empty()) filter += u" OR ";
    filter += u"(" + equal(u"Module", module) + u" AND " + equal(u"KeyString", key) + u")";
  }
  return filter;
}

void ReportEngineError(const CDaoException& e) {
  WCHAR buffer[256] = {};
  e.GetErrorMessage(buffer, 255);
  AfxMessageBox(CString(buffer), MB_OK | MB_ICONEXCLAMATION);
}
