#include "platform/ole/server_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ole/afxdisp.h"
#include "platform/ole/test_target.h"

namespace mivo::test {

ServerProcess::~ServerProcess() {
  if (pid_ > 0) Stop(SIGKILL);
}

bool ServerProcess::Start(std::function<void()> before_loop) {
  TestFactory();  // the factory exists before the fork
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    // Descriptors of the parent (its bus connections above all) must not stay open in the server.
    ::close_range(3, ~0U, 0);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    CTestTarget::Shared() = CTestTarget::State{};
    if (!mivo::ole::OleInit(mivo::ole::InitMode::kServe)) ::_exit(kInitFailed);
    if (!COleObjectFactory::RegisterAll()) ::_exit(kRegisterFailed);
    if (before_loop) before_loop();
    mivo::ole::RunMessageLoop();
    AfxOleTerm();
    ::_exit(0);
  }
  pid_ = pid;
  return true;
}

int ServerProcess::Stop(int signal) {
  if (pid_ <= 0) return -1;
  if (!reaped_) ::kill(pid_, signal);
  return Wait();
}

bool ServerProcess::Alive() {
  if (pid_ <= 0 || reaped_) return false;
  if (::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

int ServerProcess::Wait() {
  if (pid_ <= 0) return -1;
  int status = status_;
  if (!reaped_) {
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
  reaped_ = false;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace mivo::test
