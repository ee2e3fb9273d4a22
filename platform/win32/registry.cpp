// The registry API over hive files (contract in winreg.h; storage in registry_hive.h).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/win32/environment.h"
#include "platform/win32/registry_hive.h"
#include "platform/win32/winreg.h"

using mivo::reg::detail::Fail;
using mivo::reg::detail::Hive;
using mivo::reg::detail::HiveError;
using mivo::reg::detail::kRootKeyId;

namespace {

constexpr REGSAM kDelete = 0x00010000;
constexpr REGSAM kWriteDac = 0x00040000;
constexpr REGSAM kWriteOwner = 0x00080000;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kSpecificAndStandardRights = 0x001F003F;
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | kDelete | kWriteDac | kWriteOwner;

constexpr std::size_t kMaxKeyNameLen = 255;
constexpr std::size_t kMaxValueNameLen = 16383;
constexpr int kRootCount = 2;  // 0 machine, 1 user

// What a call may do to its hive.
enum class Intent {
  kRead,    // only reads
  kChange,  // may change an existing hive, never creates one
  kCreate,  // may change the hive and creates it when missing
};

// An open key: what a non-predefined HKEY points to. Owned by State::handles until RegCloseKey.
struct KeyObject {
  int root = 0;
  std::int64_t key = kRootKeyId;
  REGSAM access = 0;
  std::string hive_id;  // the hive file the key lives in (empty for a root key)
};

struct RootState {
  bool path_read = false;
  std::string path;
  std::unique_ptr<Hive> hive;
  bool in_transaction = false;     // a HiveTransaction is active on this root
  bool transaction_begun = false;  // ... and holds the hive's write lock
};

struct State {
  std::recursive_mutex mutex;
  pid_t pid = ::getpid();  // the process the open hives belong to
  RootState roots[kRootCount];
  std::unordered_map<const KeyObject*, std::unique_ptr<KeyObject>> handles;
};

State& Registry() {
  static State* state = new State;  // never destroyed: handles may be closed during static destruction
  return *state;
}

// In a child forked from the process that opened the hives, the inherited connections are left alone
// (closing them would roll back the parent's transaction) and the hives are opened afresh.
void ForgetHivesOfParentProcess() {
  State& state = Registry();
  if (state.pid == ::getpid()) return;
  for (RootState& root : state.roots) {
    if (root.hive) root.hive.release()->Abandon();  // the object leaks with the connection
    root.in_transaction = false;
    root.transaction_begun = false;
  }
  state.pid = ::getpid();
}

thread_local std::string t_lastHiveProblem;
thread_local std::string t_pathInUse;

int RootIndex(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return 0;
  if (key == HKEY_CURRENT_USER) return 1;
  return -1;
}

RootState& Root(int index) {
  RootState& root = Registry().roots[index];
  if (!root.path_read) {
    root.path = index == 0 ? mivo::win32::MachineHivePath() : mivo::win32::UserHivePath();
    root.path_read = true;
  }
  return root;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether the caller could create `path`: the nearest existing folder above it is writable.
bool CanCreate(const std::string& path) {
  std::string folder = FolderOf(path);
  for (;;) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0)
      return S_ISDIR(st.st_mode) && ::access(folder.c_str(), W_OK | X_OK) == 0;
    if (errno != ENOENT || folder == "/" || folder == ".") return false;
    folder = FolderOf(folder);
  }
}

// Writing a hive needs the file and its folder (for the rollback journal) writable.
bool CanWrite(const std::string& path) {
  return ::access(path.c_str(), W_OK) == 0 && ::access(FolderOf(path).c_str(), W_OK | X_OK) == 0;
}

