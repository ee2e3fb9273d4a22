// The PostgreSQL engine's cursors: a forward cursor over one SELECT, fetched whole, and a table-type
// cursor that scans a table in row-key order in batches and edits and appends rows.
#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/dao/pg_internal.h"

namespace mivo::dao {
namespace {

CString Quoted(const CString& s) { return u"'" + s + u"'"; }

// Rows a table-type cursor reads per round trip.
constexpr int kBatchRows = 256;

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

// A bound member takes a value: text as its text, a 16-bit member as its integer.
void Assign(const BoundField& f, const COleVariant& v) {
  if (f.text != nullptr) {
    *f.text = TextOf(v);
  } else {
    *f.short_value = static_cast<short>(v.vt() == VT_R8 || v.vt() == VT_R4    ? static_cast<long>(v.dblVal())
                                        : v.vt() == VT_I8 || v.vt() == VT_UI1 ? static_cast<long>(v.cyVal())
                                                                              : v.lVal());
  }
}

// ------------------------------------------------------------------------------------------------
// Query cursor

class PgQueryCursor final : public Cursor {
 public:
  PgQueryCursor(const PgConnection& conn, CString object, std::string sql,
                std::vector<std::optional<std::string>> params)
      : Cursor(conn, std::move(object)), conn_(conn), sql_(std::move(sql)), params_(std::move(params)) {}

  void Start() {
    if (!fresh_) res_ = conn_.Run(sql_, params_, object_, Access::kRead);
    fresh_ = false;
    row_ = 0;
    Position();
  }

  void MoveFirst() override {
    if (row_ == 0 && !eof_) return;  // already on the first row: nothing to re-run
    Start();
  }

  void MoveNext() override {
    if (eof_) ThrowEngine(kErrNoCurrentRecord, u"No current record: " + Quoted(object_) + u" is at its end.");
    ++row_;
    Position();
  }

  int FieldCount() const override { return res_ ? PQnfields(res_.get()) : 0; }
  CString FieldName(int index) const override { return AfxFromUtf8(PQfname(res_.get(), index)); }

  COleVariant GetFieldValue(int index) override {
    CheckIndex(index);
    if (bof_ || eof_) ThrowEngine(kErrNoCurrentRecord, u"No current record in " + Quoted(object_) + u".");
    return PgReadValue(res_.get(), row_, index);
  }

  int FindColumn(const std::string& utf8Name) const override {
    for (int i = 0; i < FieldCount(); ++i) {
      if (SameName(PQfname(res_.get(), i), utf8Name)) return i;
    }
    return -1;
  }

  // Runs the query to learn its columns; Start then positions on that result.
  void Describe() {
    res_ = conn_.Run(sql_, params_, object_, Access::kRead);
    fresh_ = true;
  }

 private:
  void Position() {
    const int rows = PQntuples(res_.get());
    eof_ = row_ >= rows;
    bof_ = rows == 0;
    if (eof_) return;
    for (const BoundField& f : fields_) Assign(f, PgReadValue(res_.get(), row_, f.column));
  }

  const PgConnection& conn_;
  std::string sql_;
  std::vector<std::optional<std::string>> params_;
  PgResult res_;
  bool fresh_ = false;  // res_ was just read and not yet positioned on
  int row_ = 0;
};

// ------------------------------------------------------------------------------------------------
// Table cursor

class PgTableCursor final : public RowTableCursor {
 public:
  PgTableCursor(const PgConnection& conn, std::string table, const std::string& filter)
      : RowTableCursor(conn, AfxFromUtf8(table)),
        conn_(conn),
        table_(std::move(table)),
        quoted_(QuoteIdent(table_)) {
    Describe(filter);
  }

  bool CanAppend() const override { return can_insert_; }
  bool CanUpdate() const override { return can_update_; }

