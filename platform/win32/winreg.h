// The registry API over hive files.
//
// Contract (Windows semantics):
// - Two predefined roots: HKEY_LOCAL_MACHINE is the hive file $MIVODB_MACHINE_HIVE (default
//   /etc/mivodb/machine.hive), HKEY_CURRENT_USER is $MIVODB_USER_HIVE (default
//   ${XDG_CONFIG_HOME:-$HOME/.config}/mivodb/user.hive). The variables are read when a root is first used;
//   mivo::reg::ResetForTesting() makes them be read again.
// - A hive is an SQLite database with a private schema. Every call is one atomic transaction; several
//   processes may use one hive at once; a busy hive is waited for (a few seconds), never reported missing. A
//   missing hive file is created, with its folder, on the first write (RegCreateKeyExW, RegSetValueExW).
// - Key paths use backslashes. Key and value names match without regard to ASCII letter case and keep the
//   case they were created with. The empty value name (or null) is the key's default value.
// - Access: a hive file the caller may write grants every access. One the caller may only read refuses
//   write access (KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_ALL_ACCESS, ...) with ERROR_ACCESS_DENIED and
//   grants read access (KEY_READ, KEY_QUERY_VALUE, ...). A hive that cannot be read, or that is corrupt or
//   foreign, has no keys: opening fails (ERROR_FILE_NOT_FOUND for a missing file, ERROR_BADDB for a
//   damaged one) and creating fails; such a file is never modified. mivo::reg::LastHiveProblem() names the
//   damaged file after such a failure.
// - Values keep the type and bytes they were given. RegEnumValueW enumerates in the order values were first
//   created; replacing a value keeps its place; deleting one closes the gap.
// - RegQueryValueExW: with lpData null, *lpcbData receives the size; with a buffer too small it returns
//   ERROR_MORE_DATA and the size needed in *lpcbData; lpType receives the type in both cases.
// - Return values are Windows error codes (ERROR_SUCCESS on success). Handles returned by RegOpenKeyExW and
//   RegCreateKeyExW must be released with RegCloseKey; closing a predefined root does nothing.
// Details of this implementation:
// - Empty parts of a key path (leading, trailing or doubled backslashes) are ignored; an empty or null
//   path names the key itself. A key name part has at most 255 characters, a value name 16383
//   (ERROR_INVALID_PARAMETER beyond). Subkeys enumerate in ASCII-case-insensitive order of their names.
// - An HKEY that is neither a predefined root nor an open handle gives ERROR_INVALID_HANDLE. A handle whose
//   key was deleted (by any process, or because the hive file was replaced) gives ERROR_KEY_DELETED.
// - Rights: queries need KEY_QUERY_VALUE, RegEnumKeyExW KEY_ENUMERATE_SUB_KEYS, setting and deleting values
//   KEY_SET_VALUE, creating a missing subkey KEY_CREATE_SUB_KEY on the handle; RegDeleteKeyW and
//   RegDeleteTreeW with a subkey need only a writable hive (as on Windows, the handle's rights do not
//   matter), RegDeleteTreeW without one needs KEY_SET_VALUE. A hive is writable when its file and folder
//   are (the rollback journal lives beside it), or, for a missing hive, when it could be created.
//   RegDeleteKeyW refuses a key with subkeys and a root with ERROR_ACCESS_DENIED.
// - Writers take turns on the hive file (flock); a hive still busy after about 5 s of SQLite's lock wait
//   gives ERROR_BUSY, never "not found". Each call re-checks the file, so a hive replaced or removed on disk
//   is seen at the next call. A forked child leaves the parent's open hives alone and opens its own.
// - RegQueryInfoKeyW reports no class and a security descriptor size of 0; the last write time is kept.
//
// On Windows (win/) every call is the real registry's, with Windows' own semantics; the hive files and the
// details above do not apply. The extras below mean there: ResetForTesting does nothing, HiveFileOf and
// LastHiveProblem are empty; HiveTransaction is not provided (nothing of the Windows build uses it).
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32/wintypes.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;

inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001U));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002U));

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition);
LSTATUS RegCloseKey(HKEY hKey);
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData);
LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                         LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                         LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                         LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);

namespace mivo::reg {
// Forget the open hives so the environment variables are read again (tests point roots at temp files).
void ResetForTesting();
// The hive file of a predefined root, as it would be used now (UTF-8 path).
std::string HiveFileOf(HKEY root);
// The file named by the last failure of this thread that met a corrupt or foreign hive, else empty.
std::string LastHiveProblem();

// An open key, closed when the object goes, when it is closed or when it receives another handle. Not
// copyable. Open and Create are RegOpenKeyExW and RegCreateKeyExW of `path` below `parent` into it.
class UniqueKey {
 public:
  UniqueKey() = default;
  ~UniqueKey() { Close(); }
  UniqueKey(const UniqueKey&) = delete;
  UniqueKey& operator=(const UniqueKey&) = delete;

  LSTATUS Open(HKEY parent, LPCWSTR path, REGSAM sam = KEY_ALL_ACCESS) {
    return RegOpenKeyExW(parent, path, 0, sam, out());
  }
  LSTATUS Create(HKEY parent, LPCWSTR path, REGSAM sam = KEY_ALL_ACCESS, LPDWORD disposition = nullptr) {
    return RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, out(),
                           disposition);
  }
  // Closes the key and gives the place for a new handle.
  HKEY* out() {
    Close();
    return &key_;
  }
  HKEY get() const { return key_; }
  operator HKEY() const { return key_; }
  void Close() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

// Makes every call of this process on one predefined root, from construction until Commit(), a single
// transaction of that root's hive: either all of their changes reach the file or none does. The hive is
// locked for writing from the first call that uses it (when the caller may write it) until Commit() or the
// destructor; other processes meanwhile see the hive as it was before and wait to write it. Within the
// transaction each call stays atomic on its own: a call that fails changes nothing. A hive the caller may
// only read is not locked; its calls behave as without a transaction (writes fail).
// One transaction per root at a time: a second one on the same root while the first is active reports
// ERROR_BUSY from status() and Commit() and has no effect.
class HiveTransaction {
 public:
  explicit HiveTransaction(HKEY root);
  // Rolls back unless Commit() succeeded.
  ~HiveTransaction();
  HiveTransaction(const HiveTransaction&) = delete;
  HiveTransaction& operator=(const HiveTransaction&) = delete;

  // ERROR_SUCCESS, ERROR_INVALID_HANDLE for a root that is not HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER, or
  // ERROR_BUSY (see above).
  LSTATUS status() const { return status_; }
  // Takes the hive's write lock now instead of at the first call, creating a missing hive as a first write
  // would (ERROR_ACCESS_DENIED when the caller may not write it). A process that holds transactions on
  // both roots must lock them in one fixed order (HKEY_LOCAL_MACHINE first), or two such processes could
  // wait for each other forever.
  LSTATUS Lock();
  // Writes the changes. On failure (for example the hive stayed busy) nothing is written and the error is
  // returned. Calling it again after it returned returns ERROR_INVALID_PARAMETER.
  LSTATUS Commit();

 private:
  int root_ = -1;
  bool active_ = false;
  LSTATUS status_ = 0;
};
}  // namespace mivo::reg
