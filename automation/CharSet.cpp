#include "automation/CharSet.h"

#include <cstdio>
#include <vector>

#include "platform/win32/winnls.h"
#include "textstore/StringMap.h"

namespace {

std::string DescribeHResult(HRESULT hr) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "text conversion failed (0x%08X)", static_cast<unsigned>(hr));
  return buf;
}

// Asks the system for the default ANSI code page of a language: the leading decimal digits of the locale
// data, 0 when the query fails or has no digits.
DWORD QueryAnsiCodePage(LANGID id) {
  const LCID lcid = MAKELCID(id, SORT_DEFAULT);
  const int length = GetLocaleInfoW(lcid, LOCALE_IDEFAULTANSICODEPAGE, nullptr, 0);
  CString text;
  if (length > 0) {
    std::vector<WCHAR> buffer(static_cast<std::size_t>(length), 0);
    if (GetLocaleInfoW(lcid, LOCALE_IDEFAULTANSICODEPAGE, buffer.data(), length) > 0) text = buffer.data();
  }
  DWORD codePage = 0;
  for (const WCHAR c : text) {
    if (c < u'0' || c > u'9') break;
    codePage = codePage * 10 + static_cast<DWORD>(c - u'0');
  }
  return codePage;
}

bool IsPlainAscii(const CString& text) {
  for (const char16_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

CTextConversionError::CTextConversionError(HRESULT hr) : std::runtime_error(DescribeHResult(hr)), m_hr(hr) {}

short CharsetCodeOfLanguage(LANGID id) {
  const WORD primary = PRIMARYLANGID(id);
  const WORD sub = SUBLANGID(id);
  if (primary == 0 || primary > 0x38) return 1;
  switch (primary) {
    case 0x03:
    case 0x06:
    case 0x07:
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0F:
    case 0x10:
    case 0x13:
    case 0x14:
    case 0x16:
    case 0x1C:
    case 0x1D:
    case 0x21:
    case 0x2D:
    case 0x36:
    case 0x38:
      return 0;  // ANSI_CHARSET
    case 0x11:
      return 128;  // SHIFTJIS_CHARSET
    case 0x08:
      return 161;  // GREEK_CHARSET
    case 0x1F:
      return 162;  // TURKISH_CHARSET
    case 0x2A:
      return 163;  // VIETNAMESE_CHARSET
    case 0x0D:
      return 177;  // HEBREW_CHARSET
    case 0x01:
    case 0x29:
      return 178;  // ARABIC_CHARSET
    case 0x25:
    case 0x26:
    case 0x27:
      return 186;  // BALTIC_CHARSET
    case 0x02:
    case 0x19:
    case 0x22:
    case 0x23:
      return 204;  // RUSSIAN_CHARSET
    case 0x1E:
      return 222;  // THAI_CHARSET
    case 0x05:
    case 0x0E:
    case 0x15:
    case 0x18:
    case 0x1B:
    case 0x24:
      return 238;                            // EASTEUROPE_CHARSET
    case 0x04:                               // Chinese
      if (sub == 1 || sub == 3) return 136;  // CHINESEBIG5_CHARSET
      if (sub == 2 || sub == 4) return 134;  // GB2312_CHARSET
      return 1;
    case 0x12:                   // Korean
      if (sub == 1) return 129;  // HANGUL_CHARSET
      if (sub == 2) return 130;  // JOHAB_CHARSET
      return 1;
    case 0x1A:  // Croatian and Serbian
      if (sub == 3) return 204;
      if (sub == 2) return 238;
      return 1;
    default:
      return 1;  // DEFAULT_CHARSET
  }
}

short CStringMap::GetCharsetCode() const {
  LANGID id = m_wLanguageId;
  if (id == 0 || id == 0xFFFF) id = LOWORD(GetThreadLocale());
  return CharsetCodeOfLanguage(id);
}

// Turns a text that holds the system code page's reading of bytes written in the language's ANSI code page
// into its proper characters: encode with the system code page (characters it lacks become its default
// character), decode with the language's page. The language's code page is asked once per id and store.
// The whole text is converted, embedded NULs included. When the language's page cannot decode (a page this
// system does not have), the text is kept as it was read. Throws CTextConversionError when the encode
// fails for any reason other than a too-small buffer.
CString CStringMap::ConvertText(CString text) {
  DWORD codePage;
  if (const auto it = m_CodePages.find(m_wLanguageId); it != m_CodePages.end()) {
    codePage = it->second;
  } else {
    codePage = QueryAnsiCodePage(m_wLanguageId);
    m_CodePages.emplace(m_wLanguageId, codePage);
  }
  if (IsPlainAscii(text)) return text;  // every supported code page is ASCII-compatible

  // Encode, terminator included, into a buffer of 4 bytes per character; ask for the exact size when the
  // system reports it too small.
  const int units = static_cast<int>(text.size()) + 1;
  std::vector<char> bytes(static_cast<std::size_t>(units) * 4);
  int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), units, bytes.data(),
                                   static_cast<int>(bytes.size()), nullptr, nullptr);
  if (length == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    const int needed = WideCharToMultiByte(CP_ACP, 0, text.c_str(), units, nullptr, 0, nullptr, nullptr);
    if (needed > 0) {
      bytes.assign(static_cast<std::size_t>(needed), 0);
      length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), units, bytes.data(), needed, nullptr, nullptr);
    }
  }
  if (length == 0) {
    const DWORD error = GetLastError();
    throw CTextConversionError(error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY
                                   ? E_OUTOFMEMORY
                                   : HRESULT_FROM_WIN32(error == 0 ? ERROR_INVALID_DATA : error));
  }

  const int decodedLength = MultiByteToWideChar(codePage, MB_PRECOMPOSED, bytes.data(), length, nullptr, 0);
  if (decodedLength <= 0) return text;
  CString decoded(static_cast<std::size_t>(decodedLength), u'\0');
  if (MultiByteToWideChar(codePage, MB_PRECOMPOSED, bytes.data(), length, decoded.data(), decodedLength) <=
      0) {
    return text;
  }
  if (!decoded.empty() && decoded.back() == u'\0') decoded.pop_back();  // the terminator
  return decoded;
}
