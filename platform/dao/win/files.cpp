// The file-system calls of the database layer on Windows: the C runtime's wide-character calls, with the
// UTF-8 paths converted to UTF-16, descriptors not inherited by child processes and in binary mode.
#include "platform/dao/files.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/afx/afx.h"

namespace mivo::dao::files {
namespace {

std::wstring Wide(const std::string& utf8) {
  const CString wide = AfxFromUtf8(utf8);
  return std::wstring(wide.begin(), wide.end());
}

}  // namespace

int OpenForReading(const std::string& utf8) {
  return ::_wopen(Wide(utf8).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int CreateNew(const std::string& utf8) {
  return ::_wopen(Wide(utf8).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}

long Read(int fd, void* buffer, std::size_t size) {
  return ::_read(fd, buffer, static_cast<unsigned>(size > 0x7FFFFFFF ? 0x7FFFFFFF : size));
}

void Close(int fd) { ::_close(fd); }

void Remove(const std::string& utf8) { ::_wunlink(Wide(utf8).c_str()); }

bool GetStatus(const std::string& utf8, Status& status) {
  struct _stat64 st {};
  if (::_wstat64(Wide(utf8).c_str(), &st) != 0) return false;
  status.regular = (st.st_mode & _S_IFMT) == _S_IFREG;
  status.size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

// Windows keeps no search right on folders: a folder is writable when it is not read-only.
bool Writable(const std::string& utf8) { return ::_waccess(Wide(utf8).c_str(), 2) == 0; }

bool FolderWritable(const std::string& utf8_file) {
  std::wstring folder = Wide(utf8_file);
  const auto separator = folder.find_last_of(L"/\\:");
  if (separator == std::wstring::npos) {
    folder = L".";
  } else if (folder[separator] == L':' || separator == 0 || folder[separator - 1] == L':') {
    folder.resize(separator + 1);  // "C:", "\\", "C:\\": the drive or its root
  } else {
    folder.resize(separator);
  }
  return ::_waccess(folder.c_str(), 2) == 0;
}

}  // namespace mivo::dao::files
