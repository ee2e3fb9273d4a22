// ole_test_server: a server of the test factory with the shape of the real one, started by the tests as
// a separate program (and by the bus, through the activation file it registers; on Windows by COM, through
// the class entries).
// - "/RegServer" or "/UnregServer": initialises the runtime for registration, writes or removes the
//   registration (UpdateRegistryAll), exits 0 when that succeeded, else 1.
// - otherwise: AfxOleInit, RegisterAll, the message loop; ExitInstance appends "exit" to the file named
//   by $MIVODB_TEST_EXIT_MARKER (when set). Exit code 0 after an orderly end, 1 when start-up failed.
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/afx/winapp.h"
#include "platform/ole/afxdisp.h"
#include "platform/ole/test_target.h"

namespace {

bool HasSwitch(const char16_t* name) {
  for (const CString& arg : AfxGetCommandLineArgs()) {
    CString lower;
    for (char16_t c : arg) lower += (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
    if (lower.find(name) != CString::npos) return true;
  }
  return false;
}

class CTestServerApp : public CWinApp {
 public:
  BOOL InitInstance() override {
    TestFactory();
    if (mivo::ole::IsRegistrationRun()) {
      if (!AfxOleInit()) return FALSE;
      registration_ok_ = COleObjectFactory::UpdateRegistryAll(HasSwitch(u"unregserver") ? FALSE : TRUE);
      return FALSE;
    }
    if (!AfxOleInit() || !COleObjectFactory::RegisterAll()) {
      AfxMessageBox(u"The test server cannot start.");
      failed_ = true;
      return FALSE;
    }
    return TRUE;
  }

  int ExitInstance() override {
    if (const char* marker = std::getenv("MIVODB_TEST_EXIT_MARKER"); marker && *marker) {
      std::ofstream(marker, std::ios::app) << "exit\n";
    }
    if (failed_) return 1;
    if (mivo::ole::IsRegistrationRun()) return registration_ok_ ? 0 : 1;
    return CWinApp::ExitInstance();
  }

 private:
  bool failed_ = false;
  BOOL registration_ok_ = FALSE;
};

CTestServerApp theApp;

}  // namespace
