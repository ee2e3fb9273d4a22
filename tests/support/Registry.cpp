// The registry helpers of support/TestEnv.h.
#include <gtest/gtest.h>

#include "support/TestEnv.h"

namespace mivo::test {

std::string SzBytes(const std::u16string& text) { return Utf16(text) + std::string(2, '\0'); }

std::string Utf16(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
}

LSTATUS SetBytes(HKEY key, const char16_t* name, DWORD type, const std::string& bytes) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

LSTATUS SetSz(HKEY key, const char16_t* name, const std::u16string& text) {
  return SetBytes(key, name, REG_SZ, SzBytes(text));
}

LSTATUS SetDword(HKEY key, const char16_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

RegValue ReadValue(HKEY key, const char16_t* name) {
  RegValue value;
  DWORD size = 0;
  value.status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
  if (value.status != ERROR_SUCCESS) return value;
  value.bytes.assign(size, '\0');
  value.status =
      RegQueryValueExW(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(value.bytes.data()), &size);
  value.bytes.resize(size);
  return value;
}

namespace {
// The names that `enumerate(index, buffer, &chars)` gives for the indexes 0, 1, ... until it fails.
template <class Enumerate>
std::vector<std::u16string> Names(Enumerate&& enumerate) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[16384];
    DWORD chars = 16384;
    if (enumerate(i, name, &chars) != ERROR_SUCCESS) break;
    names.emplace_back(name, chars);
  }
  return names;
}

HKEY Root(bool machine) { return machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }
}  // namespace

std::vector<std::u16string> ValueNames(HKEY key) {
  return Names([key](DWORD i, LPWSTR name, LPDWORD chars) {
    return RegEnumValueW(key, i, name, chars, nullptr, nullptr, nullptr, nullptr);
  });
}

std::vector<std::u16string> SubkeyNames(HKEY key) {
  return Names([key](DWORD i, LPWSTR name, LPDWORD chars) {
    return RegEnumKeyExW(key, i, name, chars, nullptr, nullptr, nullptr, nullptr);
  });
}

RegValue ReadValue(HKEY root, const char16_t* path, const char16_t* name) {
  RegKey key;
  RegValue value;
  value.status = key.Open(root, path, KEY_READ);
  return value.status == ERROR_SUCCESS ? ReadValue(key, name) : value;
}

LSTATUS SetValue(HKEY root, const char16_t* path, const char16_t* name, DWORD type,
                 const std::string& bytes) {
  RegKey key;
  const LSTATUS status = key.Create(root, path);
  return status == ERROR_SUCCESS ? SetBytes(key, name, type, bytes) : status;
}

std::vector<std::u16string> ValueNames(HKEY root, const char16_t* path) {
  RegKey key;
  return key.Open(root, path, KEY_READ) == ERROR_SUCCESS ? ValueNames(key) : std::vector<std::u16string>{};
}

bool KeyExists(HKEY root, const char16_t* path) {
  RegKey key;
  return key.Open(root, path, KEY_READ) == ERROR_SUCCESS;
}

void SetRegString(bool machine, const std::string& key, const std::string& name, const std::string& value,
                  unsigned type) {
  EXPECT_EQ(SetValue(Root(machine), U(key).c_str(), U(name).c_str(), type, SzBytes(U(value))), ERROR_SUCCESS)
      << key << "\\" << name;
}

void SetRegDword(bool machine, const std::string& key, const std::string& name, unsigned value) {
  const DWORD dword = value;
  EXPECT_EQ(SetValue(Root(machine), U(key).c_str(), U(name).c_str(), REG_DWORD,
                     std::string(reinterpret_cast<const char*>(&dword), sizeof dword)),
            ERROR_SUCCESS)
      << key << "\\" << name;
}

bool GetRegString(bool machine, const std::string& key, const std::string& name, std::string& value) {
  const RegValue read = ReadValue(Root(machine), U(key).c_str(), U(name).c_str());
  if (read.status != ERROR_SUCCESS || read.type != REG_SZ) return false;
  std::u16string text(read.bytes.size() / 2, u'\0');
  read.bytes.copy(reinterpret_cast<char*>(text.data()), text.size() * 2);
  value = Utf8(text.substr(0, text.find(u'\0')));
  return true;
}

bool GetRegDword(bool machine, const std::string& key, const std::string& name, unsigned& value) {
  const RegValue read = ReadValue(Root(machine), U(key).c_str(), U(name).c_str());
  if (read.status != ERROR_SUCCESS || read.type != REG_DWORD || read.bytes.size() != 4) return false;
  DWORD dword = 0;
  read.bytes.copy(reinterpret_cast<char*>(&dword), 4);
  value = dword;
  return true;
}

}  // namespace mivo::test
