// CRegKey: the owning wrapper of one open registry key, through which every registry access goes.
//
// A key is opened with full access, created when missing. When it can be neither opened nor created with
// full access but can be opened for reading (a machine-wide hive the user may read but not change), it is
// opened read-only: reads and enumerations work, writes fail. A CRegKey without a handle is valid: every
// operation on it returns FALSE and keys opened below it get no handle either. No operation shows a message
// or throws; each returns FALSE and leaves its out-argument as documented.
#pragma once

#include "platform/afx/afx.h"
#include "platform/win32/winreg.h"

class CRegKey : public CObject {
  DECLARE_DYNAMIC(CRegKey)

 public:
  // Opens or creates `subKey` below `hRoot` (which may be null: no handle then).
  CRegKey(HKEY hRoot, const CString& subKey);
  // The same below an open parent key.
  CRegKey(const CRegKey& parent, const CString& subKey);
  ~CRegKey() override;
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;

  BOOL DeleteValue(const CString& name);
  // A REG_SZ value, ending at its first terminating zero. Missing value or other type: FALSE, `out`
  // untouched; a value that changes between the size query and the read: FALSE, `out` emptied.
  BOOL QueryStringValue(const CString& name, CString& out) const;
  BOOL SetStringValue(const CString& name, const CString& text);
  // TRUE only for a REG_DWORD of exactly 4 bytes; on FALSE `out` must not be relied on.
  BOOL QueryDWordValue(const CString& name, DWORD& out) const;
  BOOL SetDWordValue(const CString& name, DWORD value);
  // A REG_SZ path with at most one placeholder between the first and the last percent sign, replaced once
  // by the value of that name in HKEY_LOCAL_MACHINE\Software\Mivotec\Version ("%%" is its default value).
  // FALSE, `out` untouched, for a single percent sign or a placeholder that cannot be read. A database URI
  // (beginning "postgresql://" or "postgres://") is given as it stands, without placeholders.
  BOOL QueryPathValue(const CString& name, CString& out) const;
  // The names of all values in enumeration order. The array is emptied first; FALSE without a handle or
  // when the enumeration fails (the names gathered so far stay).
  BOOL EnumValueNames(CStringArray& names) const;

  BOOL IsOpen() const { return m_hKey != nullptr; }
  BOOL IsReadOnly() const { return m_bReadOnly; }

  HKEY m_hKey = nullptr;

 private:
  void Open(HKEY hRoot, const CString& subKey);
  BOOL m_bReadOnly = FALSE;
};
