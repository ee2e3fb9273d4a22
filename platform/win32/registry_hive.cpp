#include "platform/win32/registry_hive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

namespace mivo::reg::detail {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr int kSqliteHeaderSize = 100;

const char kSchema[] =
    "PRAGMA journal_mode=DELETE;"
    "PRAGMA application_id=1296651858;"  // kHiveApplicationId
    "PRAGMA user_version=1;"             // kHiveSchemaVersion
    "BEGIN;"
    "CREATE TABLE meta (k TEXT PRIMARY KEY, v TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE keys (id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER, name BLOB NOT NULL,"
    " fold BLOB NOT NULL, mtime INTEGER NOT NULL DEFAULT 0);"
    "CREATE UNIQUE INDEX keys_by_parent ON keys (parent, fold);"
    "CREATE TABLE vals (key INTEGER NOT NULL, seq INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY (key, fold)) WITHOUT ROWID;"
    "CREATE UNIQUE INDEX vals_by_seq ON vals (key, seq);";
static_assert(kHiveApplicationId == 1296651858 && kHiveSchemaVersion == 1, "kSchema spells both out");

std::uint32_t BigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::string RandomHex(std::size_t bytes) {
  std::random_device random;
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes; ++i) {
    const unsigned b = random() & 0xFF;
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

// Checks that the open file `fd` is an SQLite database with our marker. Fills the file's identity.
void CheckHeader(int fd, dev_t* device, ino_t* inode) {
  struct stat st {};
  unsigned char header[kSqliteHeaderSize];
  ssize_t got = -1;
  if (::fstat(fd, &st) == 0) got = ::pread(fd, header, sizeof header, 0);
  if (got < 0) Fail(ERROR_CANTREAD);
  if (!S_ISREG(st.st_mode) || got != kSqliteHeaderSize || std::memcmp(header, "SQLite format 3", 16) != 0) {
    Fail(ERROR_BADDB);
  }
  std::uint32_t pageSize = (std::uint32_t{header[16]} << 8) | header[17];
  if (pageSize == 1) pageSize = 65536;
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0 || st.st_size < static_cast<off_t>(pageSize) ||
      BigEndian32(header + 68) != static_cast<std::uint32_t>(kHiveApplicationId) ||
      BigEndian32(header + 60) != static_cast<std::uint32_t>(kHiveSchemaVersion)) {
    Fail(ERROR_BADDB);
  }
  *device = st.st_dev;
  *inode = st.st_ino;
}

// mkdir -p; the folders get the usual mode (0777 less the umask).
void MakeFolders(const std::string& folder) {
  std::string partial;
  std::size_t pos = 0;
  while (pos <= folder.size()) {
    std::size_t next = folder.find('/', pos);
    if (next == std::string::npos) next = folder.size();
    partial = folder.substr(0, next);
    pos = next + 1;
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) Fail(ERROR_ACCESS_DENIED);
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) Fail(ERROR_ACCESS_DENIED);
}

void RemoveQuietly(const std::string& file) {
  ::unlink(file.c_str());
  ::unlink((file + "-journal").c_str());
}

}  // namespace

[[noreturn]] void Fail(LSTATUS status) { throw HiveError{status}; }

std::string FoldName(const std::u16string& name) {
  std::string out;
  out.reserve(name.size() * 2);
  for (char16_t c : name) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    out += static_cast<char>(c >> 8);
    out += static_cast<char>(c & 0xFF);
  }
  return out;
}

std::string NameBytes(const std::u16string& name) {
  std::string out;
  out.reserve(name.size() * 2);
  for (char16_t c : name) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

std::u16string NameFromBytes(const void* bytes, int size) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::u16string out;
  out.reserve(static_cast<std::size_t>(size) / 2);
  for (int i = 0; i + 1 < size; i += 2) out += static_cast<char16_t>(p[i] | (p[i + 1] << 8));
  return out;
}

std::int64_t FileTimeNow() {
  constexpr std::int64_t kEpochDifferenceSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return (std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100) +
         kEpochDifferenceSeconds * 10000000;
}

