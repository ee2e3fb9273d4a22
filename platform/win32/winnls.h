// National-language support: locale identifiers, locale data and code-page conversion.
//
// Contract:
// - GetThreadLocale() and GetUserDefaultLangID() come from the POSIX locale (LC_ALL, LC_MESSAGES, LANG,
//   first one set and non-empty wins). Unset, "C", "C.UTF-8" and "POSIX" mean 0x0409. The locale name is
//   mapped to a Windows language id by ICU whether or not the locale is installed ("ru_RU.UTF-8" -> 0x0419).
//   GetThreadLocale() returns MAKELCID(id, SORT_DEFAULT). Both are read when first asked.
// - GetLocaleInfoW(lcid, LOCALE_IDEFAULTANSICODEPAGE, ...) answers from the Windows table of default ANSI
//   code pages, as text in decimal ("1252"). With cchData 0 it returns the length needed (terminator
//   included); with a buffer too small it fails with ERROR_INSUFFICIENT_BUFFER. A language id that is no
//   known locale (for example 99) fails with ERROR_INVALID_PARAMETER and returns 0. Locales without an ANSI
//   code page (Unicode-only) answer "0", as Windows does.
// - MultiByteToWideChar / WideCharToMultiByte convert with the Windows tables for CP_ACP (0, the system
//   ANSI code page), 874, 932, 936, 949, 950 and 1250 to 1258, and CP_UTF8. cbMultiByte / cchWideChar of -1
//   mean "up to and including the terminating zero". With an output size of 0 the result is the size
//   needed; with an output too small the call fails with ERROR_INSUFFICIENT_BUFFER and returns 0. A
//   character the target code page lacks becomes the default character ("?" unless lpDefaultChar gives one),
//   and *lpUsedDefaultChar tells whether that happened. An unknown code page fails with
//   ERROR_INVALID_PARAMETER.
// - GetACP() is the system ANSI code page, read once from the machine hive (value "ACP" of
//   SYSTEM\CurrentControlSet\Control\Nls\CodePage, decimal REG_SZ); 1252 when absent or unreadable.
#pragma once

#include "platform/win32/wintypes.h"

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr DWORD MB_PRECOMPOSED = 0x00000001;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
inline constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x00000400;
inline constexpr LCTYPE LOCALE_IDEFAULTANSICODEPAGE = 0x00001004;
inline constexpr LCTYPE LOCALE_NOUSEROVERRIDE = 0x80000000;

LCID GetThreadLocale();
LANGID GetUserDefaultLangID();
int GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData);
UINT GetACP();

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

namespace mivo::nls {
// Test seams. Forget the cached locale and system code page so the next call reads them again.
void ResetForTesting();
// Override the system ANSI code page (0 restores reading it from the machine hive).
void SetAnsiCodePageForTesting(UINT codePage);
}  // namespace mivo::nls
