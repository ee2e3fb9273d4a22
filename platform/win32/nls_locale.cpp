// GetThreadLocale and GetUserDefaultLangID: the POSIX locale of the process, as a Windows language id.

#include <unicode/uloc.h>

#include <atomic>
#include <string>
#include <string_view>

#include "platform/win32/environment.h"
#include "platform/win32/nls_state.h"
#include "platform/win32/winnls.h"

namespace mivo::nls {
namespace {

constexpr LANGID kUsEnglish = 0x0409;

std::atomic<LANGID> g_language{0};  // 0: not read yet

// A neutral id names a language without a country: sublanguage 0, or the script-only ids (sublanguage
// 0x19 and above, such as 0x7C1A for Serbian). Windows never gives one as a user's language.
bool IsNeutral(LANGID id) { return SUBLANGID(id) == 0 || SUBLANGID(id) >= 0x19; }

LANGID LcidOf(const std::string& icu_name) {
  if (icu_name.empty()) return 0;
  return LOWORD(uloc_getLCID(icu_name.c_str()));
}

std::string LikelyName(const std::string& icu_name) {
  char likely[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode error = U_ZERO_ERROR;
  uloc_addLikelySubtags(icu_name.c_str(), likely, sizeof likely, &error);
  if (U_FAILURE(error) || error == U_STRING_NOT_TERMINATED_WARNING) return {};
  return likely;
}

template <typename Getter>
std::string Part(const std::string& icu_name, Getter getter) {
  char part[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode error = U_ZERO_ERROR;
  getter(icu_name.c_str(), part, sizeof part, &error);
  if (U_FAILURE(error) || error == U_STRING_NOT_TERMINATED_WARNING) return {};
  return part;
}

std::string Join(const std::string& language, const std::string& script, const std::string& country,
                 const std::string& variant) {
  std::string name = language;
  if (!script.empty()) name += "_" + script;
  if (!country.empty() || !variant.empty()) name += "_" + country;
  if (!variant.empty()) name += "_" + variant;
  return name;
}

// The language id of a POSIX locale name, language[_territory][.codeset][@modifier]. The codeset is
// ignored; the modifiers that name a script or a variant ("latin", "cyrillic", "devanagari", "valencia")
// are taken into account, any other modifier is ignored. A name that ICU maps to a language without a
// country is completed with the script ICU finds likely for it, then with the language's main country
// ("sr_RS" is Serbian (Cyrillic, Serbia), "de" is German (Germany)). Names ICU cannot map give 0x0409.
LANGID LanguageOfLocaleName(std::string_view value) {
  std::string_view modifier;
  if (const auto at = value.find('@'); at != std::string_view::npos) {
    modifier = value.substr(at + 1);
    value = value.substr(0, at);
    modifier = modifier.substr(0, modifier.find('.'));
  }
  value = value.substr(0, value.find('.'));
  if (value.empty() || value == "C" || value == "POSIX") return kUsEnglish;

  std::string name;
  for (const char c : value) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '_' && c != '-') return kUsEnglish;
    name += c == '-' ? '_' : c;
  }

  std::string language = Part(name, uloc_getLanguage);
  std::string script = Part(name, uloc_getScript);
  std::string country = Part(name, uloc_getCountry);
  std::string variant = Part(name, uloc_getVariant);
  if (language.empty()) return kUsEnglish;
  if (modifier == "latin") script = "Latn";
  if (modifier == "cyrillic") script = "Cyrl";
  if (modifier == "devanagari") script = "Deva";
  if (modifier == "valencia") variant = "VALENCIA";

  const std::string given = Join(language, script, country, variant);
  const LANGID id = LcidOf(given);
  if (id == 0) return kUsEnglish;
  if (!IsNeutral(id)) return id;

  if (script.empty()) {
    const std::string likely_script = Part(LikelyName(given), uloc_getScript);
    const LANGID scripted = LcidOf(Join(language, likely_script, country, variant));
    if (scripted != 0 && !IsNeutral(scripted)) return scripted;
  }
  const LANGID main = LcidOf(Join(language, script, Part(LikelyName(language), uloc_getCountry), variant));
  if (main != 0 && !IsNeutral(main)) return main;
  return id;
}

LANGID UserLanguage() {
  LANGID id = g_language.load();
  if (id == 0) {
    id = LanguageOfLocaleName(mivo::win32::PosixLocaleName());
    g_language.store(id);
  }
  return id;
}

}  // namespace

void ResetLocaleCache() { g_language.store(0); }

}  // namespace mivo::nls

LANGID GetUserDefaultLangID() { return mivo::nls::UserLanguage(); }

LCID GetThreadLocale() { return MAKELCID(mivo::nls::UserLanguage(), SORT_DEFAULT); }