  void AddNew() override {
    if (!CanAppend()) NotUpdatable();
    buffer_.assign(cols_.size(), COleVariant::Null());
    set_.assign(cols_.size(), false);
    std::string defaults;
    std::vector<int> evaluated;
    for (std::size_t i = 0; i < cols_.size(); ++i) {
      if (static_cast<int>(i) == key_col_ || cols_[i].default_sql.empty() ||
          cols_[i].default_sql.find("nextval(") != std::string::npos) {
        continue;
      }
      defaults += (defaults.empty() ? "SELECT " : ", ") + cols_[i].default_sql;
      evaluated.push_back(static_cast<int>(i));
    }
    if (!defaults.empty()) {
      PgResult res = conn_.Run(defaults, {}, object_, Access::kRead);
      for (std::size_t k = 0; k < evaluated.size(); ++k) {
        buffer_[evaluated[k]] =
            CoerceToKind(PgReadValue(res.get(), 0, static_cast<int>(k)), cols_[evaluated[k]].kind, CString());
      }
    }
    if (key_col_ >= 0 && !sequence_.empty()) {
      // The number the new row gets: the sequence's next, past every number the table holds already (rows
      // may have been inserted with numbers of their own), so that the sequence never hands it out again.
      const std::string seq = "'" + sequence_ + "'::regclass";
      PgResult res = conn_.Run("SELECT pg_catalog.setval(" + seq + ", greatest(pg_catalog.nextval(" + seq +
                                   "), (SELECT coalesce(max(" + QuoteIdent(cols_[key_col_].name) +
                                   "), 0) + 1 FROM " + quoted_ + ")))",
                               {}, object_, Access::kWrite);
      const std::int64_t next = std::atoll(PQgetvalue(res.get(), 0, 0));
      buffer_[key_col_] = next <= std::numeric_limits<std::int32_t>::max()
                              ? COleVariant::Long(static_cast<std::int32_t>(next))
                              : COleVariant::Double(static_cast<double>(next));
      set_[key_col_] = true;
    }
    mode_ = Mode::kAdd;
  }

  // The next row of the batch read last, else the next batch.
  void Next() override {
    if (next_ < batch_rows_) {
      Take(next_);
    } else {
      RowTableCursor::Next();
    }
  }

 private:
  void Describe(const std::string& filter) {
    const std::vector<std::optional<std::string>> table{quoted_};
    PgResult info = conn_.Run(
        "SELECT a.attname, a.atttypid, pg_catalog.pg_get_expr(d.adbin, d.adrelid), "
        "pg_catalog.pg_get_serial_sequence($1, a.attname), "
        "EXISTS (SELECT 1 FROM pg_catalog.pg_index i WHERE i.indrelid = a.attrelid AND i.indisprimary "
        "AND i.indnatts = 1 AND i.indkey[0] = a.attnum) "
        "FROM pg_catalog.pg_attribute a LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND "
        "d.adnum = a.attnum WHERE a.attrelid = $1::regclass AND a.attnum > 0 AND NOT a.attisdropped "
        "ORDER BY a.attnum",
        table, object_, Access::kRead);
    std::string hiddenKey;
    for (int r = 0; r < PQntuples(info.get()); ++r) {
      Column c;
      c.name = PQgetvalue(info.get(), r, 0);
      const unsigned oid = static_cast<unsigned>(std::strtoul(PQgetvalue(info.get(), r, 1), nullptr, 10));
      if (c.name == kPgRowKey && (oid == 20 || oid == 23)) {
        hiddenKey = c.name;
        continue;
      }
      c.wide_name = AfxFromUtf8(c.name);
      c.kind = PgKindOfType(oid);
      if (!PQgetisnull(info.get(), r, 2)) c.default_sql = PQgetvalue(info.get(), r, 2);
      const bool serialKey = !PQgetisnull(info.get(), r, 3) &&
                             std::string(PQgetvalue(info.get(), r, 4)) == "t" && (oid == 20 || oid == 23);
      if (serialKey && key_col_ < 0) {
        key_col_ = static_cast<int>(cols_.size());
        sequence_ = PQgetvalue(info.get(), r, 3);
      }
      cols_.push_back(std::move(c));
    }
    if (cols_.empty() && hiddenKey.empty()) {
      ThrowEngine(kErrObjectNotFound,
                  u"Could not find table " + Quoted(object_) + u" in " + Quoted(connection_.file()) + u".");
    }
    if (key_col_ >= 0) {
      key_name_ = QuoteIdent(cols_[key_col_].name);
    } else if (!hiddenKey.empty()) {
      key_name_ = QuoteIdent(hiddenKey);
    } else {
      ThrowEngine(kErrGeneric,
                  u"Table " + Quoted(object_) + u" in " + Quoted(connection_.file()) +
                      u" has no row key (a serial primary key or a column \"RowKey\") and cannot be "
                      u"opened as a table-type recordset.");
    }
    PgResult rights = conn_.Run(
        "SELECT pg_catalog.has_table_privilege($1, 'INSERT'), pg_catalog.has_table_privilege($1, 'UPDATE')",
        table, object_, Access::kRead);
    can_insert_ = !connection_.read_only() && std::string(PQgetvalue(rights.get(), 0, 0)) == "t";
    can_update_ = !connection_.read_only() && std::string(PQgetvalue(rights.get(), 0, 1)) == "t";
    select_ = "SELECT " + key_name_;
    for (const Column& c : cols_) select_ += ", " + QuoteIdent(c.name);
    select_ += " FROM " + quoted_ + " WHERE " + key_name_ + " >= $1::bigint" +
               (filter.empty() ? "" : " AND (" + filter + ")") + " ORDER BY " + key_name_ + " LIMIT " +
               std::to_string(kBatchRows);
  }

