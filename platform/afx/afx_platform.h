// What the framework asks of the operating system (internal to platform/afx): one implementation per
// system, reports.cpp, winapp_loop.cpp and memory.cpp on Linux, win/ on Windows. Standard C++ types only, so
// that the Windows implementations, which include <windows.h>, can define them.
#pragma once

#include <cstddef>
#include <string>

namespace mivo::afx {

// Shows one report of AfxMessageBox to the user (Linux: "<title>: <text>" on stderr; Windows: a modal
// message box, or stderr and the debugger with MIVODB_REPORTS=stderr). Never throws.
void ShowReport(const std::u16string& title, const std::u16string& text);

// Called first by AfxWinMain: from here on a request to end the process (SIGTERM or SIGINT on Linux, Ctrl+C
// or closing the console on Windows) ends WaitForEnd instead of killing the process.
void PrepareEndRequests();

// The message loop of an application without a pump: returns 0 when the process is asked to end (on
// Windows also when the thread receives WM_QUIT).
int WaitForEnd();

// Offers the memory [p, p + bytes) to the system for large pages (Linux: transparent huge pages for the
// whole 2 MB ranges inside it; Windows: nothing). A hint only: never fails and never changes the contents.
void AdviseLargePages(void* p, std::size_t bytes);

}  // namespace mivo::afx
