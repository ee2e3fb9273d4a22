// Language start-up, selection and loading.
#include <cstdio>
#include <cwchar>
#include <utility>

#include "app/Constants.h"
#include "app/MivoDBApp.h"
#include "platform/win32/winnls.h"
#include "textstore/db/DaoRecordsets.h"

namespace {

CString FormatLanguageId(WORD id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08hX", id);
  return CString(buf, buf + 8);
}

// "%hx": leading blanks, an optional 0x, then hexadecimal digits; FALSE when no digit is found.
BOOL ParseHexLanguageId(const CString& text, WORD& id) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\n')) ++i;
  if (i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) i += 2;
  unsigned value = 0;
  bool any = false;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    unsigned digit;
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    else if (c >= u'a' && c <= u'f')
      digit = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
      digit = c - u'A' + 10;
    else
      break;
    value = value * 16 + digit;
    any = true;
  }
  if (!any) return FALSE;
  id = static_cast<WORD>(value);
  return TRUE;
}

// Stores the rows of a database, each one when the next has been read: the place of a row's key in its
// module's table is fetched into the cache meanwhile (rows in item order are spread over all the modules,
// so that place is rarely cached when the row comes).
class DelayedStore {
 public:
  explicit DelayedStore(CModuleMap& modules) : modules_(modules) {}

  // Stores the row kept before and keeps this one; its text is taken (`text` gets other contents).
  void Add(const CString& module, const CString& key, CString& text) {
    CModuleEntry* entry = modules_.GetOrAddEntry(module);
    entry->m_Strings.Prefetch(key);
    Flush();
    entry_ = entry;
    key_ = key;
    text_.swap(text);
  }
  // Stores the row kept, if any.
  void Flush() {
    if (CModuleEntry* entry = std::exchange(entry_, nullptr)) entry->SetString(key_, text_);
  }

 private:
  CModuleMap& modules_;
  CModuleEntry* entry_ = nullptr;
  CString key_, text_;
};

}  // namespace

void CMivoDBApp::InitLanguages() {
  DWORD value = 0;
  BOOL userFlag = TRUE;
  if (m_UserKey.QueryDWordValue(g_strUserLang, value)) userFlag = value;

  if (m_UserKey.QueryDWordValue(g_strFallBackLanguageId, value)) {
    m_wFallbackLanguageId = LOWORD(value);
    if (m_wFallbackLanguageId != 0) m_pFallbackStrings->LoadLanguage(m_wFallbackLanguageId, FALSE);
  }

  CString text;
  if (m_UserKey.QueryDWordValue(g_strLanguageId, value)) {
    m_wCurLanguageId = LOWORD(value);
  } else if (m_UserKey.QueryStringValue(g_strLanguage, text)) {
    WORD parsed = 0;
    if (ParseHexLanguageId(text, parsed)) m_wCurLanguageId = parsed;
  } else {
    m_wCurLanguageId = GetUserDefaultLangID();
  }

  if (!IsFallbackLanguage(m_wCurLanguageId)) m_pLanguageStrings->LoadLanguage(m_wCurLanguageId, userFlag);
}

BOOL CMivoDBApp::SetLanguage(WORD wLanguageId, BOOL bUserFlag) {
  if (wLanguageId == m_wCurLanguageId) return TRUE;
  m_wCurLanguageId = wLanguageId;
  if (IsFallbackLanguage(wLanguageId)) return TRUE;
  return m_pLanguageStrings->LoadLanguage(wLanguageId, bUserFlag);
}

BOOL CMivoDBApp::RefreshLangDB() { return m_pLanguageStrings->Reload(); }

BOOL CMivoDBApp::GetLanguageText(CString& text, const CString* module, const CString* key) const {
  if (IsFallbackLanguage(m_wCurLanguageId))
    return m_pFallbackStrings->LookupLanguageString(text, module, key);
  if (m_pLanguageStrings->LookupLanguageString(text, module, key)) return TRUE;
  return m_pFallbackStrings->LookupLanguageString(text, module, key);
}

BOOL CStringMap::LoadLanguage(WORD wLanguageId, BOOL bUserFlag) {
  if (wLanguageId == m_wLanguageId) return TRUE;
  return ReadLanguage(wLanguageId, bUserFlag, m_LanguageModules);
}

BOOL CStringMap::ReadLanguage(WORD wLanguageId, BOOL bUserFlag, CModuleMap& modules) {
  CMivoDBApp* app = GetMivoDBApp();
  const CRegKey machineList(app ? app->m_MachineKey.m_hKey : nullptr, g_strLanguageDataBases);
  const CRegKey userList(app ? app->m_UserKey.m_hKey : nullptr, g_strLanguageDataBases);

  if (m_nKind != kFallbackStore && app != nullptr) {
    app->m_UserKey.SetStringValue(g_strLanguage, FormatLanguageId(wLanguageId));
    app->m_UserKey.SetDWordValue(g_strLanguageId, wLanguageId);
    app->m_UserKey.SetDWordValue(g_strUserLang, static_cast<DWORD>(bUserFlag));
  }

  m_wLanguageId = wLanguageId;
  m_bUserFlag = bUserFlag;
  modules.RemoveAllEntries();

  CStringArray machineNames, userNames;
  machineList.EnumValueNames(machineNames);
  userList.EnumValueNames(userNames);

  BOOL result = TRUE;
  if (m_nKind == kConfigStore) return result;
  for (const auto& [list, names] :
       {std::pair{&machineList, &machineNames}, std::pair{&userList, &userNames}}) {
    for (const CString& name : *names) {
      CString path;
      if (!list->QueryPathValue(name, path)) continue;
      if (!ReadLanguageDataBase(path, modules)) result = FALSE;
    }
  }
  return result;
}

BOOL CStringMap::LoadLanguageDataBase(const CString& path) {
  return ReadLanguageDataBase(path, m_LanguageModules);
}

BOOL CStringMap::ReadLanguageDataBase(const CString& path, CModuleMap& modules) {
  // Every row read before a failure is stored, as when each row was stored at once.
  DelayedStore store(modules);
  try {
    ReadOfferKeyStrings<CDaoLanguage>(
        path, static_cast<short>(m_wLanguageId), m_bUserFlag ? TRUE : FALSE,
        [this, &store](const CString& module, const CString& key, CString& text) {
          text = ConvertText(std::move(text));
          store.Add(module, key, text);
        });
    store.Flush();
    return TRUE;
  } catch (const CDaoException& e) {
    store.Flush();
    if (e.m_scode != E_DAO_FILE_NOT_FOUND) ReportEngineError(e);
    return FALSE;
  } catch (...) {
    store.Flush();
    throw;
  }
}

BOOL CStringMap::Reload() {
  // A refresh re-reads the databases of the language the store holds (a store that was never loaded,
  // language 0, stays as it is), or the configuration. It fills a new table and takes it only when every
  // database was read: a database that is missing, damaged or locked at the moment of the refresh must
  // not cost the clients the texts they were served until then.
  if (m_nKind != kConfigStore && m_wLanguageId == 0) return TRUE;
  CModuleMap fresh;
  const BOOL result =
      m_nKind == kConfigStore ? ReadConfig(fresh) : ReadLanguage(m_wLanguageId, m_bUserFlag, fresh);
  if (result) (m_nKind == kConfigStore ? m_ConfigModules : m_LanguageModules).Swap(fresh);
  return result;
}
