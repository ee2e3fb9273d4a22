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

CString ItemsFilter(const std::vector<std::pair<CString, CString>>& items) {
  // CAST: text compared as text, without a collation the table's columns may declare.
  auto literal = [](const CString& text) {
    CString quoted = u"'";
    for (char16_t c : text) {
      quoted += c;
      if (c == u'\'') quoted += c;
    }
    return quoted + u"'";
  };
  CString filter;
  for (const auto& [module, key] : items) {
    if (!filter.empty()) filter += u" OR ";
    filter += u"(CAST(\"Module\" AS TEXT) = " + literal(module) + u" AND CAST(\"KeyString\" AS TEXT) = " +
              literal(key) + u")";
  }
  return filter;
}

void ReportEngineError(const CDaoException& e) {
  WCHAR buffer[256] = {};
  e.GetErrorMessage(buffer, 255);
  AfxMessageBox(CString(buffer), MB_OK | MB_ICONEXCLAMATION);
}
