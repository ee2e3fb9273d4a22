// Memory hints on Windows: large pages need a privilege that a server does not hold, so none are asked for.
#include "platform/afx/afx_platform.h"

namespace mivo::afx {

void AdviseLargePages(void* /*p*/, std::size_t /*bytes*/) {}

}  // namespace mivo::afx
