// The calls of platform/win32 whose Windows counterparts have the same parameter types (an overload could
// not tell them apart) or take Windows structures: defined here with this layer's own types, forwarded to
// Windows through win/bridge.h. Also the layer's extras, with their meaning on Windows.
#include <atomic>
#include <string>

#include "platform/win32/win/bridge.h"
#include "platform/win32/winnls.h"
#include "platform/win32/winreg.h"

namespace {
std::atomic<UINT> g_ansi_override{0};  // 0: none
}  // namespace

DWORD GetLastError() { return mivo::win::SystemLastError(); }

LCID GetThreadLocale() { return mivo::win::SystemThreadLocale(); }
LANGID GetUserDefaultLangID() { return mivo::win::SystemUserDefaultLangID(); }

UINT GetACP() {
  const UINT forced = g_ansi_override.load();
  return forced != 0 ? forced : mivo::win::SystemAnsiCodePage();
}

std::uint32_t mivo::win::EffectiveAnsiCodePage() { return GetACP(); }

LSTATUS RegCloseKey(HKEY hKey) { return mivo::win::CloseKey(hKey); }

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/, LPWSTR /*lpClass*/, DWORD dwOptions,
                        REGSAM samDesired, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
  return mivo::win::CreateKey(hKey, lpSubKey, dwOptions, samDesired, phkResult, lpdwDisposition);
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD /*lpReserved*/,
                         LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                         LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                         LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  return mivo::win::QueryInfoKey(hKey, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen,
                                 lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor,
                                 lpftLastWriteTime);
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD /*lpReserved*/,
                      LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  return mivo::win::EnumKey(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
}

namespace mivo::reg {

// The real registry keeps no state in this process that could be read again.
void ResetForTesting() {}
// The real registry has no hive files of this system.
std::string HiveFileOf(HKEY /*root*/) { return {}; }
// The real registry never reports a foreign settings file.
std::string LastHiveProblem() { return {}; }

}  // namespace mivo::reg

namespace mivo::nls {

// Windows reads the locale and the ANSI code page itself; only the override is this layer's.
void ResetForTesting() {}
void SetAnsiCodePageForTesting(UINT codePage) { g_ansi_override.store(codePage); }

}  // namespace mivo::nls