// One use of a cached statement: binds in order, steps, and resets the statement when done.
class Hive::Query {
 public:
  Query(Hive& hive, const char* sql) : hive_(hive), stmt_(hive.Prepare(sql)) {}
  ~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(std::int64_t value) {
    Check(sqlite3_bind_int64(stmt_, ++index_, value));
    return *this;
  }
  // Binds bytes as a BLOB (never NULL, also when empty).
  Query& BindBlob(const void* data, std::size_t size) {
    Check(sqlite3_bind_blob64(stmt_, ++index_, size ? data : "", size, SQLITE_TRANSIENT));
    return *this;
  }
  Query& BindBlob(const std::string& bytes) { return BindBlob(bytes.data(), bytes.size()); }
  Query& BindText(const std::string& text) {
    Check(sqlite3_bind_text64(stmt_, ++index_, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    return *this;
  }
  // True while there is a row.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    hive_.Raise(rc);
  }
  void Run() {
    while (Step()) {
    }
  }
  std::int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string Blob(int column) {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string();
  }
  std::u16string Name(int column) {
    const void* data = sqlite3_column_blob(stmt_, column);
    return data ? NameFromBytes(data, sqlite3_column_bytes(stmt_, column)) : std::u16string();
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) hive_.Raise(rc);
  }
  Hive& hive_;
  sqlite3_stmt* stmt_;
  int index_ = 0;
};

std::unique_ptr<Hive> Hive::Open(const std::string& path, bool writable) {
  std::unique_ptr<Hive> hive(new Hive);
  hive->path_ = path;
  hive->writable_ = writable;
  // The header is checked before SQLite sees the file, so that nothing but a hive of ours is ever opened
  // read-write, and SQLite never creates a file here.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
  hive->file_.reset(new int(fd));
  CheckHeader(fd, &hive->device_, &hive->inode_);
  sqlite3* db = nullptr;
  const int flags = (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  hive->db_.reset(db);
  if (rc != SQLITE_OK) hive->Raise(rc);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 0);
  // The file may come from anyone who could write it: its schema gets core SQL only.
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);

  try {
    hive->Begin(false);
    {
      Query check(*hive, "PRAGMA quick_check(1)");
      if (!check.Step() || check.Blob(0) != "ok") Fail(ERROR_BADDB);
    }
    {
      Query id(*hive, "SELECT v FROM meta WHERE k = 'id'");
      if (!id.Step()) Fail(ERROR_BADDB);
      hive->id_ = id.Blob(0);
    }
    {
      Query root(*hive, "SELECT parent IS NULL FROM keys WHERE id = 1");
      if (!root.Step() || root.Int(0) != 1) Fail(ERROR_BADDB);
    }
    {
      // Every table and column the layer uses must be there.
      Query columns(*hive, "SELECT seq, name, fold, type, data FROM vals LIMIT 0");
      columns.Run();
    }
    hive->Commit();
  } catch (const HiveError& error) {
    hive->Rollback();
    // A schema that does not match ours is a foreign file, not a busy one.
    Fail(error.status == ERROR_BUSY || error.status == ERROR_OUTOFMEMORY ? error.status : ERROR_BADDB);
  }
  // The file SQLite opened must be the one whose header was checked.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || st.st_dev != hive->device_ || st.st_ino != hive->inode_) {
    Fail(ERROR_BUSY);
  }
  return hive;
}

