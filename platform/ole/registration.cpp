// COleObjectFactory::UpdateRegistry: the class entries below HKEY_LOCAL_MACHINE\Software\Classes, as COM
// local servers keep them, then the platform's own part (server.h, UpdateActivation). Needs no runtime
// connection. Also the test for a registration run.
#include <string>

#include "platform/afx/winapp.h"
#include "platform/ole/afxdisp.h"
#include "platform/ole/server.h"
#include "platform/win32/winbase.h"
#include "platform/win32/winreg.h"

namespace {

std::string ExecutablePath() {
  std::u16string buffer(1024, u'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return AfxToUtf8(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

// Sets the default value of HKEY_LOCAL_MACHINE\<path> to `value`; false when the registry refuses.
bool SetDefaultValue(const CString& path, const CString& value) {
  mivo::reg::UniqueKey key;
  if (key.Create(HKEY_LOCAL_MACHINE, path.c_str(), KEY_SET_VALUE) != ERROR_SUCCESS) return false;
  return RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
}

// Deletes HKEY_LOCAL_MACHINE\<path> with everything below it; true when it is gone (or was never there).
bool DeleteKeyTree(const CString& path) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
  const LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace

BOOL COleObjectFactory::UpdateRegistry(BOOL bRegister) {
  if (m_strProgID.empty()) return FALSE;
  const CString clsid = StringFromCLSID(m_clsid);
  const CString classes = u"Software\\Classes\\";
  std::string exe;
  bool entries_ok = true;
  if (bRegister) {
    exe = ExecutablePath();
    const CString exe_path = AfxFromUtf8(exe);
    entries_ok &= SetDefaultValue(classes + m_strProgID + u"\\CLSID", clsid);
    entries_ok &= SetDefaultValue(classes + u"CLSID\\" + clsid + u"\\LocalServer32", exe_path);
    entries_ok &= SetDefaultValue(classes + u"CLSID\\" + clsid + u"\\ProgID", m_strProgID);
  } else {
    entries_ok &= DeleteKeyTree(classes + m_strProgID);
    entries_ok &= DeleteKeyTree(classes + u"CLSID\\" + clsid);
  }
  return mivo::ole::UpdateActivation(*this, exe, bRegister != FALSE, entries_ok) ? TRUE : FALSE;
}

BOOL COleObjectFactory::UpdateRegistryAll(BOOL bRegister) {
  BOOL ok = TRUE;
  for (COleObjectFactory* factory : Factories()) {
    if (!factory->UpdateRegistry(bRegister)) ok = FALSE;
  }
  return ok;
}

namespace mivo::ole {

BOOL IsRegistrationRun() {
  CString line;
  for (const CString& arg : AfxGetCommandLineArgs()) line += arg + u' ';
  auto matches_at = [&](std::size_t pos, std::u16string_view name) {
    if (pos + name.size() > line.size()) return false;
    for (std::size_t k = 0; k < name.size(); ++k) {
      char16_t c = line[pos + k];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      if (c != name[k]) return false;
    }
    return true;
  };
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != u'/' && line[i] != u'-') continue;
    if (matches_at(i + 1, u"regserver") || matches_at(i + 1, u"unregserver")) return TRUE;
  }
  return FALSE;
}

}  // namespace mivo::ole
