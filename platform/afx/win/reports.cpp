// Reports on Windows: a modal message box titled with the application title; with the environment variable
// MIVODB_REPORTS=stderr the same text goes to the standard error handle ("<title>: <text>", UTF-8) and to
// the debugger (OutputDebugStringW) instead, and the call never blocks.
#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/afx/afx_platform.h"

namespace mivo::afx {
namespace {

bool ReportsToStderr() {
  wchar_t value[16] = {};
  const DWORD n = GetEnvironmentVariableW(L"MIVODB_REPORTS", value, 16);
  return n > 0 && n < 16 && std::wcscmp(value, L"stderr") == 0;
}

const wchar_t* Wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

// UTF-16 to UTF-8 with Windows' own converter (lone surrogates become U+FFFD).
std::string Utf8(const std::u16string& s) {
  if (s.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, Wide(s), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, Wide(s), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

void WriteAll(HANDLE handle, const std::string& bytes) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
        written == 0) {
      return;
    }
    done += written;
  }
}

}  // namespace

void ShowReport(const std::u16string& title, const std::u16string& text) {
  if (ReportsToStderr()) {
    const std::u16string line = title + u": " + text + u"\n";
    WriteAll(GetStdHandle(STD_ERROR_HANDLE), Utf8(line));
    OutputDebugStringW(Wide(line));
    return;
  }
  MessageBoxW(nullptr, Wide(text), Wide(title), MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND);
}

}  // namespace mivo::afx