void Hive::Create(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeFolders(path.substr(0, slash));
  if (::access(path.c_str(), F_OK) == 0) return;

  // Built under a temporary name and linked into place, so that no process ever sees a half-made hive
  // and an existing file (made meanwhile by another process) is never replaced.
  const std::string temp = path + ".new-" + std::to_string(::getpid()) + "-" + RandomHex(8);
  {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(temp.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    SqlitePtr db(raw);
    bool ok = rc == SQLITE_OK && sqlite3_exec(raw, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK;
    if (ok) {
      const std::string fill =
          "INSERT INTO meta (k, v) VALUES ('id', '" + RandomHex(16) +
          "'); INSERT INTO keys (id, parent, name, fold, mtime) VALUES (1, NULL, x'', x'', " +
          std::to_string(FileTimeNow()) + "); COMMIT;";
      ok = sqlite3_exec(raw, fill.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    if (!ok || sqlite3_close(db.release()) != SQLITE_OK) {
      RemoveQuietly(temp);
      Fail(ERROR_ACCESS_DENIED);
    }
  }
  int linked = ::link(temp.c_str(), path.c_str());
  if (linked != 0 && errno != EEXIST) {
    // Filesystems without hard links: a rename that refuses to replace.
    linked = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
  }
  const int error = errno;
  RemoveQuietly(temp);
  if (linked != 0 && error != EEXIST) Fail(ERROR_ACCESS_DENIED);
}

sqlite3_stmt* Hive::Prepare(const char* sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second.get();
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  StmtPtr owned(stmt);
  if (rc != SQLITE_OK) Raise(rc);
  return statements_.emplace(sql, std::move(owned)).first->second.get();
}

void Hive::Exec(const char* sql) {
  const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Raise(rc);
}

[[noreturn]] void Hive::Raise(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      Fail(ERROR_BUSY);
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
      Fail(ERROR_ACCESS_DENIED);
    case SQLITE_NOMEM:
      Fail(ERROR_OUTOFMEMORY);
    case SQLITE_FULL:
    case SQLITE_IOERR:
      Fail(ERROR_CANTWRITE);
    default:  // CORRUPT, NOTADB, SCHEMA, a missing table or column: not a hive we can use
      Fail(ERROR_BADDB);
  }
}

void Hive::FdCloser::operator()(int* fd) const {
  ::close(*fd);
  delete fd;
}

void Hive::Begin(bool write) {
  if (!write) {
    Exec("BEGIN");
    return;
  }
  while (::flock(*file_, LOCK_EX) != 0) {
    if (errno != EINTR) Fail(ERROR_CANTWRITE);
  }
  write_locked_ = true;
  try {
    Exec("BEGIN IMMEDIATE");
  } catch (...) {
    Unlock();
    throw;
  }
}

void Hive::Commit() {
  Exec("COMMIT");
  Unlock();
}

void Hive::Rollback() noexcept {
  if (!sqlite3_get_autocommit(db_.get())) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  Unlock();
}

void Hive::Unlock() noexcept {
  if (write_locked_) ::flock(*file_, LOCK_UN);
  write_locked_ = false;
}
void Hive::Savepoint() { Exec("SAVEPOINT call"); }
void Hive::ReleaseSavepoint() { Exec("RELEASE call"); }
void Hive::RollbackToSavepoint() noexcept {
  sqlite3_exec(db_.get(), "ROLLBACK TO call; RELEASE call", nullptr, nullptr, nullptr);
}

void Hive::Abandon() noexcept {
  // The descriptor's flock is shared with the parent: neither unlocked nor closed here.
  for (auto& [sql, stmt] : statements_) static_cast<void>(stmt.release());
  static_cast<void>(db_.release());
  delete file_.release();
}

bool Hive::KeyExists(std::int64_t key) {
  Query q(*this, "SELECT 1 FROM keys WHERE id = ?");
  return q.Bind(key).Step();
}

std::optional<std::int64_t> Hive::FindChild(std::int64_t parent, const std::u16string& name) {
  Query q(*this, "SELECT id FROM keys WHERE parent = ? AND fold = ?");
  if (!q.Bind(parent).BindBlob(FoldName(name)).Step()) return std::nullopt;
  return q.Int(0);
}

std::int64_t Hive::CreateChild(std::int64_t parent, const std::u16string& name) {
  const std::int64_t now = FileTimeNow();
  {
    Query q(*this, "INSERT INTO keys (parent, name, fold, mtime) VALUES (?, ?, ?, ?)");
    q.Bind(parent).BindBlob(NameBytes(name)).BindBlob(FoldName(name)).Bind(now).Run();
  }
  const std::int64_t id = sqlite3_last_insert_rowid(db_.get());
  Touch(parent);
  return id;
}

bool Hive::HasChildren(std::int64_t key) {
  Query q(*this, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
  return q.Bind(key).Step();
}

std::optional<std::u16string> Hive::ChildAt(std::int64_t parent, DWORD index, std::int64_t* lastWrite) {
  Query q(*this, "SELECT name, mtime FROM keys WHERE parent = ? ORDER BY fold LIMIT 1 OFFSET ?");
  if (!q.Bind(parent).Bind(index).Step()) return std::nullopt;
  if (lastWrite) *lastWrite = q.Int(1);
  return q.Name(0);
}

void Hive::DeleteKey(std::int64_t key) {
  std::int64_t parent = 0;
  {
    Query q(*this, "SELECT parent FROM keys WHERE id = ?");
    if (q.Bind(key).Step()) parent = q.Int(0);
  }
  DeleteAllValues(key);
  {
    Query q(*this, "DELETE FROM keys WHERE id = ?");
    q.Bind(key).Run();
  }
  if (parent) Touch(parent);
}

void Hive::DeleteSubtree(std::int64_t key, bool includingKey) {
  static const char kBelow[] =
      "WITH RECURSIVE below(id) AS (SELECT id FROM keys WHERE parent = ?1"
      " UNION ALL SELECT k.id FROM keys k JOIN below b ON k.parent = b.id)";
  static const std::string kValues = std::string(kBelow) + " DELETE FROM vals WHERE key IN below";
  static const std::string kKeys = std::string(kBelow) + " DELETE FROM keys WHERE id IN below";
  {
    Query q(*this, kValues.c_str());
    q.Bind(key).Run();
  }
  {
    Query q(*this, kKeys.c_str());
    q.Bind(key).Run();
  }
  if (includingKey) {
    DeleteKey(key);
  } else {
    Touch(key);
  }
}

void Hive::DeleteAllValues(std::int64_t key) {
  Query q(*this, "DELETE FROM vals WHERE key = ?");
  q.Bind(key).Run();
  Touch(key);
}

KeyCounts Hive::Counts(std::int64_t key) {
  KeyCounts counts;
  {
    Query q(*this, "SELECT count(*), coalesce(max(length(name)), 0) FROM keys WHERE parent = ?");
    if (q.Bind(key).Step()) {
      counts.subkeys = static_cast<DWORD>(q.Int(0));
      counts.max_subkey_name_len = static_cast<DWORD>(q.Int(1) / 2);
    }
  }
  {
    Query q(*this,
            "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0) FROM vals"
            " WHERE key = ?");
    if (q.Bind(key).Step()) {
      counts.values = static_cast<DWORD>(q.Int(0));
      counts.max_value_name_len = static_cast<DWORD>(q.Int(1) / 2);
      counts.max_value_data_len = static_cast<DWORD>(q.Int(2));
    }
  }
  {
    Query q(*this, "SELECT mtime FROM keys WHERE id = ?");
    if (q.Bind(key).Step()) counts.last_write = q.Int(0);
  }
  return counts;
}

void Hive::Touch(std::int64_t key) {
  Query q(*this, "UPDATE keys SET mtime = ? WHERE id = ?");
  q.Bind(FileTimeNow()).Bind(key).Run();
}

std::optional<StoredValue> Hive::GetValue(std::int64_t key, const std::u16string& name) {
  Query q(*this, "SELECT name, type, data FROM vals WHERE key = ? AND fold = ?");
  if (!q.Bind(key).BindBlob(FoldName(name)).Step()) return std::nullopt;
  return StoredValue{q.Name(0), static_cast<DWORD>(q.Int(1)), q.Blob(2)};
}

std::optional<StoredValue> Hive::ValueAt(std::int64_t key, DWORD index) {
  Query q(*this, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY seq LIMIT 1 OFFSET ?");
  if (!q.Bind(key).Bind(index).Step()) return std::nullopt;
  return StoredValue{q.Name(0), static_cast<DWORD>(q.Int(1)), q.Blob(2)};
}

void Hive::SetValue(std::int64_t key, const std::u16string& name, DWORD type, const BYTE* data, DWORD size) {
  const std::string fold = FoldName(name);
  bool replaced = false;
  {
    // Replacing keeps the row, hence the name's case and the place in the enumeration.
    Query q(*this, "UPDATE vals SET type = ?, data = ? WHERE key = ? AND fold = ?");
    q.Bind(type).BindBlob(data, size).Bind(key).BindBlob(fold).Run();
    replaced = sqlite3_changes(db_.get()) > 0;
  }
  if (!replaced) {
    Query q(*this,
            "INSERT INTO vals (key, seq, name, fold, type, data) VALUES"
            " (?1, (SELECT coalesce(max(seq), 0) + 1 FROM vals WHERE key = ?1), ?2, ?3, ?4, ?5)");
    q.Bind(key).BindBlob(NameBytes(name)).BindBlob(fold).Bind(type).BindBlob(data, size).Run();
  }
  Touch(key);
}

bool Hive::DeleteValue(std::int64_t key, const std::u16string& name) {
  {
    Query q(*this, "DELETE FROM vals WHERE key = ? AND fold = ?");
    q.Bind(key).BindBlob(FoldName(name)).Run();
  }
  if (sqlite3_changes(db_.get()) == 0) return false;
  Touch(key);
  return true;
}

}  // namespace mivo::reg::detail
