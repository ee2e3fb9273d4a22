#include "app/MivoExeApp.h"

#include <cstdio>
#include <vector>

#include "app/Constants.h"
#include "platform/afx/afxfile.h"
#include "platform/ole/afxdisp.h"
#include "platform/win32/winbase.h"
#include "res/resource.h"

IMPLEMENT_DYNAMIC(CMivoExeApp, CWinApp)

namespace {
CString SettingsPath(const CString& appName) {
  return CString(u"Software\\") + kCompanyName + u"\\" + appName;
}

CString ModuleFileName() {
  std::vector<WCHAR> buffer(1024, 0);
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return n == 0 ? CString() : CString(buffer.data(), n);
}

bool EqualsIgnoringCase(char16_t a, char16_t b) {
  auto fold = [](char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
  };
  return fold(a) == fold(b);
}

// A settings store whose file exists but is damaged or foreign reads as if it had no keys, and nothing
// writes or repairs it. Says so once per store, naming the file, so that the missing settings have a cause.
void ReportDamagedSettingsStores() {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExW(root, u"Software", 0, KEY_READ, &key);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    if (status != ERROR_BADDB) continue;
    AfxMessageBox(AfxFormatStrings(AfxLoadString(IDS_SETTINGS_FILE_DAMAGED),
                                   {AfxFromUtf8(mivo::reg::LastHiveProblem())}),
                  MB_OK);
  }
}
}  // namespace

CMivoExeApp::CMivoExeApp(const CString& appName)
    : CWinApp(nullptr),
      m_UserKey(HKEY_CURRENT_USER, SettingsPath(appName)),
      m_MachineKey(HKEY_LOCAL_MACHINE, SettingsPath(appName)) {}

CMivoExeApp::~CMivoExeApp() = default;  // closes m_MachineKey, then m_UserKey

BOOL CMivoExeApp::InitInstance() {
  if (!CWinApp::InitInstance()) return FALSE;
  ReportDamagedSettingsStores();
  CString productName, productVersion, internalName, fileVersion, fileTime;
  GetVersionInfo(productName, productVersion, internalName, fileVersion, fileTime);

  if (FindAndRemoveSwitch(u"RegServer")) {
    if (!AfxOleInit()) {
      AfxMessageBox(IDP_OLE_INIT_FAILED, MB_OK);
      return FALSE;
    }
    if (!m_MachineKey.SetStringValue(CString(), fileVersion)) {
      AfxMessageBox(IDS_ERROR_ACCESSING_REGISTRY, MB_OK);
    } else if (!m_MachineKey.SetStringValue(kAppNameValue, ModuleFileName())) {
      AfxMessageBox(IDS_ERROR_ACCESSING_REGISTRY, MB_OK);
    }
    COleObjectFactory::UpdateRegistryAll(TRUE);
    return FALSE;
  }
  if (FindAndRemoveSwitch(u"UnregServer")) {
    if (!AfxOleInit()) return FALSE;
    if (m_MachineKey.DeleteValue(CString())) m_MachineKey.DeleteValue(kAppNameValue);
    COleObjectFactory::UpdateRegistryAll(FALSE);
    return FALSE;
  }

  CString registered;
  if (!m_MachineKey.QueryStringValue(CString(), registered)) {
    AfxMessageBox(AfxFormatStrings(AfxLoadString(IDS_VERSION_NOT_REGISTERED), {internalName, fileVersion}),
                  MB_OK);
    return FALSE;
  }
  return registered == fileVersion;
}

BOOL CMivoExeApp::FindAndRemoveSwitch(const CString& name) {
  CString& line = m_lpCmdLine;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != u'/' && line[i] != u'-') continue;
    if (i + 1 + name.size() > line.size()) continue;
    bool match = true;
    for (std::size_t k = 0; k < name.size() && match; ++k)
      match = EqualsIgnoringCase(line[i + 1 + k], name[k]);
    if (match) {
      line.erase(i, 1 + name.size());
      return TRUE;
    }
  }
  return FALSE;
}

void CMivoExeApp::GetVersionInfo(CString& productName, CString& productVersion, CString& internalName,
                                 CString& fileVersion, CString& fileTime) {
  const CString file = ModuleFileName();
  productName.clear();
  productVersion.clear();
  internalName.clear();
  fileVersion.clear();
  fileTime.clear();

  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
  if (size != 0) {
    std::vector<BYTE> block(size);
    if (GetFileVersionInfoW(file.c_str(), handle, size, block.data())) {
      LPVOID translation = nullptr;
      UINT length = 0;
      if (VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &translation, &length) && length >= 4) {
        const auto* pair = static_cast<const WORD*>(translation);
        char prefix[64];
        std::snprintf(prefix, sizeof prefix, "\\StringFileInfo\\%04X%04X\\", pair[0], pair[1]);
        const CString base = AfxFromUtf8(prefix);
        CString* outputs[] = {&productName, &productVersion, &internalName, &fileVersion};
        const char16_t* names[] = {u"ProductName", u"ProductVersion", u"InternalName", u"FileVersion"};
        for (int i = 0; i < 4; ++i) {
          LPVOID value = nullptr;
          UINT chars = 0;
          if (VerQueryValueW(block.data(), (base + names[i]).c_str(), &value, &chars) && value != nullptr) {
            *outputs[i] = static_cast<const WCHAR*>(value);
          }
        }
      }
    }
  }

  CFileStatus status;
  if (CFile::GetStatus(file.c_str(), status)) fileTime = status.m_mtime.Format("%d.%m.%Y %H:%M:%S");
}
