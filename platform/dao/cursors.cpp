// The cursors behind open recordsets: the engine-neutral base, and SQLite's forward cursor over one SELECT
// (stored query, table or view by name, SQL text) and table-type cursor that scans a table in rowid order
// and edits and appends rows.
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/dao/sqlite_internal.h"

namespace mivo::dao {
namespace {

CString Quoted(const CString& s) { return u"'" + s + u"'"; }

// Resets a statement when leaving a scope, so that no read stays pending between moves.
struct ResetOnExit {
  sqlite3_stmt* stmt;
  ~ResetOnExit() { sqlite3_reset(stmt); }
};

bool IsBareName(const CString& text) {
  if (text.empty()) return false;
  for (char16_t c : text) {
    const bool ok =
        (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_';
    if (!ok) return false;
  }
  return true;
}

bool IsBracketedName(const CString& text) {
  return text.size() >= 3 && text.front() == u'[' && text.back() == u']' &&
         text.find(u']') == text.size() - 1;
}

// Whether the database keeps its text as UTF-8 (the databases attached to it share its encoding). False
// when that cannot be read.
bool StoresUtf8(sqlite3* db) {
  sqlite3_stmt* raw = nullptr;
  bool utf8 = false;
  if (sqlite3_prepare_v2(db, "PRAGMA main.encoding", -1, &raw, nullptr) == SQLITE_OK &&
      sqlite3_step(raw) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
    utf8 = name != nullptr && std::strcmp(name, "UTF-8") == 0;
  }
  sqlite3_finalize(raw);
  return utf8;
}

// The text of column `col` when its UTF-8 bytes are all ASCII: one code unit per byte, which is what
// sqlite3_column_text16 gives for them, without SQLite's conversion. False (`out` unspecified, the column
// unconverted) for any other text.
bool ReadAsciiText(sqlite3_stmt* stmt, int col, CString& out) {
  const auto* p = sqlite3_column_text(stmt, col);
  if (p == nullptr) return false;
  const auto n = static_cast<std::size_t>(sqlite3_column_bytes(stmt, col));
  out.resize(n);
  char16_t* units = out.data();
  unsigned char high = 0;
  for (std::size_t i = 0; i < n; ++i) {
    units[i] = p[i];
    high |= p[i];
  }
  return (high & 0x80) == 0;
}

// ------------------------------------------------------------------------------------------------
// Query cursor

class QueryCursor final : public Cursor {
 public:
  QueryCursor(const SqliteConnection& conn, CString object, Stmt stmt)
      : Cursor(conn, std::move(object)), conn_(conn), stmt_(std::move(stmt)) {
    const int n = sqlite3_column_count(stmt_.get());
    kinds_.reserve(n);
    for (int i = 0; i < n; ++i) kinds_.push_back(KindOfDeclaredType(sqlite3_column_decltype(stmt_.get(), i)));
    storage_.assign(n, -1);
    utf8_ = StoresUtf8(conn.handle());
  }

  void Start() { Advance(); }

  void MoveFirst() override {
    if (row_ == 0 && !eof_) return;  // already on the first row: nothing to re-run
    sqlite3_reset(stmt_.get());
    row_ = -1;
    Advance();
  }

  void MoveNext() override {
    if (eof_) ThrowEngine(kErrNoCurrentRecord, u"No current record: " + Quoted(object_) + u" is at its end.");
    Advance();
  }

  int FieldCount() const override { return static_cast<int>(kinds_.size()); }

  CString FieldName(int index) const override {
    const char* name = sqlite3_column_name(stmt_.get(), index);
    return name != nullptr ? AfxFromUtf8(name) : CString();
  }

  COleVariant GetFieldValue(int index) override {
    CheckIndex(index);
    if (bof_ || eof_) ThrowEngine(kErrNoCurrentRecord, u"No current record in " + Quoted(object_) + u".");
    const int storage = storage_[index] >= 0 ? storage_[index] : sqlite3_column_type(stmt_.get(), index);
    return ReadColumn(stmt_.get(), index, kinds_[index], storage);
  }

  int FindColumn(const std::string& utf8Name) const override {
    for (int i = 0; i < FieldCount(); ++i) {
      if (SameName(sqlite3_column_name(stmt_.get(), i), utf8Name)) return i;
    }
    return -1;
  }

 private:
  void Advance() {
    const int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) {
      ++row_;
      bof_ = eof_ = false;
      Fill();
      return;
    }
    sqlite3_reset(stmt_.get());  // ends the read; the bindings stay for a re-run
    if (rc != SQLITE_DONE) {
      bof_ = eof_ = true;
      conn_.Fail(rc, object_, Access::kRead);
    }
    bof_ = row_ < 0;
    eof_ = true;
  }

  // The bound members take the row's values; text is assigned into the members' own storage. ASCII text
  // of a UTF-8 database is widened here; any other value is read as UTF-16 from SQLite.
  void Fill() {
    sqlite3_stmt* stmt = stmt_.get();
    for (const BoundField& f : fields_) {
      storage_[f.column] = sqlite3_column_type(stmt, f.column);
      if (f.text != nullptr) {
        if (utf8_ && storage_[f.column] == SQLITE_TEXT && ReadAsciiText(stmt, f.column, *f.text)) continue;
        const void* p = sqlite3_column_text16(stmt, f.column);
        if (p == nullptr) {
          f.text->clear();
        } else {
          f.text->assign(static_cast<const char16_t*>(p),
                         static_cast<std::size_t>(sqlite3_column_bytes16(stmt, f.column)) / 2);
        }
      } else {
        *f.short_value = static_cast<short>(sqlite3_column_int(stmt, f.column));
      }
    }
  }

  const SqliteConnection& conn_;
  Stmt stmt_;
  std::vector<Kind> kinds_;
  long long row_ = -1;  // index of the current row in this run
  bool utf8_ = false;   // the database's text is UTF-8
};

// ------------------------------------------------------------------------------------------------
// Table cursor

class TableCursor final : public RowTableCursor {
 public:
  TableCursor(const SqliteConnection& conn, std::string table, std::string filter)
      : RowTableCursor(conn, AfxFromUtf8(table)), conn_(conn), table_(std::move(table)) {
    Describe(filter);
  }