  // Positions on the first row whose row key is at least `from`, or past the end; reads the rows after it
  // into the batch.
  void SeekFrom(std::int64_t from) override {
    batch_ = conn_.Run(select_, {std::to_string(from)}, object_, Access::kRead);
    batch_rows_ = static_cast<std::size_t>(PQntuples(batch_.get()));
    on_row_ = batch_rows_ > 0;
    if (on_row_) Take(0);
  }

  // Makes row `index` of the batch current.
  void Take(std::size_t index) {
    const PGresult* res = batch_.get();
    const int r = static_cast<int>(index);
    key_ = std::atoll(PQgetvalue(res, r, 0));
    row_.resize(cols_.size());
    for (std::size_t i = 0; i < cols_.size(); ++i) row_[i] = PgReadValue(res, r, static_cast<int>(i) + 1);
    for (const BoundField& f : fields_) Assign(f, row_[f.column]);
    next_ = index + 1;
    on_row_ = true;
  }

  // The values of the set columns as parameters, with their names.
  std::vector<std::optional<std::string>> SetValues(std::vector<int>* bound) const {
    std::vector<std::optional<std::string>> values;
    for (std::size_t i = 0; i < cols_.size(); ++i) {
      if (!set_[i]) continue;
      bound->push_back(static_cast<int>(i));
      values.push_back(PgParamText(buffer_[i]));
    }
    return values;
  }

  void Insert() override {
    std::vector<int> bound;
    const auto values = SetValues(&bound);
    std::string names, params;
    for (std::size_t k = 0; k < bound.size(); ++k) {
      names += (k ? ", " : "") + QuoteIdent(cols_[bound[k]].name);
      params += (k ? ", $" : "$") + std::to_string(k + 1);
    }
    const std::string sql = bound.empty()
                                ? "INSERT INTO " + quoted_ + " DEFAULT VALUES"
                                : "INSERT INTO " + quoted_ + " (" + names + ") VALUES (" + params + ")";
    conn_.Run(sql, values, object_, Access::kWrite);
    next_ = batch_rows_;  // the rows after the current one are read afresh: the new one may be among them
  }

  void Change() override {
    std::vector<int> bound;
    auto values = SetValues(&bound);
    if (bound.empty()) return;
    std::string assignments;
    for (std::size_t k = 0; k < bound.size(); ++k) {
      assignments += (k ? ", " : "") + QuoteIdent(cols_[bound[k]].name) + " = $" + std::to_string(k + 1);
    }
    values.push_back(std::to_string(key_));
    PgResult res = conn_.Run("UPDATE " + quoted_ + " SET " + assignments + " WHERE " + key_name_ + " = $" +
                                 std::to_string(values.size()),
                             values, object_, Access::kWrite);
    if (std::atol(PQcmdTuples(res.get())) == 0) {
      ThrowEngine(kErrRecordDeleted, u"The record being edited in " + Quoted(object_) + u" was deleted.");
    }
    SeekFrom(KeyAfterEdit(key_col_));
  }

