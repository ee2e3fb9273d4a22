// File status and local-time formatting of the framework.
//
// Contract: CFile::GetStatus fills the last-modification time of an existing file (UTF-16 path) and
// returns TRUE; FALSE when the file cannot be examined. CTime::Format formats a time in local time with
// strftime conversions; a time that cannot be converted or formatted gives the empty string.
#pragma once

#include <cstdint>

#include "platform/afx/afx.h"

class CTime {
 public:
  CTime() = default;
  explicit CTime(std::int64_t secondsSinceEpoch) : m_time(secondsSinceEpoch) {}
  std::int64_t GetTime() const { return m_time; }
  // At most 127 characters of output.
  CString Format(const char* format) const;

 private:
  std::int64_t m_time = 0;
};

struct CFileStatus {
  CTime m_mtime;
  std::uint64_t m_size = 0;
};

class CFile {
 public:
  static BOOL GetStatus(LPCWSTR lpszFileName, CFileStatus& rStatus);
};
