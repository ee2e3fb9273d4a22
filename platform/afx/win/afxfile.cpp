// File status and local time on Windows, with the C runtime's wide calls (no Windows SDK header here: the
// framework's types and <windows.h> do not mix).
#include "platform/afx/afxfile.h"

#include <sys/stat.h>

#include <ctime>

CString CTime::Format(const char* format) const {
  const __time64_t t = static_cast<__time64_t>(m_time);
  std::tm local{};
  if (_localtime64_s(&local, &t) != 0) return CString();
  char buffer[128];
  const std::size_t n = std::strftime(buffer, sizeof buffer, format, &local);
  if (n == 0) return CString();
  return AfxFromUtf8(std::string_view(buffer, n));
}

BOOL CFile::GetStatus(LPCWSTR lpszFileName, CFileStatus& rStatus) {
  if (lpszFileName == nullptr) return FALSE;
  struct _stat64 st {};
  if (_wstat64(reinterpret_cast<const wchar_t*>(lpszFileName), &st) != 0) return FALSE;
  rStatus.m_mtime = CTime(static_cast<std::int64_t>(st.st_mtime));
  rStatus.m_size = static_cast<std::uint64_t>(st.st_size);
  return TRUE;
}