  const PgConnection& conn_;
  std::string table_;
  std::string quoted_;
  int key_col_ = -1;      // the visible serial primary key, or -1 (the row key is then hidden)
  std::string sequence_;  // its sequence
  std::string key_name_;  // the row key in SQL
  std::string select_;    // a batch from a row key on
  bool can_insert_ = false;
  bool can_update_ = false;
  PgResult batch_;
  std::size_t batch_rows_ = 0;
  std::size_t next_ = 0;  // the batch's row after the current one
};

}  // namespace

std::unique_ptr<Cursor> PgConnection::OpenQuery(const CString& source,
                                                const std::vector<CDaoFieldExchange::Binding>& fields,
                                                const std::vector<CDaoFieldExchange::Binding>& params,
                                                const CString& filter) const {
  std::string sql;
  CString object = source;
  if (IsBracketedName(source) || IsBareName(source)) {
    object = StripBrackets(source);
    const std::string name = AfxToUtf8(object);
    bool found = false;
    std::string queries;
    if (FindTable("StoredQueries", false, &queries)) {
      PgResult lookup = Run("SELECT \"SQL\" FROM " + QuoteIdent(queries) +
                                " WHERE lower(\"Name\") = lower($1) ORDER BY \"Name\" = $1 DESC LIMIT 1",
                            {name}, object, Access::kRead);
      if (PQntuples(lookup.get()) > 0) {
        sql = PQgetvalue(lookup.get(), 0, 0);
        found = true;
      }
    }
    std::string realName;
    if (!found && FindTable(name, true, &realName)) {
      // Every column but the hidden row key, in table order.
      PgResult cols = Run(
          "SELECT a.attname FROM pg_catalog.pg_attribute a WHERE a.attrelid = $1::regclass AND a.attnum > 0 "
          "AND NOT a.attisdropped ORDER BY a.attnum",
          {QuoteIdent(realName)}, object, Access::kRead);
      std::string list;
      bool hidden = false;
      for (int r = 0; r < PQntuples(cols.get()); ++r) {
        const std::string col = PQgetvalue(cols.get(), r, 0);
        if (col == kPgRowKey) {
          hidden = true;
          continue;
        }
        list += (list.empty() ? "" : ", ") + QuoteIdent(col);
      }
      sql = "SELECT " + (list.empty() ? std::string("*") : list) + " FROM " + QuoteIdent(realName);
      if (hidden) sql += " ORDER BY " + QuoteIdent(kPgRowKey);
      found = true;
    }
    if (!found) {
      ThrowEngine(kErrObjectNotFound,
                  u"Could not find table or query " + Quoted(object) + u" in " + Quoted(file()) + u".");
    }
  } else {
    sql = AfxToUtf8(source);
  }
  sql = FilteredSql(std::move(sql), filter);

  const PgSql parsed = TranslatePgSql(sql);
  const bool select = parsed.first_word == "SELECT" || parsed.first_word == "WITH" ||
                      parsed.first_word == "VALUES" || parsed.first_word == "TABLE";
  if (!parsed.one_statement || !select || parsed.writes) {
    ThrowEngine(kErrGeneric,
                u"The query " + Quoted(object) + u" in " + Quoted(file()) + u" is not one SELECT statement.");
  }

  // Parameters by name: each one the caller sets must be in the query, and each one in the query set.
  std::vector<std::optional<std::string>> values(parsed.names.size());
  std::vector<bool> bound(parsed.names.size(), false);
  for (const auto& p : params) {
    const CString name = StripBrackets(p.name);
    const std::string wanted = AfxToUtf8(name);
    bool matched = false;
    for (std::size_t i = 0; i < parsed.names.size(); ++i) {
      if (!SameName(parsed.names[i].c_str(), wanted)) continue;
      if (p.text != nullptr) {
        values[i] = AfxToUtf8(*p.text);
      } else if (p.short_value != nullptr) {
        values[i] = std::to_string(*p.short_value);
      }
      bound[i] = matched = true;
    }
    if (!matched) {
      ThrowEngine(kErrItemNotFound, u"Item not found in this collection: the query " + Quoted(object) +
                                        u" has no parameter " + Quoted(name) + u".");
    }
  }
  for (std::size_t i = 0; i < parsed.names.size(); ++i) {
    if (bound[i]) continue;
    ThrowEngine(kErrItemNotFound, u"Item not found in this collection: the parameter " +
                                      Quoted(AfxFromUtf8(parsed.names[i])) + u" of the query " +
                                      Quoted(object) + u" was not given.");
  }

  auto cursor = std::make_unique<PgQueryCursor>(*this, object, parsed.text, std::move(values));
  cursor->Describe();
  cursor->BindFields(fields);
  cursor->Start();
  return cursor;
}

std::unique_ptr<Cursor> PgConnection::OpenTable(const CString& table,
                                                const std::vector<CDaoFieldExchange::Binding>& fields,
                                                const CString& filter) const {
  std::string realName;
  if (!FindTable(AfxToUtf8(table), false, &realName)) {
    ThrowEngine(kErrObjectNotFound,
                u"Could not find table " + Quoted(table) + u" in " + Quoted(file()) + u".");
  }
  auto cursor = std::make_unique<PgTableCursor>(*this, realName, AfxToUtf8(filter));
  cursor->BindFields(fields);
  cursor->MoveFirst();
  return cursor;
}

}  // namespace mivo::dao