// The hive of `root` for one call, opened (and created for Intent::kCreate) as needed. Null when the root
// has no file the caller can read: it has no keys. `*writable` tells whether the caller may write it.
Hive* AcquireHive(RootState& root, Intent intent, bool* writable) {
  t_pathInUse = root.path;
  if (root.transaction_begun) {
    *writable = true;
    return root.hive.get();
  }
  for (int attempt = 0;; ++attempt) {
    struct stat st {};
    if (::stat(root.path.c_str(), &st) != 0) {
      root.hive.reset();
      if (errno != ENOENT && errno != ENOTDIR) {  // a folder we may not search: unreadable
        *writable = false;
        if (intent == Intent::kCreate) Fail(ERROR_ACCESS_DENIED);
        return nullptr;
      }
      *writable = CanCreate(root.path);
      if (intent != Intent::kCreate) return nullptr;
      if (!*writable) Fail(ERROR_ACCESS_DENIED);
      if (attempt > 3) Fail(ERROR_BUSY);  // made and removed again by others, over and over
      Hive::Create(root.path);
      continue;
    }
    if (::access(root.path.c_str(), R_OK) != 0) {
      root.hive.reset();
      *writable = false;
      if (intent == Intent::kCreate) Fail(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    *writable = CanWrite(root.path);
    const bool usable = root.hive && root.hive->device() == st.st_dev && root.hive->inode() == st.st_ino &&
                        (root.hive->writable() || !*writable);
    if (!usable) {
      root.hive.reset();
      try {
        root.hive = Hive::Open(root.path, *writable);
      } catch (const HiveError& error) {
        // The file changed under us (replaced, removed): look again a few times.
        if ((error.status == ERROR_BUSY || error.status == ERROR_FILE_NOT_FOUND) && attempt < 3) continue;
        throw;
      }
    }
    if (root.in_transaction && *writable) {
      root.hive->Begin(true);
      root.transaction_begun = true;
    }
    return root.hive.get();
  }
}

// One API call's use of a hive: one transaction (or a savepoint inside a HiveTransaction) that is rolled
// back unless Commit() is reached.
class Session {
 public:
  Session(int rootIndex, Intent intent) : root_(Root(rootIndex)) {
    hive_ = AcquireHive(root_, intent, &writable_);
    if (!hive_) return;
    if (root_.transaction_begun) {
      hive_->Savepoint();
      savepoint_ = true;
    } else {
      hive_->Begin(intent != Intent::kRead && writable_);
    }
    open_ = true;
  }
  ~Session() {
    if (!open_) return;
    if (savepoint_) {
      hive_->RollbackToSavepoint();
    } else {
      hive_->Rollback();
    }
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Hive* hive() const { return hive_; }
  bool writable() const { return writable_; }

  void Commit() {
    if (!open_) return;
    if (savepoint_) {
      hive_->ReleaseSavepoint();
    } else {
      hive_->Commit();
    }
    open_ = false;
  }

 private:
  RootState& root_;
  Hive* hive_ = nullptr;
  bool writable_ = false;
  bool savepoint_ = false;
  bool open_ = false;
};

// A resolved HKEY argument.
struct Target {
  int root = 0;
  std::int64_t key = kRootKeyId;
  REGSAM access = 0;
  std::string hive_id;
};

Target Resolve(HKEY hKey) {
  const int root = RootIndex(hKey);
  if (root >= 0) return Target{root, kRootKeyId, KEY_ALL_ACCESS | kSpecificAndStandardRights, ""};
  auto it = Registry().handles.find(reinterpret_cast<const KeyObject*>(hKey));
  if (!hKey || it == Registry().handles.end()) Fail(ERROR_INVALID_HANDLE);
  const KeyObject& key = *it->second;
  return Target{key.root, key.key, key.access, key.hive_id};
}

// The key of `target` in the session's hive; ERROR_KEY_DELETED when it is gone.
std::int64_t KeyOf(const Target& target, const Session& session) {
  if (target.key == kRootKeyId) return kRootKeyId;
  Hive* hive = session.hive();
  if (!hive || hive->id() != target.hive_id || !hive->KeyExists(target.key)) Fail(ERROR_KEY_DELETED);
  return target.key;
}

void RequireAccess(const Target& target, const Session& session, REGSAM needed) {
  if ((target.access & needed) != needed) Fail(ERROR_ACCESS_DENIED);
  if ((needed & kWriteRights) && !session.writable()) Fail(ERROR_ACCESS_DENIED);
}

// The rights a new handle gets for `desired`, or ERROR_ACCESS_DENIED.
REGSAM Grant(REGSAM desired, bool writable) {
  REGSAM granted = desired & kSpecificAndStandardRights;
  if (desired & kGenericRead) granted |= KEY_READ;
  if (desired & kGenericExecute) granted |= KEY_READ;
  if (desired & kGenericWrite) granted |= KEY_WRITE;
  if (desired & kGenericAll) granted |= KEY_ALL_ACCESS;
  if (desired & kMaximumAllowed) granted |= writable ? KEY_ALL_ACCESS : KEY_READ;
  if ((granted & kWriteRights) && !writable) Fail(ERROR_ACCESS_DENIED);
  return granted;
}

// A key path split at backslashes; empty parts (leading, trailing or doubled backslashes) are ignored.
std::vector<std::u16string> SplitPath(LPCWSTR path) {
  std::vector<std::u16string> parts;
  if (!path) return parts;
  std::u16string part;
  for (const WCHAR* p = path;; ++p) {
    if (*p == u'\\' || *p == 0) {
      if (!part.empty()) parts.push_back(std::move(part));
      part.clear();
      if (*p == 0) break;
    } else {
      part += *p;
      if (part.size() > kMaxKeyNameLen) Fail(ERROR_INVALID_PARAMETER);
    }
  }
  return parts;
}

std::u16string ValueName(LPCWSTR name) {
  if (!name) return {};
  std::u16string out(name);
  if (out.size() > kMaxValueNameLen) Fail(ERROR_INVALID_PARAMETER);
  return out;
}

// The key at `parts` below `base`; ERROR_FILE_NOT_FOUND when a part is missing.
std::int64_t Walk(const Session& session, std::int64_t base, const std::vector<std::u16string>& parts) {
  if (parts.empty()) return base;
  if (!session.hive()) Fail(ERROR_FILE_NOT_FOUND);
  for (const auto& part : parts) {
    auto child = session.hive()->FindChild(base, part);
    if (!child) Fail(ERROR_FILE_NOT_FOUND);
    base = *child;
  }
  return base;
}

HKEY NewHandle(int root, std::int64_t key, REGSAM access, const Session& session) {
  auto object = std::make_unique<KeyObject>();
  object->root = root;
  object->key = key;
  object->access = access;
  if (session.hive()) object->hive_id = session.hive()->id();
  KeyObject* raw = object.get();
  Registry().handles.emplace(raw, std::move(object));
  return reinterpret_cast<HKEY>(raw);
}

// Runs one API call under the registry lock and turns its failure into the Windows error code.
template <class Call>
LSTATUS Guarded(Call&& call) {
  try {
    std::lock_guard<std::recursive_mutex> lock(Registry().mutex);
    ForgetHivesOfParentProcess();
    t_pathInUse.clear();
    call();
    return ERROR_SUCCESS;
  } catch (const HiveError& error) {
    if (error.status == static_cast<LSTATUS>(ERROR_BADDB)) t_lastHiveProblem = t_pathInUse;
    return error.status;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

void CopyName(const std::u16string& name, LPWSTR buffer, LPDWORD chars) {
  std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
  buffer[name.size()] = 0;
  *chars = static_cast<DWORD>(name.size());
}

void ReportNoClass(LPWSTR lpClass, LPDWORD lpcchClass) {
  if (lpClass && *lpcchClass > 0) lpClass[0] = 0;
  if (lpcchClass) *lpcchClass = 0;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return Guarded([&] {
    const Target target = Resolve(hKey);
    const auto parts = SplitPath(lpSubKey);
    Session session(target.root, Intent::kRead);
    const std::int64_t key = Walk(session, KeyOf(target, session), parts);
    const REGSAM granted = Grant(samDesired, session.writable());
    session.Commit();
    *phkResult = NewHandle(target.root, key, granted, session);
  });
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
  if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return Guarded([&] {
    const Target target = Resolve(hKey);
    const auto parts = SplitPath(lpSubKey);
    Session session(target.root, Intent::kCreate);
    const REGSAM granted = Grant(samDesired, session.writable());
    std::int64_t key = KeyOf(target, session);
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    for (const auto& part : parts) {
      if (auto child = session.hive()->FindChild(key, part)) {
        key = *child;
        continue;
      }
      if (disposition == REG_OPENED_EXISTING_KEY) RequireAccess(target, session, KEY_CREATE_SUB_KEY);
      key = session.hive()->CreateChild(key, part);
      disposition = REG_CREATED_NEW_KEY;
    }
    session.Commit();
    *phkResult = NewHandle(target.root, key, granted, session);
    if (lpdwDisposition) *lpdwDisposition = disposition;
  });
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (RootIndex(hKey) >= 0) return ERROR_SUCCESS;
  std::lock_guard<std::recursive_mutex> lock(Registry().mutex);
  return Registry().handles.erase(reinterpret_cast<const KeyObject*>(hKey)) ? ERROR_SUCCESS
                                                                            : ERROR_INVALID_HANDLE;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    const Target target = Resolve(hKey);
    const std::u16string name = ValueName(lpValueName);
    Session session(target.root, Intent::kRead);
    const std::int64_t key = KeyOf(target, session);
    RequireAccess(target, session, KEY_QUERY_VALUE);
    if (!session.hive()) Fail(ERROR_FILE_NOT_FOUND);
    auto value = session.hive()->GetValue(key, name);
    session.Commit();
    if (!value) Fail(ERROR_FILE_NOT_FOUND);
    const auto size = static_cast<DWORD>(value->data.size());
    if (lpType) *lpType = value->type;
    if (!lpcbData) return;
    if (lpData && *lpcbData < size) {
      *lpcbData = size;
      Fail(ERROR_MORE_DATA);
    }
    if (lpData) std::memcpy(lpData, value->data.data(), size);
    *lpcbData = size;
  });
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    const Target target = Resolve(hKey);
    const std::u16string name = ValueName(lpValueName);
    if (!(target.access & KEY_SET_VALUE)) Fail(ERROR_ACCESS_DENIED);  // before a missing hive is made
    Session session(target.root, Intent::kCreate);
    const std::int64_t key = KeyOf(target, session);
    RequireAccess(target, session, KEY_SET_VALUE);
    session.hive()->SetValue(key, name, dwType, lpData, cbData);
    session.Commit();
  });
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return Guarded([&] {
    const Target target = Resolve(hKey);
    const std::u16string name = ValueName(lpValueName);
    Session session(target.root, Intent::kChange);
    const std::int64_t key = KeyOf(target, session);
    RequireAccess(target, session, KEY_SET_VALUE);
    if (!session.hive() || !session.hive()->DeleteValue(key, name)) Fail(ERROR_FILE_NOT_FOUND);
    session.Commit();
  });
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                         LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                         LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                         LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    const Target target = Resolve(hKey);
    Session session(target.root, Intent::kRead);
    const std::int64_t key = KeyOf(target, session);
    RequireAccess(target, session, KEY_QUERY_VALUE);
    mivo::reg::detail::KeyCounts counts;
    if (session.hive()) counts = session.hive()->Counts(key);
    session.Commit();
    ReportNoClass(lpClass, lpcchClass);
    if (lpcSubKeys) *lpcSubKeys = counts.subkeys;
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = counts.max_subkey_name_len;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = counts.values;
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = counts.max_value_name_len;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = counts.max_value_data_len;
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime) {
      lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(counts.last_write & 0xFFFFFFFF);
      lpftLastWriteTime->dwHighDateTime =
          static_cast<DWORD>(static_cast<std::uint64_t>(counts.last_write) >> 32);
    }
  });
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    const Target target = Resolve(hKey);
    Session session(target.root, Intent::kRead);
    const std::int64_t key = KeyOf(target, session);
    RequireAccess(target, session, KEY_QUERY_VALUE);
    if (!session.hive()) Fail(ERROR_NO_MORE_ITEMS);
    auto value = session.hive()->ValueAt(key, dwIndex);
    session.Commit();
    if (!value) Fail(ERROR_NO_MORE_ITEMS);
    if (value->name.size() >= *lpcchValueName) Fail(ERROR_MORE_DATA);
    CopyName(value->name, lpValueName, lpcchValueName);
    const auto size = static_cast<DWORD>(value->data.size());
    if (lpType) *lpType = value->type;
    if (!lpcbData) return;
    if (lpData && *lpcbData < size) {
      *lpcbData = size;
      Fail(ERROR_MORE_DATA);
    }
    if (lpData) std::memcpy(lpData, value->data.data(), size);
    *lpcbData = size;
  });
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    const Target target = Resolve(hKey);
    Session session(target.root, Intent::kRead);
    const std::int64_t key = KeyOf(target, session);
    RequireAccess(target, session, KEY_ENUMERATE_SUB_KEYS);
    if (!session.hive()) Fail(ERROR_NO_MORE_ITEMS);
    std::int64_t lastWrite = 0;
    auto name = session.hive()->ChildAt(key, dwIndex, &lastWrite);
    session.Commit();
    if (!name) Fail(ERROR_NO_MORE_ITEMS);
    if (name->size() >= *lpcchName) Fail(ERROR_MORE_DATA);
    CopyName(*name, lpName, lpcchName);
    ReportNoClass(lpClass, lpcchClass);
    if (lpftLastWriteTime) {
      lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(lastWrite & 0xFFFFFFFF);
      lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(lastWrite) >> 32);
    }
  });
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    const Target target = Resolve(hKey);
    const auto parts = SplitPath(lpSubKey);
    Session session(target.root, Intent::kChange);
    const std::int64_t key = Walk(session, KeyOf(target, session), parts);
    if (!session.writable() || key == kRootKeyId || session.hive()->HasChildren(key)) {
      Fail(ERROR_ACCESS_DENIED);
    }
    session.hive()->DeleteKey(key);
    session.Commit();
  });
}

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  return Guarded([&] {
    const Target target = Resolve(hKey);
    const auto parts = SplitPath(lpSubKey);
    Session session(target.root, Intent::kChange);
    const std::int64_t base = KeyOf(target, session);
    if (parts.empty()) {
      // The key's own values and subkeys go; the key stays.
      RequireAccess(target, session, KEY_SET_VALUE);
      if (!session.hive()) return;
      session.hive()->DeleteSubtree(base, false);
      session.hive()->DeleteAllValues(base);
    } else {
      const std::int64_t key = Walk(session, base, parts);
      if (!session.writable()) Fail(ERROR_ACCESS_DENIED);
      session.hive()->DeleteSubtree(key, true);
    }
    session.Commit();
  });
}

