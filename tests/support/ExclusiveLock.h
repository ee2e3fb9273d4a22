// Test support: another process that holds an SQLite file locked, so that every other process finds it
// busy.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace mivo::test {

// A process of its own that holds an exclusive transaction on an SQLite file until Release() or
// destruction, so that every other process finds the file locked.
class ExclusiveLockHolder {
 public:
  static constexpr int kLimitMs = 10000;
  ExclusiveLockHolder() = default;
  ~ExclusiveLockHolder() { Release(); }
  ExclusiveLockHolder(const ExclusiveLockHolder&) = delete;
  ExclusiveLockHolder& operator=(const ExclusiveLockHolder&) = delete;

  // True once the child holds the lock (within 10 s).
  bool Hold(const std::string& file) {
    int ready[2], release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return false;
    if (::pipe2(release, O_CLOEXEC) != 0) {
      ::close(ready[0]);
      ::close(ready[1]);
      return false;
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(2);
      ::close(ready[0]);
      ::close(release[1]);
      sqlite3* db = nullptr;
      char ok = 0;
      if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
          sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK) {
        ok = 1;
      }
      [[maybe_unused]] ssize_t n = ::write(ready[1], &ok, 1);
      char byte = 0;
      while (::read(release[0], &byte, 1) < 0 && errno == EINTR) {
      }
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close(db);
      ::_exit(ok ? 0 : 1);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    if (pid_ < 0) {
      ::close(ready[0]);
      return false;
    }
    pollfd fd{ready[0], POLLIN, 0};
    char ok = 0;
    const bool got = ::poll(&fd, 1, kLimitMs) == 1 && ::read(ready[0], &ok, 1) == 1;
    ::close(ready[0]);
    return got && ok == 1;
  }

  // Ends the transaction and the child; the file is free afterwards.
  void Release() {
    if (release_ >= 0) {
      ::close(release_);  // the child reads end-of-file and rolls back
      release_ = -1;
    }
    if (pid_ > 0) {
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

}  // namespace mivo::test
