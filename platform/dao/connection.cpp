// The SQLite connection behind an open database: opening without ever creating a file, validation,
// statement helpers, transactions, and the statements of CDaoDatabase::Execute and CDaoQueryDef.
#include <cerrno>
#include <cstring>

#include "platform/dao/files.h"
#include "platform/dao/sqlite_internal.h"

namespace mivo::dao {
namespace {

CString Quoted(const CString& s) { return u"'" + s + u"'"; }

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) files::Close(fd);
  }
};

std::uint32_t BigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// A path quoted for a POSIX shell: 'it'\''s'.
CString ShellQuoted(const CString& s) {
  CString out = u"'";
  for (char16_t c : s) {
    if (c == u'\'') {
      out += u"'\\''";
    } else {
      out += c;
    }
  }
  return out + u"'";
}

}  // namespace

CString AccessFileMessage(const CString& file) {
  // A report holds 255 characters with its terminator: the message names the file and gives the whole
  // command, with the folder left out of the command (and then the file's name cut in the middle) when
  // the full form is longer.
  constexpr std::size_t kLimit = 254;
  const auto slash = file.find_last_of(u"/\\");
  const CString folder = slash == CString::npos ? CString() : file.substr(0, slash + 1);
  const CString name = slash == CString::npos ? file : file.substr(slash + 1);
  const auto dot = name.rfind(u'.');
  const CString target = (dot == CString::npos || dot == 0 ? name : name.substr(0, dot)) + u".db";
  const CString head =
      u"'" + file + u"' is an Access database, which MivoDB does not read; convert it with: ";
  CString message = head + u"mivoctl db convert " + ShellQuoted(file) + u" " + ShellQuoted(folder + target);
  if (message.size() <= kLimit) return message;
  message = u"'" + file + u"' is an Access database; in its folder run: mivoctl db convert " +
            ShellQuoted(name) + u" " + ShellQuoted(target);
  if (message.size() <= kLimit) return message;
  const CString command =
      u"; in its folder run: mivoctl db convert " + ShellQuoted(name) + u" " + ShellQuoted(target);
  const CString lead = u"Access database '";
  if (lead.size() + 5 + command.size() <= kLimit) {
    const std::size_t room = kLimit - lead.size() - 1 - command.size();
    const CString shown = file.size() <= room ? file
                                              : file.substr(0, room / 2 - 1) + u"..." +
                                                    file.substr(file.size() - (room - room / 2 - 2));
    return lead + shown + u"'" + command;
  }
  // A name so long that no command fits: name the tool only.
  const CString tail = u"' is an Access database; convert it with mivoctl db convert.";
  const std::size_t room = kLimit - 1 - tail.size();
  return u"'" + (file.size() <= room ? file : u"..." + file.substr(file.size() - (room - 3))) + tail;
}

std::unique_ptr<SqliteConnection> SqliteConnection::Open(const CString& path, bool readOnly) {
  const std::string utf8 = AfxToUtf8(path);
  const CString file = path;
  auto notADatabase = [&](const CString& why) {
    ThrowEngine(kErrNotADatabase, u"Unrecognized database format " + Quoted(file) + u": " + why + u".");
  };
  files::Status st;
  if (utf8.empty() || !files::GetStatus(utf8, st)) {
    if (!utf8.empty() && errno != ENOENT && errno != ENOTDIR) {
      ThrowEngine(kErrNoPermission,
                  u"Could not open " + Quoted(file) + u" (" + AfxFromUtf8(std::strerror(errno)) + u").");
    }
    ThrowEngine(kErrFileNotFound, u"Could not find file " + Quoted(file) + u".");
  }
  if (!st.regular) notADatabase(u"it is not a regular file");

  // Read the header ourselves: it tells a foreign or truncated file before SQLite is asked.
  unsigned char header[100] = {};
  {
    Fd in;
    in.fd = files::OpenForReading(utf8);
    if (in.fd < 0) {
      if (errno == ENOENT) ThrowEngine(kErrFileNotFound, u"Could not find file " + Quoted(file) + u".");
      ThrowEngine(kErrNoPermission,
                  u"Could not open " + Quoted(file) + u" (" + AfxFromUtf8(std::strerror(errno)) + u").");
    }
    std::size_t got = 0;
    while (got < sizeof header) {
      const long n = files::Read(in.fd, header + got, sizeof header - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got == 0) notADatabase(u"the file is empty");
    if (got >= 20 && std::memcmp(header, "\0\1\0\0Standard ", 13) == 0 &&
        (std::memcmp(header + 13, "Jet DB", 6) == 0 || std::memcmp(header + 13, "ACE DB", 6) == 0)) {
      ThrowEngine(kErrNotADatabase, AccessFileMessage(file));
    }
    if (got < sizeof header || std::memcmp(header, "SQLite format 3", 16) != 0) {
      notADatabase(u"the file is not an SQLite database");
    }
  }

  const bool folderWritable = files::FolderWritable(utf8);
  const bool fileWritable = files::Writable(utf8);
  const bool openReadOnly = readOnly || !fileWritable || !folderWritable;

  std::unique_ptr<SqliteConnection> conn(new SqliteConnection);
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
    files::Status now;
    if (files::GetStatus(utf8, now) && now.size < std::uint64_t{headerPages} * pageSize) {
      notADatabase(u"the file is shorter than its header says (truncated)");
    }
  }
  return conn;
}

void SqliteConnection::Fail(int rc, const CString& object, Access access) const {
  const char* message = db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(rc);
  ThrowSqlite(rc, message != nullptr ? message : sqlite3_errstr(rc), file_, object, access);
}

