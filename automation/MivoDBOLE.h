// CMivoDBOLE: the automation object "Mivo.DataBase.OLEServer". It holds no state: every method works on
// the application object's stores. Each live object holds one lock on the server process.
#pragma once

#include "platform/ole/afxdisp.h"

class CMivoDBOLE : public CCmdTarget {
  DECLARE_DYNCREATE(CMivoDBOLE)

 public:
  CMivoDBOLE();
  ~CMivoDBOLE() override;
  void OnFinalRelease() override;

  // The text for module and key across the current and the fallback language (the key when neither has
  // one), and whether one was found.
  BOOL GetLanguageText(CString& text, const CString* module, const CString* key);

  // Dispatch methods (DISPIDs 1 to 10).
  BOOL SetLanguage(short nLanguageId, BOOL bUserFlag);
  CString GetLanguageString(const CString* module, const CString* key);
  BOOL GetLanguageString2(BSTR* text, const CString* module, const CString* key);
  BOOL AddLogLine(DATE date, short n1, const CString* s1, const CString* s2, short n2, const CString* s3,
                  const CString* s4, const CString* s5, const CString* s6);
  BOOL SetConfigString(const CString* value, const CString* module, const CString* key);
  CString GetConfigString(const CString* module, const CString* key);
  BOOL GetConfigString2(BSTR* value, const CString* module, const CString* key);
  short GetCurCharsetCode();
  BOOL RefreshConfDB();
  BOOL RefreshLangDB();

  DECLARE_DISPATCH_MAP()
};

// The class id under which the automation class is registered.
extern const CLSID CLSID_MivoDBOLE;
