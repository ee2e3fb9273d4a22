// Reports on Linux: one line on stderr.
#include <unistd.h>

#include <string>

#include "platform/afx/afx.h"
#include "platform/afx/afx_platform.h"

namespace mivo::afx {

void ShowReport(const std::u16string& title, const std::u16string& text) {
  const std::string line = AfxToUtf8(title) + ": " + AfxToUtf8(text) + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace mivo::afx
