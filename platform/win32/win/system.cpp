// Base services and national-language support on Windows: forwarded to Windows. This file includes
// <windows.h>; each forwarding function is an overload of the Windows function with the builtin types that
// our own declarations (wintypes.h, winbase.h, winnls.h) stand for.
#include <windows.h>

#include <cstdint>

#include "platform/win32/win/bridge.h"

namespace {
LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }
LPWSTR W(char16_t* s) { return reinterpret_cast<LPWSTR>(s); }
}  // namespace

namespace mivo::win {
std::uint32_t SystemLastError() { return ::GetLastError(); }
std::uint32_t SystemAnsiCodePage() { return ::GetACP(); }
std::uint32_t SystemThreadLocale() { return ::GetThreadLocale(); }
std::uint16_t SystemUserDefaultLangID() { return ::GetUserDefaultLangID(); }
}  // namespace mivo::win

void SetLastError(unsigned error) { ::SetLastError(static_cast<DWORD>(error)); }

// ---- National-language support ----

int GetLocaleInfoW(unsigned Locale, unsigned LCType, char16_t* lpLCData, int cchData) {
  return ::GetLocaleInfoW(Locale, LCType, W(lpLCData), cchData);
}

int MultiByteToWideChar(unsigned CodePage, unsigned dwFlags, const char* lpMultiByteStr, int cbMultiByte,
                        char16_t* lpWideCharStr, int cchWideChar) {
  if (CodePage == CP_ACP) CodePage = mivo::win::EffectiveAnsiCodePage();
  return ::MultiByteToWideChar(CodePage, dwFlags, lpMultiByteStr, cbMultiByte, W(lpWideCharStr), cchWideChar);
}

int WideCharToMultiByte(unsigned CodePage, unsigned dwFlags, const char16_t* lpWideCharStr, int cchWideChar,
                        char* lpMultiByteStr, int cbMultiByte, const char* lpDefaultChar,
                        int* lpUsedDefaultChar) {
  if (CodePage == CP_ACP) CodePage = mivo::win::EffectiveAnsiCodePage();
  return ::WideCharToMultiByte(CodePage, dwFlags, W(lpWideCharStr), cchWideChar, lpMultiByteStr, cbMultiByte,
                               lpDefaultChar, lpUsedDefaultChar);
}

// ---- Module file name ----

unsigned GetModuleFileNameW(void* hModule, char16_t* lpFilename, unsigned nSize) {
  return ::GetModuleFileNameW(static_cast<HMODULE>(hModule), W(lpFilename), nSize);
}

// ---- Version information (the VERSIONINFO resource, version.dll) ----

unsigned GetFileVersionInfoSizeW(const char16_t* lptstrFilename, unsigned* lpdwHandle) {
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(W(lptstrFilename), &handle);
  if (lpdwHandle) *lpdwHandle = handle;
  return size;
}

int GetFileVersionInfoW(const char16_t* lptstrFilename, unsigned dwHandle, unsigned dwLen, void* lpData) {
  return ::GetFileVersionInfoW(W(lptstrFilename), dwHandle, dwLen, lpData);
}

int VerQueryValueW(const void* pBlock, const char16_t* lpSubBlock, void** lplpBuffer, unsigned* puLen) {
  return ::VerQueryValueW(pBlock, W(lpSubBlock), lplpBuffer, puLen);
}
