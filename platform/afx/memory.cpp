// Memory hints on Linux.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/afx/afx_platform.h"

namespace mivo::afx {

void AdviseLargePages(void* p, std::size_t bytes) {
  // madvise takes whole pages: the pages that lie entirely inside the range.
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + page - 1) / page * page;
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) / page * page;
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace mivo::afx