  bool CanAppend() const override { return !conn_.read_only(); }
  bool CanUpdate() const override { return !conn_.read_only(); }

  void AddNew() override {
    if (!CanAppend()) NotUpdatable();
    buffer_.assign(cols_.size(), COleVariant::Null());
    set_.assign(cols_.size(), false);
    for (std::size_t i = 0; i < cols_.size(); ++i) {
      if (!cols_[i].default_sql.empty()) buffer_[i] = EvaluateDefault(cols_[i]);
    }
    if (pk_col_ >= 0) {
      if (auto next = PredictRowid()) {
        buffer_[pk_col_] = *next <= std::numeric_limits<std::int32_t>::max() &&
                                   *next >= std::numeric_limits<std::int32_t>::min()
                               ? COleVariant::Long(static_cast<std::int32_t>(*next))
                               : COleVariant::Double(static_cast<double>(*next));
        set_[pk_col_] = true;
      }
    }
    mode_ = Mode::kAdd;
  }

 private:
  void Describe(const std::string& filter) {
    const std::string quoted = "main." + QuoteIdent(table_);
    Stmt info = conn_.Prepare("PRAGMA main.table_info(" + QuoteIdent(table_) + ")", object_, Access::kRead);
    int pkCount = 0;
    int pkCandidate = -1;
    while (conn_.Step(info.get(), object_, Access::kRead)) {
      Column c;
      c.name = reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 1));
      c.wide_name = AfxFromUtf8(c.name);
      const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 2));
      c.kind = KindOfDeclaredType(type);
      if (const auto* d = sqlite3_column_text(info.get(), 4))
        c.default_sql = reinterpret_cast<const char*>(d);
      if (sqlite3_column_int(info.get(), 5) > 0) {
        ++pkCount;
        if (type != nullptr && SameName(type, "INTEGER")) pkCandidate = static_cast<int>(cols_.size());
      }
      cols_.push_back(std::move(c));
    }
    info.reset();
    if (cols_.empty()) {
      ThrowEngine(kErrObjectNotFound,
                  u"Could not find table " + Quoted(object_) + u" in " + Quoted(conn_.file()) + u".");
    }
    for (const char* alias : {"rowid", "_rowid_", "oid"}) {
      if (FindColumn(alias) < 0) {
        rowid_name_ = alias;
        break;
      }
    }
    sqlite3_stmt* probe = nullptr;
    const std::string probeSql = "SELECT " + rowid_name_ + " FROM " + quoted;
    const int rc = rowid_name_.empty()
                       ? SQLITE_ERROR
                       : sqlite3_prepare_v2(conn_.handle(), probeSql.c_str(), -1, &probe, nullptr);
    sqlite3_finalize(probe);
    if (rc != SQLITE_OK) {
      ThrowEngine(kErrGeneric, u"Table " + Quoted(object_) + u" in " + Quoted(conn_.file()) +
                                   u" has no row numbers and cannot be opened as a table-type recordset.");
    }
    if (pkCount == 1 && pkCandidate >= 0) {
      pk_col_ = pkCandidate;
      int autoinc = 0;
      sqlite3_table_column_metadata(conn_.handle(), "main", table_.c_str(), cols_[pk_col_].name.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, &autoinc);
      autoinc_ = autoinc != 0;
    }
    std::string select = "SELECT " + rowid_name_;
    for (const Column& c : cols_) select += ", " + QuoteIdent(c.name);
    select += " FROM " + quoted + " WHERE " + rowid_name_ + " >= ?1" +
              (filter.empty() ? "" : " AND (" + filter + ")") + " ORDER BY " + rowid_name_ + " LIMIT 1";
    seek_ = conn_.Prepare(select, object_, Access::kRead);
    storage_.assign(cols_.size(), -1);
  }

  // Positions on the first row whose rowid is at least `from`, or past the end.
  void SeekFrom(std::int64_t from) override {
    sqlite3_stmt* stmt = seek_.get();
    ResetOnExit reset{stmt};
    sqlite3_bind_int64(stmt, 1, from);
    on_row_ = conn_.Step(stmt, object_, Access::kRead);
    if (!on_row_) return;
    key_ = sqlite3_column_int64(stmt, 0);
    row_.resize(cols_.size());
    for (std::size_t i = 0; i < cols_.size(); ++i) {
      const int col = static_cast<int>(i) + 1;
      row_[i] = ReadColumn(stmt, col, cols_[i].kind, sqlite3_column_type(stmt, col));
    }
    for (const BoundField& f : fields_) {
      const COleVariant& v = row_[f.column];
      if (f.text != nullptr) {
        *f.text = TextOf(v);
      } else {
        *f.short_value = static_cast<short>(v.vt() == VT_R8 ? static_cast<long>(v.dblVal()) : v.lVal());
      }
    }
  }

  COleVariant EvaluateDefault(const Column& c) const {
    sqlite3_stmt* raw = nullptr;
    const std::string sql = "SELECT (" + c.default_sql + ")";
    if (sqlite3_prepare_v2(conn_.handle(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
      sqlite3_finalize(raw);
      return COleVariant::Null();
    }
    Stmt stmt(raw);
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return COleVariant::Null();
    return ReadColumn(stmt.get(), 0, c.kind, sqlite3_column_type(stmt.get(), 0));
  }

  // The rowid SQLite gives the next row; none when it would pick one at random (the largest rowid used).
  std::optional<std::int64_t> PredictRowid() const {
    constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();
    const std::string quoted = "main." + QuoteIdent(table_);
    std::int64_t next = 1;  // an empty table starts at 1
    {
      Stmt stmt = conn_.Prepare("SELECT max(" + rowid_name_ + ") FROM " + quoted, object_, Access::kRead);
      if (conn_.Step(stmt.get(), object_, Access::kRead) &&
          sqlite3_column_type(stmt.get(), 0) != SQLITE_NULL) {
        const std::int64_t last = sqlite3_column_int64(stmt.get(), 0);
        if (last == kLargest) return std::nullopt;
        next = last + 1;
      }
    }
    if (autoinc_ && conn_.FindTable("sqlite_sequence", false, nullptr)) {
      Stmt stmt =
          conn_.Prepare("SELECT seq FROM main.sqlite_sequence WHERE name = ?1", object_, Access::kRead);
      sqlite3_bind_text(stmt.get(), 1, table_.data(), static_cast<int>(table_.size()), SQLITE_TRANSIENT);
      if (conn_.Step(stmt.get(), object_, Access::kRead)) {
        const std::int64_t seq = sqlite3_column_int64(stmt.get(), 0);
        sqlite3_reset(stmt.get());
        if (seq == kLargest) return std::nullopt;
        next = std::max(next, seq + 1);
      }
    }
    return next;
  }

  void Insert() override {
    std::string names;
    std::string values;
    std::vector<int> bound;
    for (std::size_t i = 0; i < cols_.size(); ++i) {
      if (!set_[i]) continue;
      if (!bound.empty()) {
        names += ", ";
        values += ", ";
      }
      names += QuoteIdent(cols_[i].name);
      values += "?" + std::to_string(bound.size() + 1);
      bound.push_back(static_cast<int>(i));
    }
    const std::string quoted = "main." + QuoteIdent(table_);
    const std::string sql = bound.empty()
                                ? "INSERT INTO " + quoted + " DEFAULT VALUES"
                                : "INSERT INTO " + quoted + " (" + names + ") VALUES (" + values + ")";
    Stmt stmt = conn_.Prepare(sql, object_, Access::kWrite);
    for (std::size_t k = 0; k < bound.size(); ++k)
      BindValue(stmt.get(), static_cast<int>(k) + 1, buffer_[bound[k]]);
    conn_.Step(stmt.get(), object_, Access::kWrite);
  }

  void Change() override {
    std::string assignments;
    std::vector<int> bound;
    for (std::size_t i = 0; i < cols_.size(); ++i) {
      if (!set_[i]) continue;
      if (!bound.empty()) assignments += ", ";
      assignments += QuoteIdent(cols_[i].name) + " = ?" + std::to_string(bound.size() + 1);
      bound.push_back(static_cast<int>(i));
    }
    if (bound.empty()) return;
    const std::string sql = "UPDATE main." + QuoteIdent(table_) + " SET " + assignments + " WHERE " +
                            rowid_name_ + " = ?" + std::to_string(bound.size() + 1);
    Stmt stmt = conn_.Prepare(sql, object_, Access::kWrite);
    for (std::size_t k = 0; k < bound.size(); ++k)
      BindValue(stmt.get(), static_cast<int>(k) + 1, buffer_[bound[k]]);
    sqlite3_bind_int64(stmt.get(), static_cast<int>(bound.size()) + 1, key_);
    conn_.Step(stmt.get(), object_, Access::kWrite);
    if (sqlite3_changes(conn_.handle()) == 0) {
      ThrowEngine(kErrRecordDeleted, u"The record being edited in " + Quoted(object_) + u" was deleted.");
    }
    SeekFrom(KeyAfterEdit(pk_col_));
  }

  const SqliteConnection& conn_;
  std::string table_;
  std::string rowid_name_;
  int pk_col_ = -1;
  bool autoinc_ = false;
  Stmt seek_;
};

}  // namespace

