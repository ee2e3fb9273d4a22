// The framework's application class and its message loop.
//
// Contract:
// - One CWinApp-derived object per process (normally a static one). Its constructor registers it:
//   AfxGetApp() and AfxGetModuleState()->m_pCurrentWinApp return it until it is destroyed.
// - AfxWinMain(argc, argv) is the process's start (the entry point `main` calls it, library mivo_afx_main;
//   on Windows with the UTF-16 command line converted to UTF-8). It blocks SIGTERM and SIGINT for the
//   process on Linux, and installs a console control handler on Windows (so that a request to end that
//   arrives during start-up ends the loop in order instead of killing the process), sets m_lpCmdLine to
//   argv[1..] joined by single spaces, then calls InitInstance;
//   when that returns TRUE it calls Run; then it calls ExitInstance, runs the termination handlers and
//   returns ExitInstance's result. Without an application object it reports the fact and returns 1; an
//   exception escaping InitInstance, Run or ExitInstance is reported (AfxMessageBox) and gives 1.
// - Run is the message loop. It runs the pump installed with AfxSetMessagePump (the automation runtime
//   installs its event loop there when it is initialised) and returns the pump's result. Without a pump it
//   waits until SIGTERM or SIGINT arrives (Windows: runs the thread's message loop until WM_QUIT, which
//   Ctrl+C or closing the console posts) and returns 0. Run does not call ExitInstance.
// - The hooks exist so that a runtime layered above the framework (platform/ole) can supply the loop and
//   its clean-up without the framework depending on it: AfxSetMessagePump replaces the pump (an empty
//   function removes it); AfxAddTermHandler adds a function that AfxWinMain calls after ExitInstance, in
//   the reverse order of installation.
#pragma once

#include <functional>

#include "platform/afx/afx.h"

// A window object. The server never shows a window; the class exists so that the application can own a
// main-window object through a pointer of this type.
class CWnd : public CObject {
  DECLARE_DYNAMIC(CWnd)

 public:
  CWnd() = default;
  ~CWnd() override = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
};

class CWinApp : public CObject {
  DECLARE_DYNAMIC(CWinApp)

 public:
  // lpszAppName null: the application name is the application title (string resource 57344, "MivoDB").
  explicit CWinApp(LPCWSTR lpszAppName = nullptr);
  ~CWinApp() override;
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // TRUE: go on to the message loop.
  virtual BOOL InitInstance();
  // The message loop (see the contract above); the result is the loop's exit code.
  virtual int Run();
  // The orderly end; the result is the process exit code (0).
  virtual int ExitInstance();

  // Kept for the framework's start-up sequence; this framework keeps no profile settings.
  void LoadStdProfileSettings(UINT nMaxMRU = 4);

  // The arguments after the program name, joined by single spaces.
  CString m_lpCmdLine;
  // The application name; points into storage the object owns.
  LPCWSTR m_pszAppName = nullptr;
  // The main-window object; the application owns it and deletes it in its ExitInstance.
  CWnd* m_pMainWnd = nullptr;

 private:
  CString m_strAppName;
};

// The application object, or null when none exists.
CWinApp* AfxGetApp();

struct AFX_MODULE_STATE {
  CWinApp* m_pCurrentWinApp = nullptr;
};
// The module state of the executable (one module per process).
AFX_MODULE_STATE* AfxGetModuleState();

// The process's arguments after the program name, as AfxWinMain received them (before any switch was
// removed from m_lpCmdLine).
const CStringArray& AfxGetCommandLineArgs();

int AfxWinMain(int argc, char** argv);

using AfxMessagePump = std::function<int()>;
void AfxSetMessagePump(AfxMessagePump pump);
void AfxAddTermHandler(std::function<void()> handler);