namespace mivo::reg {

void ResetForTesting() {
  std::lock_guard<std::recursive_mutex> lock(Registry().mutex);
  ForgetHivesOfParentProcess();
  for (RootState& root : Registry().roots) {
    if (root.hive) root.hive->Rollback();
    root = RootState();
  }
  t_lastHiveProblem.clear();
}

std::string HiveFileOf(HKEY root) {
  const int index = RootIndex(root);
  if (index < 0) return {};
  std::lock_guard<std::recursive_mutex> lock(Registry().mutex);
  return Root(index).path;
}

std::string LastHiveProblem() { return t_lastHiveProblem; }

HiveTransaction::HiveTransaction(HKEY root) {
  const int index = RootIndex(root);
  if (index < 0) {
    status_ = ERROR_INVALID_HANDLE;
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(Registry().mutex);
  ForgetHivesOfParentProcess();
  RootState& state = Root(index);
  if (state.in_transaction) {
    status_ = ERROR_BUSY;
    return;
  }
  state.in_transaction = true;
  root_ = index;
  active_ = true;
}

LSTATUS HiveTransaction::Lock() {
  if (status_ != ERROR_SUCCESS) return status_;
  if (!active_) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    RootState& state = Registry().roots[root_];
    if (!state.in_transaction) Fail(ERROR_INVALID_PARAMETER);  // dropped by ResetForTesting
    bool writable = false;
    AcquireHive(state, Intent::kCreate, &writable);
    if (!state.transaction_begun) Fail(ERROR_ACCESS_DENIED);
  });
}

HiveTransaction::~HiveTransaction() {
  if (!active_) return;
  std::lock_guard<std::recursive_mutex> lock(Registry().mutex);
  ForgetHivesOfParentProcess();
  RootState& state = Registry().roots[root_];
  if (state.transaction_begun && state.hive) state.hive->Rollback();
  state.in_transaction = false;
  state.transaction_begun = false;
}

LSTATUS HiveTransaction::Commit() {
  if (status_ != ERROR_SUCCESS) return status_;
  if (!active_) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(Registry().mutex);
  ForgetHivesOfParentProcess();
  RootState& state = Registry().roots[root_];
  LSTATUS result = ERROR_SUCCESS;
  if (state.transaction_begun && state.hive) {
    try {
      state.hive->Commit();
    } catch (const HiveError& error) {
      state.hive->Rollback();
      result = error.status;
    }
  }
  state.in_transaction = false;
  state.transaction_begun = false;
  active_ = false;
  return result;
}

}  // namespace mivo::reg
