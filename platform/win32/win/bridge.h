// The calls between the two halves of the Windows implementation of platform/win32 (internal): the files
// that include <windows.h> and the files that include this layer's own headers never meet in one
// translation unit (their typedefs and macros clash), so they talk through these declarations, which use
// standard C++ types only. HKEY__ is the same structure name on both sides.
#pragma once

#include <cstdint>
#include <string>

struct HKEY__;

namespace mivo::win {

// GetLastError, GetACP, GetThreadLocale and GetUserDefaultLangID of Windows itself.
std::uint32_t SystemLastError();
std::uint32_t SystemAnsiCodePage();
std::uint32_t SystemThreadLocale();
std::uint16_t SystemUserDefaultLangID();

// RegCloseKey, RegCreateKeyExW (no class, default security), RegQueryInfoKeyW and RegEnumKeyExW of
// Windows; `last_write`, when not null, points to two DWORDs laid out as FILETIME.
std::int32_t CloseKey(HKEY__* key);
std::int32_t CreateKey(HKEY__* key, const char16_t* sub_key, std::uint32_t options, std::uint32_t sam,
                       HKEY__** result, std::uint32_t* disposition);
std::int32_t QueryInfoKey(HKEY__* key, char16_t* class_name, std::uint32_t* class_chars,
                          std::uint32_t* sub_keys, std::uint32_t* max_sub_key_chars,
                          std::uint32_t* max_class_chars, std::uint32_t* values,
                          std::uint32_t* max_value_name_chars, std::uint32_t* max_value_bytes,
                          std::uint32_t* security_descriptor_bytes, void* last_write);
std::int32_t EnumKey(HKEY__* key, std::uint32_t index, char16_t* name, std::uint32_t* name_chars,
                     char16_t* class_name, std::uint32_t* class_chars, void* last_write);

}  // namespace mivo::win

namespace mivo::win {
// The code page CP_ACP stands for in this process: GetACP() of this layer (which a test may override).
std::uint32_t EffectiveAnsiCodePage();
}  // namespace mivo::win
