#include <string>

#include "platform/win32/nls_acp.h"
#include "platform/win32/winreg.h"

namespace mivo::nls {

UINT ReadSystemAnsiCodePage() {
  constexpr UINT kFallback = 1252;
  mivo::reg::UniqueKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", KEY_QUERY_VALUE) !=
      ERROR_SUCCESS) {
    return kFallback;
  }
  DWORD type = 0;
  DWORD size = 0;
  std::u16string text;
  LSTATUS status = RegQueryValueExW(key, u"ACP", nullptr, &type, nullptr, &size);
  if (status == ERROR_SUCCESS && type == REG_SZ) {
    text.assign((size + 1) / 2, u'\0');
    status = RegQueryValueExW(key, u"ACP", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    text.resize(size / 2);
  }
  if (status != ERROR_SUCCESS || type != REG_SZ) return kFallback;
  text = text.substr(0, text.find(u'\0'));
  // Decimal digits only, as Windows keeps it ("1252"); anything else, or a number past 32 bits, is unusable.
  if (text.empty() || text.size() > 9) return kFallback;
  UINT number = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return kFallback;
    number = number * 10 + static_cast<UINT>(c - u'0');
  }
  return number;
}

}  // namespace mivo::nls
