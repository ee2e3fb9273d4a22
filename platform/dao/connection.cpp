// The SQLite connection behind an open database: opening without ever creating a file, validation, and
// statement helpers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dao/dao_internal.h"

namespace mivo::dao {
namespace {

CString Quoted(const CString& s) { return u"'" + s + u"'"; }

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

std::uint32_t BigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

std::unique_ptr<Connection> Connection::Open(const CString& path, bool readOnly) {
  const std::string utf8 = AfxToUtf8(path);
  const CString file = path;
  auto notADatabase = [&](const CString& why) {
    ThrowEngine(kErrNotADatabase, u"Unrecognized database format " + Quoted(file) + u": " + why + u".");
  };
  struct stat st {};
  if (utf8.empty() || ::stat(utf8.c_str(), &st) != 0) {
    if (!utf8.empty() && errno != ENOENT && errno != ENOTDIR) {
      ThrowEngine(kErrNoPermission,
                  u"Could not open " + Quoted(file) + u" (" + AfxFromUtf8(std::strerror(errno)) + u").");
    }
    ThrowEngine(kErrFileNotFound, u"Could not find file " + Quoted(file) + u".");
  }
  if (!S_ISREG(st.st_mode)) notADatabase(u"it is not a regular file");

  // Read the header ourselves: it tells a foreign or truncated file before SQLite is asked.
  unsigned char header[100] = {};
  {
    Fd in;
    in.fd = ::open(utf8.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) {
      if (errno == ENOENT) ThrowEngine(kErrFileNotFound, u"Could not find file " + Quoted(file) + u".");
      ThrowEngine(kErrNoPermission,
                  u"Could not open " + Quoted(file) + u" (" + AfxFromUtf8(std::strerror(errno)) + u").");
    }
    std::size_t got = 0;
    while (got < sizeof header) {
      const ssize_t n = ::read(in.fd, header + got, sizeof header - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got == 0) notADatabase(u"the file is empty");
    if (got < sizeof header || std::memcmp(header, "SQLite format 3", 16) != 0) {
      notADatabase(u"the file is not an SQLite database");
    }
  }

  const bool folderWritable = ::access(FolderOf(utf8).c_str(), W_OK | X_OK) == 0;
  const bool fileWritable = ::access(utf8.c_str(), W_OK) == 0;
  const bool openReadOnly = readOnly || !fileWritable || !folderWritable;

  std::unique_ptr<Connection> conn(new Connection);
  conn->file_ = file;
  sqlite3* raw = nullptr;
  const int flags = (openReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(utf8.c_str(), &raw, flags, nullptr);
  conn->db_.reset(raw);
  if (rc != SQLITE_OK) conn->Fail(rc, CString(), Access::kRead);
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, BusyTimeoutMs());
  // A database file is input from whoever could write it. Its schema (views, triggers, defaults) and any
  // SQL run on it get core SQL only: no extensions, no other files attached, no schema rewriting.
  sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
  sqlite3_db_config(raw, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(raw, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_limit(raw, SQLITE_LIMIT_ATTACHED, 0);
  conn->read_only_ = sqlite3_db_readonly(raw, "main") == 1;

  // Validate: read the whole schema (a foreign or damaged file fails here rather than later).
  Stmt schema = conn->Prepare("SELECT type, name, sql FROM sqlite_master", CString(), Access::kRead);
  while (conn->Step(schema.get(), CString(), Access::kRead)) {
  }
  schema.reset();

  // A copy cut short: the header's page count (valid when the change counter at 24 matches the
  // version-valid-for number at 92) must fit in the file. A WAL database (versions 2 at 18/19) keeps
  // pages in its log, so there the check does not apply.
  const std::uint32_t headerPages = BigEndian32(header + 28);
  const bool headerCountValid = headerPages != 0 && BigEndian32(header + 24) == BigEndian32(header + 92);
  const bool wal = header[18] == 2 || header[19] == 2;
  if (headerCountValid && !wal) {
    std::uint32_t pageSize = (std::uint32_t{header[16]} << 8) | header[17];
    if (pageSize == 1) pageSize = 65536;
    struct stat now {};
    if (::stat(utf8.c_str(), &now) == 0 &&
        static_cast<std::uint64_t>(now.st_size) < std::uint64_t{headerPages} * pageSize) {
      notADatabase(u"the file is shorter than its header says (truncated)");
    }
  }
  return conn;
}

void Connection::Fail(int rc, const CString& object, Access access) const {
  const char* message = db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(rc);
  ThrowSqlite(rc, message != nullptr ? message : sqlite3_errstr(rc), file_, object, access);
}

Stmt Connection::Prepare(std::string_view sql, const CString& object, Access access,
                         const char** tail) const {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db_.get(), sql.data(), static_cast<int>(sql.size()), &raw, tail);
  Stmt stmt(raw);
  if (rc != SQLITE_OK) Fail(rc, object, access);
  return stmt;
}

void Connection::Exec(const std::string& sql, const CString& object, Access access) const {
  const char* rest = sql.c_str();
  while (*rest != '\0') {
    const char* tail = nullptr;
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_.get(), rest, -1, &raw, &tail);
    Stmt stmt(raw);
    if (rc != SQLITE_OK) Fail(rc, object, access);
    rest = tail;
    if (!stmt) continue;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) Fail(rc, object, access);
  }
}

bool Connection::Step(sqlite3_stmt* stmt, const CString& object, Access access) const {
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) {
    sqlite3_reset(stmt);
    return false;
  }
  sqlite3_reset(stmt);
  Fail(rc, object, access);
}

bool Connection::FindTable(const std::string& name, bool viewsToo, std::string* realName) const {
  Stmt stmt =
      Prepare(viewsToo ? "SELECT name FROM sqlite_master WHERE type IN ('table', 'view') AND name = ?1 "
                         "COLLATE NOCASE ORDER BY name = ?1 DESC LIMIT 1"
                       : "SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?1 "
                         "COLLATE NOCASE ORDER BY name = ?1 DESC LIMIT 1",
              AfxFromUtf8(name), Access::kRead);
  sqlite3_bind_text(stmt.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  if (!Step(stmt.get(), AfxFromUtf8(name), Access::kRead)) return false;
  if (realName != nullptr) *realName = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
  return true;
}

}  // namespace mivo::dao
