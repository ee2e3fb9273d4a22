// CMivoExeApp: the application base of the server: the two settings keys, the command-line switches
// "RegServer" / "UnregServer", the registration record and the version check.
#pragma once

#include "app/RegKey.h"
#include "platform/afx/winapp.h"

class CMivoExeApp : public CWinApp {
  DECLARE_DYNAMIC(CMivoExeApp)

 public:
  // Opens (or creates) HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE "Software\Mivotec\<appName>".
  explicit CMivoExeApp(const CString& appName);
  ~CMivoExeApp() override;

  // TRUE when start-up may go on: a normal run whose registered version equals the file version. A
  // registration or unregistration run does its work and returns FALSE.
  BOOL InitInstance() override;
  // TRUE when "/name" or "-name" (letter case ignored, matched as a prefix) is on the command line; the
  // first such switch is removed from m_lpCmdLine.
  BOOL FindAndRemoveSwitch(const CString& name);
  // The executable's "ProductName", "ProductVersion", "InternalName", "FileVersion" and its modification
  // time as "dd.mm.yyyy HH:MM:SS" (local time); missing ones are empty.
  void GetVersionInfo(CString& productName, CString& productVersion, CString& internalName,
                      CString& fileVersion, CString& fileTime);

  CRegKey m_UserKey;
  CRegKey m_MachineKey;
};
