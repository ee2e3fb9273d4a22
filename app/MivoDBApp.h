// CMivoDBApp: the application object of the server. Owns the settings keys (through its base), the
// language state, the main-window object and the three stores.
#pragma once

#include <memory>

#include "app/ChangeFollower.h"
#include "app/MivoExeApp.h"
#include "textstore/StringMap.h"

// The main-window object: never shown, no window messages ever reach it.
class CMivoDBMainWnd : public CWnd {
  DECLARE_DYNCREATE(CMivoDBMainWnd)

 public:
  CMivoDBMainWnd() = default;
  ~CMivoDBMainWnd() override = default;
};

class CMivoDBApp : public CMivoExeApp {
  DECLARE_DYNAMIC(CMivoDBApp)

 public:
  CMivoDBApp();
  ~CMivoDBApp() override;

  BOOL InitInstance() override;
  int ExitInstance() override;

  // TRUE when the primary language (low 10 bits) of `id` equals that of the fallback language.
  BOOL IsFallbackLanguage(WORD id) const;

  // Language start-up and selection (textstore/Languages.cpp).
  void InitLanguages();
  BOOL SetLanguage(WORD wLanguageId, BOOL bUserFlag);
  BOOL RefreshLangDB();
  // The current language's text, else the fallback language's, else the key with FALSE.
  BOOL GetLanguageText(CString& text, const CString* module, const CString* key) const;

  std::unique_ptr<CMivoDBMainWnd> m_pDBMainWnd;
  WORD m_wFallbackLanguageId = 0;
  WORD m_wCurLanguageId = 0;
  std::unique_ptr<CStringMap> m_pFallbackStrings;
  std::unique_ptr<CStringMap> m_pLanguageStrings;
  std::unique_ptr<CStringMap> m_pConfigStrings;
  // Follows the shared databases of the lists once the stores are loaded; ended in ExitInstance.
  std::unique_ptr<CChangeFollower> m_pChangeFollower;
};

// The running application object (AfxGetApp()), or null when there is none.
CMivoDBApp* GetMivoDBApp();
