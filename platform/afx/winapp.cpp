#include "platform/afx/winapp.h"

#include <exception>
#include <utility>
#include <vector>

#include "platform/afx/afx_platform.h"

IMPLEMENT_DYNAMIC(CWnd, CObject)
IMPLEMENT_DYNAMIC(CWinApp, CObject)

namespace {

struct AppState {
  AFX_MODULE_STATE module;
  CStringArray args;
  AfxMessagePump pump;
  std::vector<std::function<void()>> term_handlers;
};

AppState& State() {
  static AppState* state = new AppState;  // never destroyed: used during static destruction
  return *state;
}

void RunTermHandlers() {
  auto handlers = std::exchange(State().term_handlers, {});
  for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) (*it)();
}

}  // namespace

CWinApp::CWinApp(LPCWSTR lpszAppName) : m_strAppName(lpszAppName ? CString(lpszAppName) : AfxGetAppTitle()) {
  m_pszAppName = m_strAppName.c_str();
  State().module.m_pCurrentWinApp = this;
}

CWinApp::~CWinApp() {
  if (State().module.m_pCurrentWinApp == this) State().module.m_pCurrentWinApp = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::Run() {
  if (State().pump) {
    AfxMessagePump pump = State().pump;  // a copy: the pump may replace itself while it runs
    return pump();
  }
  return mivo::afx::WaitForEnd();
}

int CWinApp::ExitInstance() { return 0; }

void CWinApp::LoadStdProfileSettings(UINT /*nMaxMRU*/) {}

CWinApp* AfxGetApp() { return State().module.m_pCurrentWinApp; }

AFX_MODULE_STATE* AfxGetModuleState() { return &State().module; }

const CStringArray& AfxGetCommandLineArgs() { return State().args; }

void AfxSetMessagePump(AfxMessagePump pump) { State().pump = std::move(pump); }

void AfxAddTermHandler(std::function<void()> handler) { State().term_handlers.push_back(std::move(handler)); }

int AfxWinMain(int argc, char** argv) {
  mivo::afx::PrepareEndRequests();
  CWinApp* app = AfxGetApp();
  if (app == nullptr) {
    AfxMessageBox(u"No application object.");
    return 1;
  }
  CStringArray args;
  CString line;
  for (int i = 1; i < argc; ++i) {
    args.push_back(AfxFromUtf8(argv[i]));
    if (i > 1) line += u' ';
    line += args.back();
  }
  State().args = std::move(args);
  app->m_lpCmdLine = std::move(line);
  int code = 1;
  try {
    if (app->InitInstance()) app->Run();
    code = app->ExitInstance();
  } catch (const std::exception& e) {
    AfxMessageBox(u"Fatal error: " + AfxFromUtf8(e.what()));
    code = 1;
  }
  RunTermHandlers();
  return code;
}
