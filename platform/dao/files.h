// The file-system calls of the database layer (internal): the POSIX calls it needs, with their meaning
// and errno, on both systems (files.cpp on Linux, win/files.cpp on Windows). Paths are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mivo::dao::files {

// open(path, O_RDONLY | O_CLOEXEC): a descriptor, or -1 with errno.
int OpenForReading(const std::string& utf8);
// open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644): a new empty file, or -1 with errno (EEXIST
// when the file exists).
int CreateNew(const std::string& utf8);
// read(fd, buffer, size): the bytes read, 0 at the end, -1 with errno.
long Read(int fd, void* buffer, std::size_t size);
void Close(int fd);
// unlink(path); errors are ignored.
void Remove(const std::string& utf8);

struct Status {
  bool regular = false;  // a regular file (not a folder, device, ...)
  std::uint64_t size = 0;
};
// stat(path): true with the status, false with errno (ENOENT, ENOTDIR for a missing file).
bool GetStatus(const std::string& utf8, Status& status);
// access(path, W_OK): the file may be written.
bool Writable(const std::string& utf8);
// access(folder of the file, W_OK | X_OK): files may be created beside the file (a database's journal).
bool FolderWritable(const std::string& utf8_file);

}  // namespace mivo::dao::files
