// Shared state of national-language support (internal).
#pragma once

namespace mivo::nls {

// Forgets the cached thread locale and user language (nls_locale.cpp).
void ResetLocaleCache();
// Forgets the cached system ANSI code page (nls.cpp).
void ResetAnsiCodePageCache();

}  // namespace mivo::nls
