#include "platform/ole/test_target.h"

#include <new>
#include <stdexcept>

IMPLEMENT_DYNCREATE(CTestTarget, CCmdTarget)

BEGIN_DISPATCH_MAP(CTestTarget, CCmdTarget)
DISP_FUNCTION_ID(CTestTarget, "SetLanguage", 1, SetLanguage, VT_BOOL, VTS_I2 VTS_BOOL)
DISP_FUNCTION_ID(CTestTarget, "GetLanguageString", 2, GetLanguageString, VT_BSTR, VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CTestTarget, "GetLanguageString2", 3, GetLanguageString2, VT_BOOL,
                 VTS_PBSTR VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CTestTarget, "AddLogLine", 4, AddLogLine, VT_BOOL,
                 VTS_DATE VTS_I2 VTS_BSTR VTS_BSTR VTS_I2 VTS_BSTR VTS_BSTR VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CTestTarget, "SetConfigString", 5, SetConfigString, VT_BOOL, VTS_BSTR VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CTestTarget, "GetConfigString", 6, GetConfigString, VT_BSTR, VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CTestTarget, "GetConfigString2", 7, GetConfigString2, VT_BOOL, VTS_PBSTR VTS_BSTR VTS_BSTR)
DISP_FUNCTION_ID(CTestTarget, "GetCurCharsetCode", 8, GetCurCharsetCode, VT_I2, VTS_NONE)
DISP_FUNCTION_ID(CTestTarget, "RefreshConfDB", 9, RefreshConfDB, VT_BOOL, VTS_NONE)
DISP_FUNCTION_ID(CTestTarget, "RefreshLangDB", 10, RefreshLangDB, VT_BOOL, VTS_NONE)
END_DISPATCH_MAP(CTestTarget, CCmdTarget)

namespace {

CString Describe(const CString* s) { return s ? *s : CString(u"<null>"); }

}  // namespace

const CLSID kTestClsid = {0x6A1C9F3E, 0x0B7D, 0x4E52, {0x9C, 0x1A, 0x2F, 0x4D, 0x8E, 0x6B, 0x7A, 0x10}};

COleObjectFactory& TestFactory() {
  static COleObjectFactory factory(kTestClsid, RUNTIME_CLASS(CTestTarget), FALSE,
                                   AfxFromUtf8(kTestProgId).c_str());
  return factory;
}

// The factory exists from static initialisation on, as the server's does.
[[maybe_unused]] static COleObjectFactory& g_factory = TestFactory();

CTestTarget::State& CTestTarget::Shared() {
  static State state;
  return state;
}

CTestTarget::CTestTarget() {
  EnableAutomation();
  AfxOleLockApp();
}

CTestTarget::~CTestTarget() { AfxOleUnlockApp(); }

void CTestTarget::OnFinalRelease() {
  ++Shared().final_releases;
  CCmdTarget::OnFinalRelease();
}

BOOL CTestTarget::SetLanguage(short id, BOOL userFlag) {
  Shared().language = id;
  Shared().user_flag = userFlag;
  return userFlag;
}

CString CTestTarget::GetLanguageString(const CString* module, const CString* key) {
  return Describe(module) + u"/" + Describe(key);
}

BOOL CTestTarget::GetLanguageString2(BSTR* text, const CString* module, const CString* key) {
  SetSysString(text, Describe(module) + u"/" + Describe(key));
  return key != nullptr;
}

BOOL CTestTarget::AddLogLine(DATE date, short level, const CString* text, const CString*, short,
                             const CString*, const CString*, const CString*, const CString*) {
  Shared().last_date = date;
  Shared().last_level = level;
  if (text && !text->empty()) AfxMessageBox(*text);
  return FALSE;
}

BOOL CTestTarget::SetConfigString(const CString* value, const CString* module, const CString* key) {
  if (value && *value == u"throw") throw std::runtime_error("refused " + AfxToUtf8(Describe(module)));
  if (value && *value == u"oom") throw std::bad_alloc();
  Shared().config[Describe(module) + u"/" + Describe(key)] = Describe(value);
  return TRUE;
}

CString CTestTarget::GetConfigString(const CString* module, const CString* key) {
  auto it = Shared().config.find(Describe(module) + u"/" + Describe(key));
  return it == Shared().config.end() ? CString() : it->second;
}

BOOL CTestTarget::GetConfigString2(BSTR* value, const CString* module, const CString* key) {
  auto it = Shared().config.find(Describe(module) + u"/" + Describe(key));
  SetSysString(value, it == Shared().config.end() ? CString() : it->second);
  return it != Shared().config.end();
}

short CTestTarget::GetCurCharsetCode() { return Shared().language; }

BOOL CTestTarget::RefreshConfDB() {
  Shared().config.clear();
  return TRUE;
}

BOOL CTestTarget::RefreshLangDB() { throw 42; }
