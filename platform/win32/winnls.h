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
//
// Details of this implementation:
// - Locale names: the codeset is ignored, as is any modifier other than the script modifiers "latin",
//   "cyrillic" and "devanagari" and the variant "valencia" ("sr_RS@latin" -> 0x241A). A name that maps to
//   a language without a country is completed with the likely script, then with the language's main
//   country ("sr_RS" -> 0x281A, "de" -> 0x0407, "en_DK" -> 0x0409). A name ICU cannot map gives 0x0409.
// - GetLocaleInfoW: only LOCALE_IDEFAULTANSICODEPAGE is answered (LOCALE_NOUSEROVERRIDE may be or'ed in);
//   other types fail with ERROR_INVALID_FLAGS. Only the language id (low 16 bits) of the LCID is used. The
//   table holds the specific locales and LOCALE_INVARIANT (0x007F, "1252"); neutral ids (0x0009, 0x0063)
//   and the pseudo-locales 0x0000, 0x0400, 0x0800 fail, as on Windows XP. A negative cchData, or a null
//   buffer with a non-zero cchData, fails with ERROR_INVALID_PARAMETER.
// - Conversion arguments: a null input, an input length of 0 or below -1, a negative output size, a null
//   output with a non-zero size, or input and output that overlap fail with ERROR_INVALID_PARAMETER.
//   Lengths count what is converted: with an explicit length, zero bytes and units inside it are converted
//   like any other. With an output too small the buffer holds what fitted; the result is still 0.
// - Single-byte pages (874, 1250-1258) decode every byte to one UTF-16 unit: unassigned bytes in 0x80-0x9F
//   to the C1 control of the same value (0x81 -> U+0081 in 1252), the few unassigned bytes above to the
//   private-use characters Windows gives them (1253 0xAA -> U+F8F9). Bytes decoded with such a page and
//   encoded back with it therefore come out unchanged, whatever page they were written in.
// - Double-byte pages (932, 936, 949, 950): a lead byte and the next byte are one character. An
//   unassigned pair, a lead byte at the end of the input, or a lead byte followed by a byte that cannot
//   trail one (which is then read on its own; the terminating zero is never swallowed) decode to U+30FB
//   for 932 and to '?' for the others; with MB_ERR_INVALID_CHARS they fail the call with
//   ERROR_NO_UNICODE_TRANSLATION.
// - Encoding to an ANSI page uses no best-fit mappings (unlike Windows without WC_NO_BEST_FIT_CHARS): a
//   character the page lacks becomes the default character. Each UTF-16 unit is encoded on its own, so a
//   surrogate pair becomes two default characters and a lone surrogate one. A lpDefaultChar whose first
//   byte is a lead byte of a double-byte page supplies a two-byte default character.
// - Flags: MultiByteToWideChar accepts MB_PRECOMPOSED and MB_ERR_INVALID_CHARS (CP_UTF8: only
//   MB_ERR_INVALID_CHARS); WideCharToMultiByte accepts WC_NO_BEST_FIT_CHARS (CP_UTF8: only
//   WC_ERR_INVALID_CHARS). Other flags (the composition and glyph flags included, which this
//   implementation does not provide) fail with ERROR_INVALID_FLAGS. With CP_UTF8, lpDefaultChar and
//   lpUsedDefaultChar must be null (else ERROR_INVALID_PARAMETER).
// - UTF-8: decoding replaces each maximal ill-formed part by U+FFFD (or fails with MB_ERR_INVALID_CHARS);
//   encoding writes a lone surrogate as U+FFFD (or fails with WC_ERR_INVALID_CHARS), a pair as 4 bytes.
// - A result that does not fit in an int fails with ERROR_INVALID_PARAMETER.
// - GetACP() answers 1252 when the machine names a code page that is none of the ANSI pages above (CP_UTF8
//   included), so CP_ACP always converts.
//
// On Windows (win/) the calls are Windows' own (the details above do not apply): the thread locale and the
// user's language are the system's, not the POSIX locale's. CP_ACP converts with GetACP(), which a test may
// override with SetAnsiCodePageForTesting; ResetForTesting does nothing.
#pragma once

#include "platform/win32/wintypes.h"

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr DWORD MB_PRECOMPOSED = 0x00000001;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
inline constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x00000400;
inline constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;
inline constexpr LCTYPE LOCALE_IDEFAULTANSICODEPAGE = 0x00001004;
inline constexpr LCTYPE LOCALE_NOUSEROVERRIDE = 0x80000000;

LCID GetThreadLocale();
LANGID GetUserDefaultLangID();
int GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData);
UINT GetACP();

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar);

namespace mivo::nls {
// Test seams. Forget the cached locale and system code page so the next call reads them again.
void ResetForTesting();
// Override the system ANSI code page (0 restores reading it from the machine hive).
void SetAnsiCodePageForTesting(UINT codePage);
}  // namespace mivo::nls
