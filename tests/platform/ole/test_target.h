// A command target of the same shape as the server's automation object: the ten members with the same
// signatures, DISPIDs and declared types, whose behaviour shows what arrived. Its factory offers it as
// "Mivo.DataBase.OLEServer".
#pragma once

#include <map>

#include "platform/ole/afxdisp.h"

class CTestTarget : public CCmdTarget {
  DECLARE_DYNCREATE(CTestTarget)

 public:
  CTestTarget();                   // EnableAutomation, then AfxOleLockApp
  ~CTestTarget() override;         // AfxOleUnlockApp
  void OnFinalRelease() override;  // counts the release, then deletes

  // Stores the id (GetCurCharsetCode returns it) and returns the flag.
  BOOL SetLanguage(short id, BOOL userFlag);
  // "<module>/<key>", a null string written "<null>".
  CString GetLanguageString(const CString* module, const CString* key);
  // Replaces *text with "<module>/<key>"; TRUE when the key is not null.
  BOOL GetLanguageString2(BSTR* text, const CString* module, const CString* key);
  // Keeps the date and the first number; a non-empty first text is reported with AfxMessageBox. FALSE.
  BOOL AddLogLine(DATE date, short level, const CString* text, const CString* a, short b, const CString* c,
                  const CString* d, const CString* e, const CString* f);
  // Stores the value under "<module>/<key>"; the value "throw" throws std::runtime_error("refused
  // <module>"), "oom" throws std::bad_alloc.
  BOOL SetConfigString(const CString* value, const CString* module, const CString* key);
  // The stored value or "".
  CString GetConfigString(const CString* module, const CString* key);
  // The stored value into *value (or ""); TRUE when one was stored.
  BOOL GetConfigString2(BSTR* value, const CString* module, const CString* key);
  short GetCurCharsetCode();
  // Forgets the stored values; TRUE.
  BOOL RefreshConfDB();
  // Throws an int (an exception that is no std::exception).
  BOOL RefreshLangDB();

  // State that every object of the process shares, as the server's objects share the application's.
  struct State {
    short language = 0;
    BOOL user_flag = FALSE;
    DATE last_date = 0;
    short last_level = 0;
    int final_releases = 0;
    std::map<CString, CString> config;
  };
  static State& Shared();

  DECLARE_DISPATCH_MAP()
};

// The test target's programmatic identifier: the same as the server's, so the bus tests see the same names.
inline constexpr char kTestProgId[] = "Mivo.DataBase.OLEServer";
// {6A1C9F3E-0B7D-4E52-9C1A-2F4D8E6B7A10}
extern const CLSID kTestClsid;
COleObjectFactory& TestFactory();
