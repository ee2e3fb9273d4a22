// The server side of a bus test, in a child process: the runtime on the test's session bus with the
// test factory registered, serving until its loop ends.
#pragma once

#include <sys/types.h>

#include <functional>

namespace mivo::test {

class ServerProcess {
 public:
  // Exit codes of the child besides 0 (an orderly end).
  static constexpr int kInitFailed = 2;
  static constexpr int kRegisterFailed = 3;

  ServerProcess() = default;
  ~ServerProcess();  // kills a child that still runs
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Forks the child: it closes every inherited descriptor above 2, blocks SIGTERM and SIGINT, runs
  // OleInit(kServe) and COleObjectFactory::RegisterAll, then `before_loop` (when given), then the message
  // loop, then AfxOleTerm, and exits 0.
  bool Start(std::function<void()> before_loop = {});
  // Sends `signal` and waits: the exit code, 128 + the signal number when a signal ended it, -1 without a
  // child.
  int Stop(int signal);
  // Waits for the child to end (see Stop).
  int Wait();
  // False once the child has ended (its status is kept for Wait).
  bool Alive();

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

}  // namespace mivo::test
