#include "app/RegKey.h"

#include <vector>

#include "app/Constants.h"

IMPLEMENT_DYNAMIC(CRegKey, CObject)

CRegKey::CRegKey(HKEY hRoot, const CString& subKey) { Open(hRoot, subKey); }

CRegKey::CRegKey(const CRegKey& parent, const CString& subKey) { Open(parent.m_hKey, subKey); }

CRegKey::~CRegKey() {
  if (m_hKey != nullptr) RegCloseKey(m_hKey);
}

void CRegKey::Open(HKEY hRoot, const CString& subKey) {
  if (hRoot == nullptr) return;
  HKEY key = nullptr;
  if (RegOpenKeyExW(hRoot, subKey.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    m_hKey = key;
    return;
  }
  HKEY created = nullptr;
  if (RegCreateKeyExW(hRoot, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &created, nullptr) == ERROR_SUCCESS) {
    RegCloseKey(created);
    if (RegOpenKeyExW(hRoot, subKey.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) m_hKey = key;
    return;
  }
  // Neither opened nor created with full access: a key the caller may read is opened for reading.
  if (RegOpenKeyExW(hRoot, subKey.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
    m_hKey = key;
    m_bReadOnly = TRUE;
  }
}

BOOL CRegKey::DeleteValue(const CString& name) {
  if (m_hKey == nullptr) return FALSE;
  return RegDeleteValueW(m_hKey, name.c_str()) == ERROR_SUCCESS;
}

BOOL CRegKey::QueryStringValue(const CString& name, CString& out) const {
  if (m_hKey == nullptr) return FALSE;
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExW(m_hKey, name.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return FALSE;
  }
  // A buffer of as many characters as the value has bytes: room for the text and a terminator.
  std::vector<WCHAR> buffer(static_cast<std::size_t>(bytes) + 1, 0);
  DWORD size = bytes;
  const LSTATUS status =
      RegQueryValueExW(m_hKey, name.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(buffer.data()), &size);
  if (status == ERROR_SUCCESS && type == REG_SZ) {
    out = buffer.data();
    return TRUE;
  }
  out.clear();
  return FALSE;
}

BOOL CRegKey::SetStringValue(const CString& name, const CString& text) {
  if (m_hKey == nullptr) return FALSE;
  const CString terminated = text + u'\0';
  return RegSetValueExW(m_hKey, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(terminated.data()),
                        static_cast<DWORD>(terminated.size() * sizeof(WCHAR))) == ERROR_SUCCESS;
}

BOOL CRegKey::QueryDWordValue(const CString& name, DWORD& out) const {
  if (m_hKey == nullptr) return FALSE;
  DWORD type = 0;
  DWORD size = sizeof(DWORD);
  const LSTATUS status =
      RegQueryValueExW(m_hKey, name.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(&out), &size);
  return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD);
}

BOOL CRegKey::SetDWordValue(const CString& name, DWORD value) {
  if (m_hKey == nullptr) return FALSE;
  return RegSetValueExW(m_hKey, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value) == ERROR_SUCCESS;
}

BOOL CRegKey::QueryPathValue(const CString& name, CString& out) const {
  CString text;
  if (!QueryStringValue(name, text)) return FALSE;
  // A database URI is taken as it stands: a '%' in it is URI syntax (an escape), never a placeholder.
  if (text.rfind(u"postgresql://", 0) == 0 || text.rfind(u"postgres://", 0) == 0) {
    out = text;
    return TRUE;
  }
  const std::size_t first = text.find(u'%');
  if (first == CString::npos) {
    out = text;
    return TRUE;
  }
  const std::size_t last = text.rfind(u'%');
  if (first == last) return FALSE;
  const CString prefix = text.substr(0, first);
  const CString placeholder = text.substr(first + 1, last - first - 1);
  const CString suffix = text.substr(last + 1);
  const CRegKey versionKey(HKEY_LOCAL_MACHINE, kVersionKeyPath);
  CString value;
  if (!versionKey.QueryStringValue(placeholder, value)) return FALSE;
  out = prefix + value + suffix;
  return TRUE;
}

BOOL CRegKey::EnumValueNames(CStringArray& names) const {
  names.clear();
  if (m_hKey == nullptr) return FALSE;
  DWORD count = 0;
  DWORD longest = 0;
  if (RegQueryInfoKeyW(m_hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longest,
                       nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return FALSE;
  }
  for (DWORD index = 0; index < count; ++index) {
    std::vector<WCHAR> buffer(static_cast<std::size_t>(longest) + 1, 0);
    DWORD length = static_cast<DWORD>(buffer.size());
    LSTATUS status = RegEnumValueW(m_hKey, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
    while (status == ERROR_MORE_DATA) {
      // The key gained a longer value name since the count was taken: ask again with room for it.
      buffer.assign(buffer.size() * 2 + 256, 0);
      length = static_cast<DWORD>(buffer.size());
      status = RegEnumValueW(m_hKey, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
      if (buffer.size() > 65536) break;
    }
    if (status != ERROR_SUCCESS) return FALSE;
    names.emplace_back(buffer.data());
  }
  return TRUE;
}
