// Internal to the registry layer: one hive file as an SQLite database.
//
// Schema (private; a file without the marker below is foreign and never touched):
//   PRAGMA application_id = kHiveApplicationId, PRAGMA user_version = kHiveSchemaVersion
//   meta(k TEXT PRIMARY KEY, v TEXT)                   "id": random identity of this hive file
//   keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent, name BLOB, fold BLOB, mtime INTEGER)
//   vals(key, seq, name BLOB, fold BLOB, type INTEGER, data BLOB)   PRIMARY KEY (key, fold)
// Key id 1 is the root. Names are stored as UTF-16LE bytes as created; `fold` is the name with ASCII
// letters upper-cased, as UTF-16BE bytes, so that equality ignores ASCII case and ordering by it sorts by
// code unit. Key ids are never reused (AUTOINCREMENT), so a handle to a deleted key never finds another one.
// `seq` orders the values of a key by first creation; replacing a value keeps its row and so its place.
//
// Failures are thrown as HiveError carrying the Windows error code the API call returns.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/win32/wintypes.h"

namespace mivo::reg::detail {

inline constexpr std::int32_t kHiveApplicationId = 0x4D495652;  // "MIVR"
inline constexpr std::int32_t kHiveSchemaVersion = 1;
inline constexpr std::int64_t kRootKeyId = 1;

// A failed registry operation: `status` is the Windows error code to return.
struct HiveError {
  LSTATUS status;
};

// Throws HiveError{status}.
[[noreturn]] void Fail(LSTATUS status);

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using SqlitePtr = std::unique_ptr<sqlite3, SqliteCloser>;
struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// The case-folded form of a name (see the schema above).
std::string FoldName(const std::u16string& name);
// The stored form of a name: its UTF-16LE bytes.
std::string NameBytes(const std::u16string& name);
std::u16string NameFromBytes(const void* bytes, int size);

struct StoredValue {
  std::u16string name;
  DWORD type = 0;
  std::string data;
};

struct KeyCounts {
  DWORD subkeys = 0;
  DWORD max_subkey_name_len = 0;  // characters
  DWORD values = 0;
  DWORD max_value_name_len = 0;  // characters
  DWORD max_value_data_len = 0;  // bytes
  std::int64_t last_write = 0;   // FILETIME ticks
};

// One open hive file. Not thread-safe: the registry layer serialises all calls.
class Hive {
 public:
  // Opens the existing hive file `path`, read-write when `writable`, else read-only. A file that is not
  // a valid hive (not SQLite, truncated, corrupt, or an SQLite file without the marker) throws
  // HiveError{ERROR_BADDB} and is left exactly as it was.
  static std::unique_ptr<Hive> Open(const std::string& path, bool writable);
  // Creates an empty hive at `path`, with its folder, unless a file is already there (created by someone
  // else in the meantime is fine). Throws ERROR_ACCESS_DENIED when the folder or file cannot be made.
  static void Create(const std::string& path);

  const std::string& path() const { return path_; }
  const std::string& id() const { return id_; }
  bool writable() const { return writable_; }
  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }

  // Transactions. Begin(true) takes the write lock at once, waiting its turn while other writers hold it.
  void Begin(bool write);
  void Commit();
  void Rollback() noexcept;
  void Savepoint();
  void ReleaseSavepoint();
  void RollbackToSavepoint() noexcept;
  // Forgets the connection without closing it (in a forked child: the parent's connection, locks and
  // journal must not be touched from here).
  void Abandon() noexcept;

  // Key primitives, inside a transaction.
  bool KeyExists(std::int64_t key);
  std::optional<std::int64_t> FindChild(std::int64_t parent, const std::u16string& name);
  std::int64_t CreateChild(std::int64_t parent, const std::u16string& name);
  bool HasChildren(std::int64_t key);
  std::optional<std::u16string> ChildAt(std::int64_t parent, DWORD index, std::int64_t* lastWrite);
  // Deletes `key` (which must have no subkeys) with its values.
  void DeleteKey(std::int64_t key);
  // Deletes every key below `key` with their values, and then `key` itself when `includingKey`.
  void DeleteSubtree(std::int64_t key, bool includingKey);
  void DeleteAllValues(std::int64_t key);
  KeyCounts Counts(std::int64_t key);
  void Touch(std::int64_t key);

  // Value primitives, inside a transaction.
  std::optional<StoredValue> GetValue(std::int64_t key, const std::u16string& name);
  std::optional<StoredValue> ValueAt(std::int64_t key, DWORD index);
  void SetValue(std::int64_t key, const std::u16string& name, DWORD type, const BYTE* data, DWORD size);
  bool DeleteValue(std::int64_t key, const std::u16string& name);

 private:
  class Query;
  Hive() = default;
  sqlite3_stmt* Prepare(const char* sql);
  void Unlock() noexcept;
  void Exec(const char* sql);
  [[noreturn]] void Raise(int rc);

  struct FdCloser {
    void operator()(int* fd) const;
  };

  std::string path_;
  std::string id_;
  bool writable_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  // The file, open for the hive's whole life: writers queue on it with flock(), which SQLite's own
  // polling locks do not do fairly. Closed only after the connection (closing any descriptor of a file
  // drops the process's POSIX locks on it, which SQLite holds).
  std::unique_ptr<int, FdCloser> file_;
  bool write_locked_ = false;
  SqlitePtr db_;
  std::unordered_map<const char*, StmtPtr> statements_;
};

// The current time as FILETIME ticks (100 ns since 1601-01-01 UTC).
std::int64_t FileTimeNow();

}  // namespace mivo::reg::detail
