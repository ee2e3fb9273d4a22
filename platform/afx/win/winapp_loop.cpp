// The end of the process on Windows. The loop of an application without a pump is the thread's message
// loop; it ends with WM_QUIT, which the console control handler posts on Ctrl+C, Ctrl+Break or when the
// console closes (the process then ends in order instead of being killed).
#include <windows.h>

#include <atomic>

#include "platform/afx/afx_platform.h"

namespace mivo::afx {
namespace {

std::atomic<DWORD> g_loop_thread{0};
std::atomic<bool> g_end_requested{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_end_requested = true;
      if (const DWORD thread = g_loop_thread.load(); thread != 0) PostThreadMessageW(thread, WM_QUIT, 0, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void PrepareEndRequests() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int WaitForEnd() {
  MSG msg;
  // Makes sure the thread has a message queue before it can be posted to.
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  g_loop_thread = GetCurrentThreadId();
  if (g_end_requested) return 0;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  g_loop_thread = 0;
  return 0;
}

}  // namespace mivo::afx