// ------------------------------------------------------------------------------------------------
// Cursor

void Cursor::SetFieldValue(int, const COleVariant&) { NotUpdatable(); }
void Cursor::AddNew() { NotUpdatable(); }
void Cursor::Edit() { NotUpdatable(); }
void Cursor::Update() { NotUpdatable(); }

COleVariant Cursor::GetBookmark() {
  ThrowEngine(kErrNotSupported, u"Operation is not supported: " + Quoted(object_) + u" has no bookmarks.");
}

void Cursor::SetBookmark(const COleVariant&) { GetBookmark(); }

void Cursor::NotUpdatable() const {
  if (connection_.read_only()) {
    ThrowEngine(kErrReadOnly, u"Cannot update " + Quoted(object_) + u": the database " +
                                  Quoted(connection_.file()) + u" is read-only.");
  }
  ThrowEngine(kErrReadOnly, u"Cannot update " + Quoted(object_) + u": the recordset is read-only.");
}

void Cursor::CheckIndex(int index) const {
  if (index < 0 || index >= FieldCount()) {
    ThrowEngine(kErrItemNotFound, u"Item not found in this collection: " + Quoted(object_) +
                                      u" has no column " + CString(u"at position ") +
                                      AfxFromUtf8(std::to_string(index)) + u".");
  }
}

