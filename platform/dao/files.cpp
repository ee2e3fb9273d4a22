// The file-system calls of the database layer on Linux: the POSIX calls themselves.
#include "platform/dao/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mivo::dao::files {

int OpenForReading(const std::string& utf8) { return ::open(utf8.c_str(), O_RDONLY | O_CLOEXEC); }

int CreateNew(const std::string& utf8) {
  return ::open(utf8.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

long Read(int fd, void* buffer, std::size_t size) { return static_cast<long>(::read(fd, buffer, size)); }

void Close(int fd) { ::close(fd); }

void Remove(const std::string& utf8) { ::unlink(utf8.c_str()); }

bool GetStatus(const std::string& utf8, Status& status) {
  struct stat st {};
  if (::stat(utf8.c_str(), &st) != 0) return false;
  status.regular = S_ISREG(st.st_mode);
  status.size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool Writable(const std::string& utf8) { return ::access(utf8.c_str(), W_OK) == 0; }

bool FolderWritable(const std::string& utf8_file) {
  const auto slash = utf8_file.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : utf8_file.substr(0, slash);
  return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace mivo::dao::files
