// GetLocaleInfoW: the locale data MivoDB asks for, the default ANSI code page of a locale.

#include <algorithm>
#include <iterator>
#include <string>

#include "platform/win32/winnls.h"

namespace {

struct LocaleAnsiCodePage {
  LANGID language;
  UINT code_page;
};

constexpr LocaleAnsiCodePage kLocales[] = {
#include "platform/win32/codepages_locales.inc"
};

static_assert(std::is_sorted(std::begin(kLocales), std::end(kLocales),
                             [](const LocaleAnsiCodePage& a, const LocaleAnsiCodePage& b) {
                               return a.language < b.language;
                             }),
              "the locale table must be in ascending order of the language id");

const LocaleAnsiCodePage* FindLocale(LANGID language) {
  const auto* it =
      std::lower_bound(std::begin(kLocales), std::end(kLocales), language,
                       [](const LocaleAnsiCodePage& entry, LANGID id) { return entry.language < id; });
  if (it == std::end(kLocales) || it->language != language) return nullptr;
  return it;
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

int GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData) {
  if (cchData < 0 || (cchData > 0 && lpLCData == nullptr)) return Fail(ERROR_INVALID_PARAMETER);
  const LocaleAnsiCodePage* locale = FindLocale(LOWORD(Locale));
  if (locale == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if ((LCType & ~LOCALE_NOUSEROVERRIDE) != LOCALE_IDEFAULTANSICODEPAGE) return Fail(ERROR_INVALID_FLAGS);

  const std::string digits = std::to_string(locale->code_page);
  const int needed = static_cast<int>(digits.size()) + 1;
  if (cchData == 0) return needed;
  if (cchData < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::copy(digits.begin(), digits.end(), lpLCData);
  lpLCData[digits.size()] = u'\0';
  return needed;
}
