#include "automation/MivoDBOLE.h"

#include "app/Constants.h"
#include "app/MivoDBApp.h"

IMPLEMENT_DYNCREATE(CMivoDBOLE, CCmdTarget)

// {6D1B7C2E-4A35-4F0B-9C8E-3E5A2D7F1B40}
const CLSID CLSID_MivoDBOLE = {0x6D1B7C2E, 0x4A35, 0x4F0B, {0x9C, 0x8E, 0x3E, 0x5A, 0x2D, 0x7F, 0x1B, 0x40}};

namespace {
COleObjectFactory g_factory(CLSID_MivoDBOLE, RUNTIME_CLASS(CMivoDBOLE), FALSE, kProgId);

CMivoDBApp& App() { return *GetMivoDBApp(); }
}  // namespace

BEGIN_DISPATCH_MAP(CMivoDBOLE, CCmdTarget)
DISP_FUNCTION_ID(CMivoDBOLE, "SetLanguage", 1, SetLanguage, VT_BOOL, VTS_I2 VTS_BOOL)
DISP_FUNCTION_ID(CMivoDBOLE, "GetLanguageString", 2, GetLanguageString, VT_BSTR, VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CMivoDBOLE, "GetLanguageString2", 3, GetLanguageString2, VT_BOOL,
                 VTS_PBSTR VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CMivoDBOLE, "AddLogLine", 4, AddLogLine, VT_BOOL,
                 VTS_DATE VTS_I2 VTS_BSTR VTS_BSTR VTS_I2 VTS_BSTR VTS_BSTR VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CMivoDBOLE, "SetConfigString", 5, SetConfigString, VT_BOOL, VTS_BSTR VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CMivoDBOLE, "GetConfigString", 6, GetConfigString, VT_BSTR, VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CMivoDBOLE, "GetConfigString2", 7, GetConfigString2, VT_BOOL, VTS_PBSTR VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CMivoDBOLE, "GetCurCharsetCode", 8, GetCurCharsetCode, VT_I2, VTS_NONE)
DISP_FUNCTION_ID(CMivoDBOLE, "RefreshConfDB", 9, RefreshConfDB, VT_BOOL, VTS_NONE)
DISP_FUNCTION_ID(CMivoDBOLE, "RefreshLangDB", 10, RefreshLangDB, VT_BOOL, VTS_NONE)
END_DISPATCH_MAP(CMivoDBOLE, CCmdTarget)

CMivoDBOLE::CMivoDBOLE() {
  EnableAutomation();
  AfxOleLockApp();
}

CMivoDBOLE::~CMivoDBOLE() { AfxOleUnlockApp(); }

void CMivoDBOLE::OnFinalRelease() { CCmdTarget::OnFinalRelease(); }

BOOL CMivoDBOLE::GetLanguageText(CString& text, const CString* module, const CString* key) {
  return App().GetLanguageText(text, module, key);
}

BOOL CMivoDBOLE::SetLanguage(short nLanguageId, BOOL bUserFlag) {
  const WORD before = App().m_wCurLanguageId;
  const BOOL result = App().SetLanguage(static_cast<WORD>(nLanguageId), bUserFlag);
  if (App().m_wCurLanguageId != before) AfxOleLanguageChanged(static_cast<short>(App().m_wCurLanguageId));
  return result;
}

CString CMivoDBOLE::GetLanguageString(const CString* module, const CString* key) {
  CString text;
  GetLanguageText(text, module, key);
  return text;
}

BOOL CMivoDBOLE::GetLanguageString2(BSTR* text, const CString* module, const CString* key) {
  CString result;
  const BOOL found = GetLanguageText(result, module, key);
  SetSysString(text, result);
  return found;
}

BOOL CMivoDBOLE::AddLogLine(DATE, short, const CString*, const CString*, short, const CString*,
                            const CString*, const CString*, const CString*) {
  return FALSE;
}

BOOL CMivoDBOLE::SetConfigString(const CString* value, const CString* module, const CString* key) {
  CStringMap& config = *App().m_pConfigStrings;
  CString before, after;
  const BOOL existed = config.LookupConfigString(before, module, key);
  const BOOL result = config.WriteConfigString(value, module, key);
  const BOOL exists = config.LookupConfigString(after, module, key);
  if (exists != existed || after != before) {
    AfxOleConfigChanged(module ? *module : CString(), key ? *key : CString(), after);
  }
  return result;
}

CString CMivoDBOLE::GetConfigString(const CString* module, const CString* key) {
  CString value;
  App().m_pConfigStrings->LookupConfigString(value, module, key);
  return value;
}

BOOL CMivoDBOLE::GetConfigString2(BSTR* value, const CString* module, const CString* key) {
  CString result;
  const BOOL found = App().m_pConfigStrings->LookupConfigString(result, module, key);
  SetSysString(value, result);
  return found;
}

short CMivoDBOLE::GetCurCharsetCode() { return App().m_pLanguageStrings->GetCharsetCode(); }

BOOL CMivoDBOLE::RefreshConfDB() {
  const BOOL result = App().m_pConfigStrings->Reload();
  if (result) AfxOleReloaded("config");
  return result;
}

BOOL CMivoDBOLE::RefreshLangDB() {
  const bool loaded = App().m_pLanguageStrings->m_wLanguageId != 0;  // a store never loaded is not read
  const BOOL result = App().RefreshLangDB();
  if (result && loaded) AfxOleReloaded("language");
  return result;
}

CBatchLookups::Answer CMivoDBOLE::LookupLanguageString(const CString& module, const CString& key) {
  Answer answer;
  answer.found = GetLanguageText(answer.text, &module, &key);
  return answer;
}

CBatchLookups::Answer CMivoDBOLE::LookupConfigString(const CString& module, const CString& key) {
  Answer answer;
  answer.found = App().m_pConfigStrings->LookupConfigString(answer.text, &module, &key);
  return answer;
}

CBatchLookups::Explanation CMivoDBOLE::ExplainLanguageString(const CString& module, const CString& key) {
  CMivoDBApp& app = App();
  Explanation e;
  if (!app.IsFallbackLanguage(app.m_wCurLanguageId) &&
      app.m_pLanguageStrings->LookupLanguageString(e.text, &module, &key)) {
    e.source = "current";
    e.language = static_cast<short>(app.m_pLanguageStrings->m_wLanguageId);
  } else if (app.m_pFallbackStrings->LookupLanguageString(e.text, &module, &key)) {
    e.source = "fallback";
    e.language = static_cast<short>(app.m_pFallbackStrings->m_wLanguageId);
  }
  return e;  // "none": the lookups left the key as the text
}

short CMivoDBOLE::CurrentLanguage() { return static_cast<short>(App().m_wCurLanguageId); }
