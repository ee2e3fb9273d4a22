// GetACP and the test seams of national-language support.

#include <atomic>

#include "platform/win32/codepages.h"
#include "platform/win32/nls_acp.h"
#include "platform/win32/nls_state.h"
#include "platform/win32/winnls.h"

namespace mivo::nls {
namespace {

constexpr UINT kFallbackAnsiCodePage = 1252;

std::atomic<UINT> g_cached{0};    // 0: not read yet
std::atomic<UINT> g_override{0};  // 0: none
thread_local bool t_reading = false;

// `number` when it is an ANSI code page that can be converted with, else 1252.
UINT Usable(UINT number) {
  if (number == CP_UTF8 || FindCodePage(number) == nullptr) return kFallbackAnsiCodePage;
  return number;
}

// The system ANSI code page, read once; see GetACP.
UINT SystemAnsiCodePage() {
  if (const UINT forced = g_override.load(); forced != 0) return Usable(forced);
  if (const UINT cached = g_cached.load(); cached != 0) return cached;
  // Reading the hive may convert text; a nested call during the read gets the fallback.
  if (t_reading) return kFallbackAnsiCodePage;
  struct Reading {
    Reading() { t_reading = true; }
    ~Reading() { t_reading = false; }
  } reading;
  const UINT read = Usable(ReadSystemAnsiCodePage());
  UINT expected = 0;  // another thread may have read it meanwhile: its answer stands
  return g_cached.compare_exchange_strong(expected, read) ? read : expected;
}

}  // namespace

void ResetAnsiCodePageCache() { g_cached.store(0); }

void ResetForTesting() {
  ResetLocaleCache();
  ResetAnsiCodePageCache();
}

void SetAnsiCodePageForTesting(UINT codePage) { g_override.store(codePage); }

}  // namespace mivo::nls

UINT GetACP() { return mivo::nls::SystemAnsiCodePage(); }
