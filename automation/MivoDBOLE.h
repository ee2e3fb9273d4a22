// CMivoDBOLE: the automation object "Mivo.DataBase.OLEServer". It holds no state: every method works on
// the application object's stores. Each live object holds one lock on the server process.
//
// Beside the ten dispatch methods it offers batch look-ups (each item answered as GetLanguageString2 or
// GetConfigString2 answers it) and sends change events: LanguageChanged when SetLanguage changed the
// current language id, ConfigChanged when SetConfigString changed what GetConfigString2 answers for the
// item (with the module and key as given, "" for none, and the value GetConfigString now returns),
// Reloaded when a refresh read new data into a store.
#pragma once

#include "platform/ole/afxdisp.h"

class CMivoDBOLE : public CCmdTarget, public CBatchLookups {
  DECLARE_DYNCREATE(CMivoDBOLE)

 public:
  CMivoDBOLE();
  ~CMivoDBOLE() override;
  void OnFinalRelease() override;
  CBatchLookups* GetBatchLookups() override { return this; }

  // Batch look-ups. The explanation's source is "current" when the current language's store answered,
  // "fallback" when the fallback language's store did (also when the current language counts as the
  // fallback language), else "none" with the key as text and language 0.
  Answer LookupLanguageString(const CString& module, const CString& key) override;
  Answer LookupConfigString(const CString& module, const CString& key) override;
  Explanation ExplainLanguageString(const CString& module, const CString& key) override;
  short CurrentLanguage() override;

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