Stmt SqliteConnection::Prepare(std::string_view sql, const CString& object, Access access,
                               const char** tail) const {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db_.get(), sql.data(), static_cast<int>(sql.size()), &raw, tail);
  Stmt stmt(raw);
  if (rc != SQLITE_OK) Fail(rc, object, access);
  return stmt;
}

void SqliteConnection::Exec(const std::string& sql, const CString& object, Access access) const {
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

bool SqliteConnection::Step(sqlite3_stmt* stmt, const CString& object, Access access) const {
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) {
    sqlite3_reset(stmt);
    return false;
  }
  sqlite3_reset(stmt);
  Fail(rc, object, access);
}

bool SqliteConnection::FindTable(const std::string& name, bool viewsToo, std::string* realName) const {
  Stmt& stmt = find_table_[viewsToo ? 1 : 0];
  if (!stmt) {
    stmt = Prepare(viewsToo ? "SELECT name FROM sqlite_master WHERE type IN ('table', 'view') AND name = ?1 "
                              "COLLATE NOCASE ORDER BY name = ?1 DESC LIMIT 1"
                            : "SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?1 "
                              "COLLATE NOCASE ORDER BY name = ?1 DESC LIMIT 1",
                   AfxFromUtf8(name), Access::kRead);
  }
  sqlite3_bind_text(stmt.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  if (!Step(stmt.get(), AfxFromUtf8(name), Access::kRead)) return false;
  if (realName != nullptr) *realName = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
  sqlite3_reset(stmt.get());
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Transactions, CDaoDatabase::Execute and CDaoQueryDef

void SqliteConnection::Begin() { Exec(read_only() ? "BEGIN" : "BEGIN IMMEDIATE", CString(), Access::kWrite); }

void SqliteConnection::Commit() { Exec("COMMIT", CString(), Access::kWrite); }

void SqliteConnection::Rollback() { Exec("ROLLBACK", CString(), Access::kWrite); }

namespace {

// Runs a prepared statement to its end; the number of rows it changed.
long RunToEnd(const SqliteConnection& conn, sqlite3_stmt* stmt, const CString& object) {
  while (conn.Step(stmt, object, Access::kWrite)) {
  }
  return static_cast<long>(sqlite3_changes(conn.handle()));
}

// The prepared statement of a CDaoQueryDef, with which of its parameters are set.
struct SqliteStatement final : Statement {
  SqliteStatement(const SqliteConnection& c, Stmt s) : conn(c), stmt(std::move(s)) {
    set.assign(sqlite3_bind_parameter_count(stmt.get()) + 1, false);
  }

  bool SetParam(const std::string& wanted, const COleVariant& value) override {
    bool matched = false;
    for (int i = 1; i < static_cast<int>(set.size()); ++i) {
      const char* have = sqlite3_bind_parameter_name(stmt.get(), i);
      if (have == nullptr || *have != ':' || !SameName(have + 1, wanted)) continue;
      BindValue(stmt.get(), i, value);
      set[i] = true;
      matched = true;
    }
    return matched;
  }

  long Run(const CString& sql) override {
    for (int i = 1; i < static_cast<int>(set.size()); ++i) {
      if (set[i]) continue;
      const char* have = sqlite3_bind_parameter_name(stmt.get(), i);
      ThrowEngine(kErrItemNotFound,
                  u"Item not found in this collection: the parameter '" +
                      AfxFromUtf8(have != nullptr ? (have[0] == ':' ? have + 1 : have) : "?") + u"' of '" +
                      sql + u"' was not given.");
    }
    return RunToEnd(conn, stmt.get(), sql);
  }

  const SqliteConnection& conn;
  Stmt stmt;
  std::vector<bool> set;  // by parameter index (1-based)
};

}  // namespace

void SqliteConnection::Execute(const CString& sql, long* affected) {
  const std::string utf8 = AfxToUtf8(sql);
  std::string_view rest = utf8;
  while (!rest.empty()) {
    const char* tail = nullptr;
    Stmt stmt = Prepare(rest, sql, Access::kWrite, &tail);
    rest.remove_prefix(tail != nullptr ? static_cast<std::size_t>(tail - rest.data()) : rest.size());
    if (!stmt) continue;
    if (sqlite3_bind_parameter_count(stmt.get()) > 0) {
      const char* name = sqlite3_bind_parameter_name(stmt.get(), 1);
      ThrowEngine(kErrItemNotFound, u"Item not found in this collection: the parameter '" +
                                        AfxFromUtf8(name != nullptr ? name : "?") + u"' of '" + sql +
                                        u"' has no value (use a query definition).");
    }
    *affected = RunToEnd(*this, stmt.get(), sql);
  }
}

std::unique_ptr<Statement> SqliteConnection::Prepare(const CString& sql) {
  const std::string utf8 = AfxToUtf8(sql);
  const char* tail = nullptr;
  Stmt stmt = Prepare(utf8, sql, Access::kWrite, &tail);
  bool one = stmt != nullptr;
  if (one && tail != nullptr && *tail != '\0') {
    sqlite3_stmt* next = nullptr;
    if (sqlite3_prepare_v2(handle(), tail, -1, &next, nullptr) != SQLITE_OK || next != nullptr) one = false;
    sqlite3_finalize(next);
  }
  if (!one) ThrowEngine(kErrGeneric, u"The query definition '" + sql + u"' is not one SQL statement.");
  return std::make_unique<SqliteStatement>(*this, std::move(stmt));
}

}  // namespace mivo::dao
