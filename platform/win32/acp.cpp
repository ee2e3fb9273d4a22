#include "platform/win32/nls_acp.h"

namespace mivo::nls {

UINT ReadSystemAnsiCodePage() { return 1252; }

}  // namespace mivo::nls
