// The end of the process on Linux: SIGTERM and SIGINT, blocked for the whole process and waited for.
#include <signal.h>

#include "platform/afx/afx_platform.h"

namespace mivo::afx {
namespace {

sigset_t EndSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void PrepareEndRequests() {
  const sigset_t set = EndSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForEnd() {
  PrepareEndRequests();
  const sigset_t set = EndSignals();
  for (;;) {
    const int sig = sigwaitinfo(&set, nullptr);
    if (sig == SIGTERM || sig == SIGINT) return 0;
  }
}

}  // namespace mivo::afx
