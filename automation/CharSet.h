// Errors of the text conversion: a failed encode that is not a too-small buffer.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/win32/wintypes.h"

// Thrown by CStringMap::ConvertText when the system cannot encode a text: hr is E_OUTOFMEMORY or the
// system's last error as an HRESULT (0x8007xxxx). The loaders let it pass to their callers.
class CTextConversionError : public std::runtime_error {
 public:
  explicit CTextConversionError(HRESULT hr);
  HRESULT m_hr;
};

// The Windows character-set code of a language id (see CStringMap::GetCharsetCode); ids 0 and 0xFFFF are
// the caller's business.
short CharsetCodeOfLanguage(LANGID id);
