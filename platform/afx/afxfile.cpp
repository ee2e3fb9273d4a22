#include "platform/afx/afxfile.h"

#include <sys/stat.h>

#include <ctime>

CString CTime::Format(const char* format) const {
  const std::time_t t = static_cast<std::time_t>(m_time);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return CString();
  char buffer[128];
  const std::size_t n = std::strftime(buffer, sizeof buffer, format, &local);
  if (n == 0) return CString();
  return AfxFromUtf8(std::string_view(buffer, n));
}

BOOL CFile::GetStatus(LPCWSTR lpszFileName, CFileStatus& rStatus) {
  if (lpszFileName == nullptr) return FALSE;
  struct stat st {};
  if (::stat(AfxToUtf8(lpszFileName).c_str(), &st) != 0) return FALSE;
  rStatus.m_mtime = CTime(static_cast<std::int64_t>(st.st_mtime));
  rStatus.m_size = static_cast<std::uint64_t>(st.st_size);
  return TRUE;
}
