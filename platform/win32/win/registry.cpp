// The registry API on Windows: the calls forward to the real registry. This file includes <windows.h>;
// each forwarding function is an overload of the Windows function with the builtin types that our own
// declarations (platform/win32/winreg.h) stand for: LSTATUS = int, DWORD = unsigned, WCHAR = char16_t.
#include <windows.h>

#include <cstdint>

#include "platform/win32/win/bridge.h"
#include "platform/win32/win/registry_sandbox.h"

namespace {

// Our predefined roots are the 32-bit values zero-extended (0x80000002); Windows' are sign-extended to the
// width of a pointer (0xFFFFFFFF80000002). Other handles pass unchanged.
HKEY Native(HKEY__* key) {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  if ((value >> 32) == 0 && (value & 0xFFFFFFF0U) == 0x80000000U) {
    return reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(value)));
  }
  return key;
}

LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }
LPWSTR W(char16_t* s) { return reinterpret_cast<LPWSTR>(s); }
LPDWORD D(unsigned* p) { return reinterpret_cast<LPDWORD>(p); }

}  // namespace

int RegOpenKeyExW(HKEY__* hKey, const char16_t* lpSubKey, unsigned ulOptions, unsigned samDesired,
                  HKEY__** phkResult) {
  return ::RegOpenKeyExW(Native(hKey), W(lpSubKey), ulOptions, samDesired, phkResult);
}

int RegQueryValueExW(HKEY__* hKey, const char16_t* lpValueName, unsigned* lpReserved, unsigned* lpType,
                     unsigned char* lpData, unsigned* lpcbData) {
  return ::RegQueryValueExW(Native(hKey), W(lpValueName), D(lpReserved), D(lpType), lpData, D(lpcbData));
}

int RegSetValueExW(HKEY__* hKey, const char16_t* lpValueName, unsigned Reserved, unsigned dwType,
                   const unsigned char* lpData, unsigned cbData) {
  return ::RegSetValueExW(Native(hKey), W(lpValueName), Reserved, dwType, lpData, cbData);
}

int RegDeleteValueW(HKEY__* hKey, const char16_t* lpValueName) {
  return ::RegDeleteValueW(Native(hKey), W(lpValueName));
}

int RegEnumValueW(HKEY__* hKey, unsigned dwIndex, char16_t* lpValueName, unsigned* lpcchValueName,
                  unsigned* lpReserved, unsigned* lpType, unsigned char* lpData, unsigned* lpcbData) {
  return ::RegEnumValueW(Native(hKey), dwIndex, W(lpValueName), D(lpcchValueName), D(lpReserved), D(lpType),
                         lpData, D(lpcbData));
}

int RegDeleteKeyW(HKEY__* hKey, const char16_t* lpSubKey) {
  return ::RegDeleteKeyW(Native(hKey), W(lpSubKey));
}

int RegDeleteTreeW(HKEY__* hKey, const char16_t* lpSubKey) {
  return ::RegDeleteTreeW(Native(hKey), W(lpSubKey));
}

namespace mivo::win {

std::int32_t CloseKey(HKEY__* key) { return ::RegCloseKey(Native(key)); }

std::int32_t CreateKey(HKEY__* key, const char16_t* sub_key, std::uint32_t options, std::uint32_t sam,
                       HKEY__** result, std::uint32_t* disposition) {
  return ::RegCreateKeyExW(Native(key), W(sub_key), 0, nullptr, options, sam, nullptr, result,
                           D(disposition));
}

std::int32_t QueryInfoKey(HKEY__* key, char16_t* class_name, std::uint32_t* class_chars,
                          std::uint32_t* sub_keys, std::uint32_t* max_sub_key_chars,
                          std::uint32_t* max_class_chars, std::uint32_t* values,
                          std::uint32_t* max_value_name_chars, std::uint32_t* max_value_bytes,
                          std::uint32_t* security_descriptor_bytes, void* last_write) {
  return ::RegQueryInfoKeyW(Native(key), W(class_name), D(class_chars), nullptr, D(sub_keys),
                            D(max_sub_key_chars), D(max_class_chars), D(values), D(max_value_name_chars),
                            D(max_value_bytes), D(security_descriptor_bytes),
                            static_cast<FILETIME*>(last_write));
}

std::int32_t EnumKey(HKEY__* key, std::uint32_t index, char16_t* name, std::uint32_t* name_chars,
                     char16_t* class_name, std::uint32_t* class_chars, void* last_write) {
  return ::RegEnumKeyExW(Native(key), index, W(name), D(name_chars), nullptr, W(class_name), D(class_chars),
                         static_cast<FILETIME*>(last_write));
}

}  // namespace mivo::win

namespace mivo::reg {

bool RedirectRootsForTesting(const std::u16string& machine, const std::u16string& user) {
  HKEY machine_key = nullptr;
  HKEY user_key = nullptr;
  bool ok = ::RegCreateKeyExW(HKEY_CURRENT_USER, W(machine.c_str()), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &machine_key, nullptr) == ERROR_SUCCESS &&
            ::RegCreateKeyExW(HKEY_CURRENT_USER, W(user.c_str()), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &user_key, nullptr) == ERROR_SUCCESS &&
            ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_key) == ERROR_SUCCESS;
  // The user root last: the machine key above was made below the real one.
  if (ok && ::RegOverridePredefKey(HKEY_CURRENT_USER, user_key) != ERROR_SUCCESS) {
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    ok = false;
  }
  // The roots keep their own references to the keys.
  if (machine_key) ::RegCloseKey(machine_key);
  if (user_key) ::RegCloseKey(user_key);
  return ok;
}

void RestoreRootsForTesting() {
  ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
}

void DeleteUserTreeForTesting(const std::u16string& path) {
  ::RegDeleteTreeW(HKEY_CURRENT_USER, W(path.c_str()));
  ::RegDeleteKeyW(HKEY_CURRENT_USER, W(path.c_str()));
}

}  // namespace mivo::reg
