#include "app/MivoDBApp.h"

#include "app/Constants.h"
#include "platform/ole/afxdisp.h"
#include "res/resource.h"

IMPLEMENT_DYNAMIC(CMivoDBApp, CMivoExeApp)
IMPLEMENT_DYNCREATE(CMivoDBMainWnd, CWnd)

CMivoDBApp* GetMivoDBApp() {
  CWinApp* app = AfxGetApp();
  return (app != nullptr && app->IsKindOf(RUNTIME_CLASS(CMivoDBApp))) ? static_cast<CMivoDBApp*>(app)
                                                                      : nullptr;
}

CMivoDBApp::CMivoDBApp()
    : CMivoExeApp(kAppName),
      m_pFallbackStrings(std::make_unique<CStringMap>(kFallbackStore)),
      m_pLanguageStrings(std::make_unique<CStringMap>(kLanguageStore)),
      m_pConfigStrings(std::make_unique<CStringMap>(kConfigStore)) {}

CMivoDBApp::~CMivoDBApp() {
  m_pChangeFollower.reset();
  m_pFallbackStrings.reset();
  m_pLanguageStrings.reset();
  m_pConfigStrings.reset();
}

BOOL CMivoDBApp::IsFallbackLanguage(WORD id) const { return ((id ^ m_wFallbackLanguageId) & 0x3FF) == 0; }

BOOL CMivoDBApp::InitInstance() {
  m_wCurLanguageId = 0x0409;
  m_wFallbackLanguageId = 0;
  if (!CMivoExeApp::InitInstance()) return FALSE;
  LoadStdProfileSettings(0);
  if (!AfxOleInit()) {
    AfxMessageBox(IDP_OLE_INIT_FAILED, MB_OK);
    return FALSE;
  }
  COleObjectFactory::RegisterAll();
  COleObjectFactory::UpdateRegistryAll(TRUE);
  m_pDBMainWnd = std::make_unique<CMivoDBMainWnd>();
  m_pMainWnd = m_pDBMainWnd.get();
  InitLanguages();
  m_pConfigStrings->LoadConfig();
  m_pChangeFollower = std::make_unique<CChangeFollower>(*this);
  return TRUE;
}

int CMivoDBApp::ExitInstance() {
  m_pChangeFollower.reset();
  if (m_pDBMainWnd) {
    m_pMainWnd = nullptr;
    m_pDBMainWnd.reset();
  }
  return CWinApp::ExitInstance();
}