void Cursor::BindFields(const std::vector<CDaoFieldExchange::Binding>& fields) {
  fields_.clear();
  for (const auto& b : fields) {
    const CString name = StripBrackets(b.name);
    const int col = FindColumn(AfxToUtf8(name));
    if (col < 0) {
      ThrowEngine(kErrItemNotFound, u"Item not found in this collection: " + Quoted(object_) +
                                        u" has no column " + Quoted(name) + u".");
    }
    if (b.text == nullptr && b.short_value == nullptr) continue;
    fields_.push_back(BoundField{col, b.text, b.short_value});
  }
}

std::unique_ptr<Cursor> SqliteConnection::OpenQuery(const CString& source,
                                                    const std::vector<CDaoFieldExchange::Binding>& fields,
                                                    const std::vector<CDaoFieldExchange::Binding>& params,
                                                    const CString& filter) const {
  const SqliteConnection& conn = *this;
  std::string sql;
  CString object = source;
  if (IsBracketedName(source) || IsBareName(source)) {
    object = StripBrackets(source);
    const std::string name = AfxToUtf8(object);
    bool found = false;
    if (conn.FindTable("StoredQueries", false, nullptr)) {
      Stmt lookup = conn.Prepare(
          "SELECT SQL FROM main.StoredQueries WHERE Name = ?1 COLLATE NOCASE ORDER BY Name = ?1 DESC LIMIT 1",
          object, Access::kRead);
      sqlite3_bind_text(lookup.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      if (conn.Step(lookup.get(), object, Access::kRead)) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(lookup.get(), 0));
        sql = text != nullptr ? text : "";
        found = true;
        sqlite3_reset(lookup.get());
      }
    }
    std::string realName;
    if (!found && conn.FindTable(name, true, &realName)) {
      sql = "SELECT * FROM main." + QuoteIdent(realName);
      found = true;
    }
    if (!found) {
      ThrowEngine(kErrObjectNotFound,
                  u"Could not find table or query " + Quoted(object) + u" in " + Quoted(conn.file()) + u".");
    }
  } else {
    sql = AfxToUtf8(source);
  }
  sql = FilteredSql(std::move(sql), filter);

  const char* tail = nullptr;
  Stmt stmt = conn.Prepare(sql, object, Access::kRead, &tail);
  bool oneSelect = stmt && sqlite3_stmt_readonly(stmt.get()) && sqlite3_column_count(stmt.get()) > 0;
  if (oneSelect && tail != nullptr && *tail != '\0') {
    sqlite3_stmt* next = nullptr;
    if (sqlite3_prepare_v2(conn.handle(), tail, -1, &next, nullptr) != SQLITE_OK || next != nullptr)
      oneSelect = false;
    sqlite3_finalize(next);
  }
  if (!oneSelect) {
    ThrowEngine(kErrGeneric, u"The query " + Quoted(object) + u" in " + Quoted(conn.file()) +
                                 u" is not one SELECT statement.");
  }

  // Parameters by name: each one the caller sets must be in the query, and each one in the query set.
  const int count = sqlite3_bind_parameter_count(stmt.get());
  std::vector<bool> bound(count + 1, false);
  for (const auto& p : params) {
    const CString name = StripBrackets(p.name);
    const std::string wanted = AfxToUtf8(name);
    bool matched = false;
    for (int i = 1; i <= count; ++i) {
      const char* have = sqlite3_bind_parameter_name(stmt.get(), i);
      if (have == nullptr || *have != ':' || !SameName(have + 1, wanted)) continue;
      if (p.text != nullptr) {
        BindValue(stmt.get(), i, COleVariant(*p.text));
      } else if (p.short_value != nullptr) {
        sqlite3_bind_int(stmt.get(), i, *p.short_value);
      }
      bound[i] = matched = true;
    }
    if (!matched) {
      ThrowEngine(kErrItemNotFound, u"Item not found in this collection: the query " + Quoted(object) +
                                        u" has no parameter " + Quoted(name) + u".");
    }
  }
  for (int i = 1; i <= count; ++i) {
    if (bound[i]) continue;
    const char* have = sqlite3_bind_parameter_name(stmt.get(), i);
    const CString name = have != nullptr ? AfxFromUtf8(have[0] == ':' ? have + 1 : have)
                                         : u"?" + AfxFromUtf8(std::to_string(i));
    ThrowEngine(kErrItemNotFound, u"Item not found in this collection: the parameter " + Quoted(name) +
                                      u" of the query " + Quoted(object) + u" was not given.");
  }

  auto cursor = std::make_unique<QueryCursor>(conn, object, std::move(stmt));
  cursor->BindFields(fields);
  cursor->Start();
  return cursor;
}

std::unique_ptr<Cursor> SqliteConnection::OpenTable(const CString& table,
                                                    const std::vector<CDaoFieldExchange::Binding>& fields,
                                                    const CString& filter) const {
  const SqliteConnection& conn = *this;
  std::string realName;
  if (!conn.FindTable(AfxToUtf8(table), false, &realName)) {
    ThrowEngine(kErrObjectNotFound,
                u"Could not find table " + Quoted(table) + u" in " + Quoted(conn.file()) + u".");
  }
  auto cursor = std::make_unique<TableCursor>(conn, realName, AfxToUtf8(filter));
  cursor->BindFields(fields);
  cursor->MoveFirst();
  return cursor;
}

}  // namespace mivo::dao
