// COleObjectFactory::UpdateRegistry: the activation file for the bus and the class entries in the machine
// hive. Needs no bus connection.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/ole/afxdisp.h"
#include "platform/ole/environment.h"
#include "platform/win32/winbase.h"
#include "platform/win32/winreg.h"

namespace {

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      const std::string part = path.substr(0, pos);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

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

// The Exec= value: the path as it is, or single-quoted when it holds characters that the bus would
// split or interpret.
std::string ExecValue(const std::string& path) {
  if (path.find_first_of(" \t\n'\"\\$`;&|<>()*?[]#~%") == std::string::npos) return path;
  std::string quoted = "'";
  for (char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  const std::string temp = path + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

// Sets the default value of HKEY_LOCAL_MACHINE\<path> to `value`; the result is not needed.
void SetDefaultValue(const CString& path, const CString& value) {
  mivo::reg::UniqueKey key;
  if (key.Create(HKEY_LOCAL_MACHINE, path.c_str(), KEY_SET_VALUE) != ERROR_SUCCESS) return;
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

}  // namespace

BOOL COleObjectFactory::UpdateRegistry(BOOL bRegister) {
  if (m_strProgID.empty()) return FALSE;
  const std::string progid = AfxToUtf8(m_strProgID);
  const CString clsid = StringFromCLSID(m_clsid);
  const CString classes = u"Software\\Classes\\";
  const std::string dir = mivo::ole::ActivationDirectory();
  const std::string file = dir + "/" + progid + ".service";
  bool ok = false;
  if (bRegister) {
    const std::string exe = ExecutablePath();
    ok = !exe.empty() && MakeDirectories(dir) &&
         WriteFileAtomically(file, "[D-BUS Service]\nName=" + progid + "\nExec=" + ExecValue(exe) + "\n");
    const CString exe_path = AfxFromUtf8(exe);
    SetDefaultValue(classes + m_strProgID + u"\\CLSID", clsid);
    SetDefaultValue(classes + u"CLSID\\" + clsid + u"\\LocalServer32", exe_path);
    SetDefaultValue(classes + u"CLSID\\" + clsid + u"\\ProgID", m_strProgID);
  } else {
    ok = !dir.empty() && (::unlink(file.c_str()) == 0 || errno == ENOENT);
    // The tree below each key, then the key itself (when the tree deletion left it).
    for (const CString& key : {classes + m_strProgID, classes + u"CLSID\\" + clsid}) {
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    }
  }
  return ok ? TRUE : FALSE;
}

BOOL COleObjectFactory::UpdateRegistryAll(BOOL bRegister) {
  BOOL ok = TRUE;
  for (COleObjectFactory* factory : Factories()) {
    if (!factory->UpdateRegistry(bRegister)) ok = FALSE;
  }
  return ok;
}
