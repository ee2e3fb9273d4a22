// The system ANSI code page as the machine keeps it (internal to national-language support).
#pragma once

#include "platform/win32/wintypes.h"

namespace mivo::nls {

// The code page the machine names as its ANSI code page, read anew on every call (GetACP caches it):
// the value "ACP" (REG_SZ, decimal) of SYSTEM\CurrentControlSet\Control\Nls\CodePage in the machine hive;
// 1252 when it is absent or unreadable. GetACP falls back to 1252 itself for a number that is no ANSI code
// page it converts, so this function may return any number it reads. It may use the registry API, which
// must not call GetACP while this runs (GetACP answers 1252 to such a nested call).
UINT ReadSystemAnsiCodePage();

}  // namespace mivo::nls
