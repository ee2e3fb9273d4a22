// mivoctl db convert: an Access database (Jet 3, Jet 4, ACE) into an SQLite database, or the tables of an
// empty PostgreSQL database, that the server reads.
#include "tools/mivoctl/db_convert.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "platform/dao/afxdao.h"
#include "platform/mdb/mdbfile.h"
#include "tools/mivoctl/access_query.h"
#include "tools/mivoctl/access_values.h"
#include "tools/mivoctl/mivoctl.h"

namespace mivoctl {
namespace {

namespace mdb = mivo::mdb;

constexpr const char* kConvertUsage =
    "Usage: mivoctl db convert ACCESS_FILE SQLITE_FILE|URI [--force] [--strict] [--quiet]\n"
    "Converts an Access database (.mdb of Access 97 to 2003, .accdb of Access 2007 and later) into a new\n"
    "SQLite database that the server reads: every user table with its columns, types, NULLs,\n"
    "AutoNumber columns, primary key and indexes, and every row; attachments go into the table\n"
    "_Attachments. The saved query OfferKeyStrings is rebuilt into StoredQueries; where the file has none\n"
    "or it cannot be rebuilt faithfully, the standard query is written and a warning says so. Other saved\n"
    "queries are named in a warning and not converted. The standard tables get the standard indexes\n"
    "('mivoctl db index --help'). docs/access.md has the type mapping.\n"
    "\n"
    "The database is written into a temporary file beside SQLITE_FILE, its row counts are checked, and it\n"
    "is renamed to SQLITE_FILE at the end; a failed conversion leaves nothing behind.\n"
    "A PostgreSQL URI (postgresql://... or postgres://...) names an existing database without the tables\n"
    "of the Access file and without StoredQueries; everything is written in one transaction. The types\n"
    "become PostgreSQL's (CURRENCY numeric(19,4), BYTE smallint, DATETIME timestamp, MEMO text, OLEOBJECT\n"
    "bytea, ...), an AutoNumber key serial, and a table without one gets the hidden row key \"RowKey\".\n"
    "Its OfferKeyStrings is the standard one of PostgreSQL, and the standard tables get the triggers that\n"
    "tell the servers of their changes (docs/postgresql.md).\n"
    "\n"
    "Options:\n"
    "  --force      replace SQLITE_FILE when it exists (refused otherwise; not for a URI)\n"
    "  --strict     treat every warning as an error (exit code 1, no output file)\n"
    "  --quiet      no progress on stderr (a bar on a terminal, plain lines otherwise)\n"
    "  -h, --help   this text\n";

constexpr const char* kAttachmentsTable = "_Attachments";

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Removes a temporary database (and its journal) unless released.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile() {
    if (!path_.empty()) {
      std::error_code ec;
      std::filesystem::remove(path_, ec);
      std::filesystem::remove(path_ + "-journal", ec);
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

// Progress on stderr: a bar on a terminal, a line per table otherwise.
class Progress {
 public:
  Progress(bool quiet, std::uint64_t total)
      : quiet_(quiet), tty_(::isatty(STDERR_FILENO) == 1), total_(std::max<std::uint64_t>(total, 1)) {}
  void Table(const std::string& name, std::uint64_t rows) {
    if (quiet_) return;
    table_ = name;
    if (!tty_) std::cerr << "mivoctl: converting table '" << name << "' (" << rows << " rows)\n";
  }
  void Row() {
    ++done_;
    if (quiet_ || !tty_ || (done_ % 256 != 0 && done_ != total_)) return;
    Draw();
  }
  void Done() {
    if (quiet_ || !tty_) return;
    done_ = total_;
    Draw();
    std::cerr << "\n";
  }

 private:
  void Draw() {
    const int width = 30;
    const auto filled = static_cast<int>(std::min<std::uint64_t>(done_, total_) * width / total_);
    std::cerr << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
              << std::string(static_cast<std::size_t>(width - filled), ' ') << "] "
              << std::min<std::uint64_t>(done_, total_) * 100 / total_ << "% " << table_ << "\x1b[K"
              << std::flush;
  }
  bool quiet_, tty_;
  std::uint64_t total_, done_ = 0;
  std::string table_;
};

struct Context {
  const mdb::AccessFile* file = nullptr;
  const ConvertOptions* options = nullptr;
  ConvertSummary* summary = nullptr;

  void Warning(const std::string& text) {
    if (options->strict) Refuse(text + " (--strict)");
    Warn("warning: " + text);
    summary->warnings.push_back(text);
  }
};

// The attachment column of a table: the hidden table that holds its files.
struct ComplexColumn {
  std::string flatTable;
  bool attachment = false;
};

// How a column is stored: its declared type and the value written for a cell.
struct ColumnPlan {
  std::string declared;
  bool calculated = false;
};

std::string DeclaredType(const mdb::Column& c, bool jet3) {
  switch (c.type) {
    case mdb::kBool:
      return "BOOLEAN";
    case mdb::kByte:
      return "BYTE";
    case mdb::kInt:
      return "SMALLINT";
    case mdb::kLong:
      return c.auto_number ? "COUNTER" : "INTEGER";
    case mdb::kBigInt:
      return "BIGINT";
    case mdb::kMoney:
      return "CURRENCY";
    case mdb::kFloat:
      return "SINGLE";
    case mdb::kDouble:
      return "DOUBLE";
    case mdb::kDateTime:
      return "DATETIME";
    case mdb::kDateTimeExtended:
      return "DATETIME2(7)";
    case mdb::kText:
      return "VARCHAR(" + std::to_string(jet3 ? c.size : c.size / 2) + ")";
    case mdb::kMemo:
      return "MEMO";
    case mdb::kBinary:
      return "VARBINARY(" + std::to_string(c.size) + ")";
    case mdb::kOle:
      return "OLEOBJECT";
    case mdb::kGuid:
      return "GUID";
    case mdb::kNumeric:
      return "DECIMAL(" + std::to_string(c.precision) + "," + std::to_string(c.scale) + ")";
    case mdb::kComplex:
      return "INTEGER";
    default:
      return "";
  }
}

int DecimalScale(const mdb::Column& c) { return c.scale; }

// The value stored for one cell (its raw bytes already unwrapped for a calculated column).
COleVariant ValueOf(const mdb::Column& c, std::string_view bytes, bool jet3, unsigned codePage, bool* bad) {
  namespace av = access;
  *bad = false;
  auto fail = [&] {
    *bad = true;
    return COleVariant::Null();
  };
  switch (c.type) {
    case mdb::kBool:
      return COleVariant::Long(!bytes.empty() && bytes[0] != 0 ? 1 : 0);
    case mdb::kByte:
    case mdb::kInt:
    case mdb::kLong:
    case mdb::kComplex: {
      const std::size_t size = c.type == mdb::kByte ? 1 : c.type == mdb::kInt ? 2 : 4;
      const auto v = av::DecodeInteger(bytes, size);
      if (!v) return fail();
      return COleVariant::Long(static_cast<std::int32_t>(*v));
    }
    case mdb::kBigInt:
    case mdb::kMoney: {
      const auto v = av::DecodeInteger(bytes, 8);
      return v ? COleVariant::LongLong(*v) : fail();
    }
    case mdb::kFloat: {
      const auto v = av::DecodeSingle(bytes);
      return v ? COleVariant::Double(*v) : fail();
    }
    case mdb::kDouble: {
      const auto v = av::DecodeDouble(bytes);
      return v ? COleVariant::Double(*v) : fail();
    }
    case mdb::kDateTime: {
      if (auto text = av::DecodeDateTime(bytes)) return COleVariant(AfxFromUtf8(*text));
      const auto v = av::DecodeDouble(bytes);
      return v ? COleVariant::Double(*v) : fail();
    }
    case mdb::kDateTimeExtended: {
      if (auto text = av::DecodeDateTimeExtended(bytes)) return COleVariant(AfxFromUtf8(*text));
      return fail();
    }
    case mdb::kText:
    case mdb::kMemo:
      return COleVariant(av::DecodeText(bytes, jet3, codePage));
    case mdb::kBinary:
    case mdb::kOle:
      return COleVariant::Binary(std::string(bytes));
    case mdb::kGuid: {
      const auto v = av::DecodeGuid(bytes);
      return v ? COleVariant(AfxFromUtf8(*v)) : fail();
    }
    case mdb::kNumeric: {
      const auto text = av::DecodeNumeric(bytes, DecimalScale(c));
      if (!text) return fail();
      // As an integer scaled by 10^scale where it fits 64 bits, else its exact text as a BLOB.
      std::string digits;
      for (char ch : *text) {
        if (ch != '.') digits += ch;
      }
      try {
        std::size_t used = 0;
        const long long v = std::stoll(digits, &used);
        if (used == digits.size()) return COleVariant::LongLong(v);
      } catch (const std::exception&) {
      }
      return COleVariant::Binary(*text);
    }
    default:
      return COleVariant::Binary(std::string(bytes));
  }
}

// Reads MSysComplexColumns: the attachment (and multi-value) columns of each table by table id.
std::map<std::pair<std::uint32_t, std::string>, ComplexColumn> ReadComplexColumns(
    const mdb::AccessFile& file) {
  std::map<std::pair<std::uint32_t, std::string>, ComplexColumn> out;
  std::map<std::uint32_t, std::string> byId;
  for (const auto& e : file.AllTables()) byId[e.id] = e.name;
  std::string error;
  auto table = file.OpenTable("MSysComplexColumns", &error);
  if (!table) return out;
  int colName = -1, colType = -1, colFlat = -1, colConcept = -1;
  for (std::size_t i = 0; i < table->columns().size(); ++i) {
    const std::string& n = table->columns()[i].name;
    if (n == "ColumnName") colName = static_cast<int>(i);
    if (n == "ComplexTypeObjectID") colType = static_cast<int>(i);
    if (n == "FlatTableID") colFlat = static_cast<int>(i);
    if (n == "ConceptualTableID") colConcept = static_cast<int>(i);
  }
  if (colName < 0 || colType < 0 || colFlat < 0 || colConcept < 0) return out;
  std::vector<mdb::Cell> row;
  while (table->Next(&row)) {
    if (row[colName].null || row[colType].null || row[colFlat].null || row[colConcept].null) continue;
    const auto type = access::DecodeInteger(row[colType].bytes, 4);
    const auto flat = access::DecodeInteger(row[colFlat].bytes, 4);
    const auto owner = access::DecodeInteger(row[colConcept].bytes, 4);
    if (!type || !flat || !owner) continue;
    ComplexColumn c;
    c.flatTable = byId[static_cast<std::uint32_t>(*flat)];
    c.attachment = byId[static_cast<std::uint32_t>(*type)] == "MSysComplexType_Attachment";
    out[{static_cast<std::uint32_t>(*owner), AfxToUtf8(access::DecodeText(row[colName].bytes, false, 0))}] =
        c;
  }
  return out;
}

// Reads MSysQueries, grouped by query.
std::vector<access::SavedQuery> ReadQueries(const mdb::AccessFile& file) {
  std::vector<access::SavedQuery> out;
  std::map<std::uint32_t, std::size_t> index;
  for (const auto& q : file.Queries()) {
    index[q.id] = out.size();
    out.push_back({q.name, {}});
  }
  std::string error;
  auto table = file.OpenTable("MSysQueries", &error);
  if (!table) return out;
  std::map<std::string, int> col;
  for (std::size_t i = 0; i < table->columns().size(); ++i)
    col[table->columns()[i].name] = static_cast<int>(i);
  for (const char* needed : {"Attribute", "ObjectId", "Order", "Flag", "Name1", "Name2", "Expression"}) {
    if (col.count(needed) == 0) return out;
  }
  const bool jet3 = file.jet3();
  auto text = [&](const mdb::Cell& c) -> std::optional<std::string> {
    if (c.null) return std::nullopt;
    return AfxToUtf8(access::DecodeText(c.bytes, jet3, static_cast<unsigned>(file.code_page())));
  };
  std::vector<mdb::Cell> row;
  while (table->Next(&row)) {
    const auto id = access::DecodeInteger(row[col["ObjectId"]].bytes, 4);
    if (!id) continue;
    auto it = index.find(static_cast<std::uint32_t>(*id) & 0xffffffu);
    if (it == index.end()) continue;
    access::QueryRow r;
    r.attribute = static_cast<int>(access::DecodeInteger(row[col["Attribute"]].bytes, 1).value_or(-1));
    const std::string& order = row[col["Order"]].bytes;
    for (unsigned char b : order) r.order = r.order << 8 | b;  // big-endian
    if (auto f = access::DecodeInteger(row[col["Flag"]].bytes, 2)) r.flag = static_cast<int>(*f);
    r.name1 = text(row[col["Name1"]]);
    r.name2 = text(row[col["Name2"]]);
    r.expression = text(row[col["Expression"]]);
    out[it->second].rows.push_back(r);
  }
  return out;
}

// The PostgreSQL type of an Access column, the counterpart of DeclaredType's (empty for an unknown type).
std::string PgDeclaredType(const mdb::Column& c, bool jet3) {
  switch (c.type) {
    case mdb::kBool:
      return "boolean";
    case mdb::kByte:
    case mdb::kInt:
      return "smallint";
    case mdb::kLong:
    case mdb::kComplex:
      return "integer";
    case mdb::kBigInt:
      return "bigint";
    case mdb::kMoney:
      return "numeric(19,4)";
    case mdb::kFloat:
      return "real";
    case mdb::kDouble:
      return "double precision";
    case mdb::kDateTime:
      return "timestamp";
    case mdb::kText:
      return "varchar(" + std::to_string(jet3 ? c.size : c.size / 2) + ")";
    case mdb::kMemo:
    case mdb::kGuid:
    case mdb::kDateTimeExtended:
      return "text";
    case mdb::kBinary:
    case mdb::kOle:
      return "bytea";
    case mdb::kNumeric:
      return "numeric(" + std::to_string(c.precision) + "," + std::to_string(c.scale) + ")";
    default:
      return "";
  }
}

void CheckTarget(const std::string& target, bool force) {
  if (mivo::dao::EngineOfName(target) == mivo::dao::Engine::kPostgres) {
    if (force) Refuse("--force cannot replace the PostgreSQL database '" + target + "'; give an empty one");
    return;
  }
  std::error_code ec;
  const auto status = std::filesystem::status(target, ec);
  if (std::filesystem::exists(status)) {
    if (!force) Refuse("'" + target + "' exists; give --force to replace it");
    if (!std::filesystem::is_regular_file(status)) Refuse("'" + target + "' is not a file");
  }
}

}  // namespace

bool LooksLikeAccess(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char header[20] = {};
  if (!in.read(header, sizeof header)) return false;
  return header[0] == 0 && header[1] == 1 && header[2] == 0 && header[3] == 0 &&
         (std::string(header + 4, 15) == "Standard Jet DB" ||
          std::string(header + 4, 15) == "Standard ACE DB");
}

ConvertSummary ConvertAccess(const std::string& access, const std::string& target,
                             const ConvertOptions& options) {
  const auto started = std::chrono::steady_clock::now();
  ConvertSummary summary;
  mdb::OpenError openError;
  const auto file = mdb::AccessFile::Open(access, &openError);
  if (!file) Refuse(openError.message);
  CheckTarget(target, options.force);
  summary.format = file->format();
  Context ctx{file.get(), &options, &summary};
  const bool jet3 = file->jet3();
  const auto codePage = static_cast<unsigned>(file->code_page());

  if (file->has_password()) {
    ctx.Warning("'" + access +
                "' has a database password; it does not encrypt the data, which was converted");
  }

  // Open every user table first: a damaged definition fails before anything is written.
  std::vector<std::unique_ptr<mdb::Table>> tables;
  std::map<std::string, std::uint32_t> tableIds;
  for (const auto& e : file->AllTables()) tableIds[e.name] = e.id;
  std::uint64_t total = 0;
  std::set<std::string> allColumns, tableNames;
  for (const std::string& name : file->UserTables()) {
    std::string error;
    auto t = file->OpenTable(name, &error);
    if (!t) Refuse("'" + access + "': " + error);
    const std::string lower = Lower(name);
    if (lower == "storedqueries" || lower == Lower(kAttachmentsTable)) {
      Refuse("'" + access + "' has a table '" + name + "', a name the converted database uses itself");
    }
    total += t->row_count_header();
    for (const auto& c : t->columns()) allColumns.insert(c.name);
    tableNames.insert(lower);
    tables.push_back(std::move(t));
  }
  const auto complex = ReadComplexColumns(*file);

  // The target folder, beside which the temporary file is written. A PostgreSQL database is written in
  // place, in one transaction.
  const bool pg = mivo::dao::EngineOfName(target) == mivo::dao::Engine::kPostgres;
  std::filesystem::path targetPath(target);
  const std::string temp =
      pg ? target
         : (targetPath.has_parent_path() ? targetPath.parent_path().string() + "/" : std::string()) + "." +
               targetPath.filename().string() + ".converting-" + std::to_string(::getpid());
  if (!pg) {
    std::error_code ec;
    std::filesystem::remove(temp, ec);
    std::filesystem::remove(temp + "-journal", ec);
    try {
      mivo::dao::CreateEmptyDatabase(temp);
    } catch (const CDaoException& e) {
      Refuse(AfxToUtf8(e.Message()));
    }
  }
  TempFile guard(pg ? std::string() : temp);

  Progress progress(options.quiet, total);
  try {
    CDaoWorkspace workspace;
    workspace.Open();
    CDaoDatabase db(nullptr);
    db.Open(AfxFromUtf8(temp).c_str());
    workspace.BeginTrans();
    if (pg) {
      db.Execute(
          u"CREATE TABLE \"StoredQueries\" (\"Name\" text PRIMARY KEY, \"SQL\" text NOT NULL, \"RowKey\" "
          u"bigserial NOT NULL UNIQUE)");
    }

    struct Attachment {
      std::string table, column, flatTable;
    };
    std::vector<Attachment> attachments;
    std::map<std::string, std::uint64_t> written;

    for (const auto& t : tables) {
      const auto& cols = t->columns();
      // The primary key: an AutoNumber alone becomes INTEGER PRIMARY KEY AUTOINCREMENT.
      const mdb::Index* primary = nullptr;
      for (const auto& idx : t->indexes()) {
        if (idx.primary) primary = &idx;
      }
      int rowidColumn = -1;
      if (primary != nullptr && primary->columns.size() == 1) {
        const mdb::Column& c = cols[static_cast<std::size_t>(primary->columns[0])];
        if (c.type == mdb::kLong && c.auto_number) rowidColumn = primary->columns[0];
      }
      std::string ddl = "CREATE TABLE " + access::QuoteIdentifier(t->name()) + " (";
      std::string insert = "INSERT INTO " + access::QuoteIdentifier(t->name()) + " (", values;
      for (std::size_t i = 0; i < cols.size(); ++i) {
        const mdb::Column& c = cols[i];
        std::string declared = pg ? PgDeclaredType(c, jet3) : DeclaredType(c, jet3);
        if (declared.empty()) {
          ctx.Warning("table '" + t->name() + "', column '" + c.name + "': Access type " +
                      std::to_string(c.type) + " is not known; its bytes were stored as they are");
          declared = pg ? "bytea" : "VARBINARY";
        }
        if (static_cast<int>(i) == rowidColumn) {
          declared = pg ? "serial PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT";
        }
        if (c.required && static_cast<int>(i) != rowidColumn) declared += " NOT NULL";
        ddl += (i ? ", " : "") + access::QuoteIdentifier(c.name) + " " + declared;
        insert += (i ? ", " : "") + access::QuoteIdentifier(c.name);
        values += (i ? ", :c" : ":c") + std::to_string(i);
        if (c.type == mdb::kComplex) {
          auto it = complex.find({tableIds[t->name()], c.name});
          if (it == complex.end() || !it->second.attachment) {
            ctx.Warning("table '" + t->name() + "', column '" + c.name +
                        "': a multi-valued column; only its value ids were converted");
          } else {
            attachments.push_back({t->name(), c.name, it->second.flatTable});
          }
        }
      }
      if (primary != nullptr && rowidColumn < 0) {
        ddl += ", PRIMARY KEY (";
        for (std::size_t k = 0; k < primary->columns.size(); ++k) {
          ddl += (k ? ", " : "") +
                 access::QuoteIdentifier(cols[static_cast<std::size_t>(primary->columns[k])].name);
        }
        ddl += ")";
      }
      if (pg && rowidColumn < 0) {
        ddl +=
            std::string(", \"RowKey\" bigserial ") + (primary != nullptr ? "NOT NULL UNIQUE" : "PRIMARY KEY");
      }
      ddl += ")";
      db.Execute(AfxFromUtf8(ddl).c_str());
      CDaoQueryDef insertRow(&db);
      insertRow.Create(nullptr, AfxFromUtf8(insert + ") VALUES (" + values + ")").c_str());
      std::vector<CString> params;
      for (std::size_t i = 0; i < cols.size(); ++i) params.push_back(AfxFromUtf8("c" + std::to_string(i)));

      progress.Table(t->name(), t->row_count_header());
      std::vector<mdb::Cell> row;
      std::uint64_t rows = 0;
      std::set<std::string> reported;
      while (t->Next(&row)) {
        for (std::size_t i = 0; i < cols.size(); ++i) {
          const mdb::Column& c = cols[i];
          COleVariant value = COleVariant::Null();
          if (!row[i].null) {
            std::string_view bytes = row[i].bytes;
            bool bad = false;
            bool empty = false;
            if (c.calculated) {
              // A calculated column stores its result; an empty result is NULL.
              if (auto inner = access::UnwrapCalculated(bytes)) {
                bytes = *inner;
                empty = bytes.empty() && c.type != mdb::kText && c.type != mdb::kMemo;
              } else {
                bad = true;
              }
            }
            if (!bad && !empty) value = ValueOf(c, bytes, jet3, codePage, &bad);
            if (bad && reported.insert(c.name).second) {
              ctx.Warning("table '" + t->name() + "', column '" + c.name +
                          "': a value that cannot be decoded was stored as NULL");
            }
          }
          insertRow.SetParamValue(params[i].c_str(), value);
        }
        insertRow.Execute();
        ++rows;
        progress.Row();
      }
      if (!t->error().empty()) Refuse("'" + access + "': " + t->error());
      if (rows != t->row_count_header()) {
        Refuse("'" + access + "': table '" + t->name() + "': " + std::to_string(rows) +
               " rows read, its definition counts " + std::to_string(t->row_count_header()) +
               " (truncated or damaged; Access's Compact and Repair may mend it); nothing written");
      }
      if (pg && rowidColumn >= 0) {
        // The rows kept their own numbers: the sequence goes on after the largest.
        const std::string table = access::QuoteIdentifier(t->name());
        const std::string column = access::QuoteIdentifier(cols[static_cast<std::size_t>(rowidColumn)].name);
        auto literal = [](const std::string& text) {
          std::string out = "'";
          for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
          return out + "'";
        };
        CDaoRecordset moved(&db);
        moved.Open(dbOpenSnapshot,
                   AfxFromUtf8("SELECT setval(pg_get_serial_sequence(" + literal(table) + ", " +
                               literal(cols[static_cast<std::size_t>(rowidColumn)].name) +
                               "), coalesce(max(" + column + "), 0) + 1, false) FROM " + table)
                       .c_str());
      }
      written[t->name()] = rows;
      summary.rows += rows;
      ++summary.tables;

      for (const auto& idx : t->indexes()) {
        if (idx.primary) continue;
        std::string sql = std::string("CREATE ") + (idx.unique ? "UNIQUE " : "") + "INDEX " +
                          access::QuoteIdentifier(t->name() + "_" + idx.name) + " ON " +
                          access::QuoteIdentifier(t->name()) + " (";
        for (std::size_t k = 0; k < idx.columns.size(); ++k) {
          sql += (k ? ", " : "") +
                 access::QuoteIdentifier(cols[static_cast<std::size_t>(idx.columns[k])].name) +
                 (idx.descending[k] ? " DESC" : "");
        }
        db.Execute(AfxFromUtf8(sql + ")").c_str());
      }
    }

    // Attachments: one row per file, tied to its row by the column's value.
    if (!attachments.empty()) {
      db.Execute(
          AfxFromUtf8(
              pg ? std::string("CREATE TABLE \"") + kAttachmentsTable +
                       "\" (\"Id\" serial PRIMARY KEY, \"TableName\" varchar(64) NOT NULL, "
                       "\"ColumnName\" varchar(64) NOT NULL, \"ComplexId\" integer NOT NULL, \"FileName\" "
                       "varchar(255), \"FileType\" varchar(255), \"FileTimeStamp\" timestamp, "
                       "\"FileFlags\" integer, \"FileURL\" text, \"FileData\" bytea); CREATE INDEX "
                       "\"_AttachmentsByRow\" ON \"_Attachments\" (\"TableName\", \"ColumnName\", "
                       "\"ComplexId\")"
                 : std::string("CREATE TABLE ") + kAttachmentsTable +
                       " (Id INTEGER PRIMARY KEY AUTOINCREMENT, TableName VARCHAR(64) NOT NULL, "
                       "ColumnName VARCHAR(64) NOT NULL, ComplexId INTEGER NOT NULL, FileName "
                       "VARCHAR(255), FileType VARCHAR(255), FileTimeStamp DATETIME, FileFlags INTEGER, "
                       "FileURL MEMO, FileData OLEOBJECT); CREATE INDEX _AttachmentsByRow ON "
                       "_Attachments (TableName, ColumnName, ComplexId)")
              .c_str());
      CDaoQueryDef insertFile(&db);
      insertFile.Create(
          nullptr,
          u"INSERT INTO \"_Attachments\" (\"TableName\", \"ColumnName\", \"ComplexId\", \"FileName\", "
          u"\"FileType\", \"FileTimeStamp\", \"FileFlags\", \"FileURL\", \"FileData\") VALUES (:t, :c, :id, "
          u":name, :type, :stamp, :flags, :url, :data)");
      for (const Attachment& a : attachments) {
        std::string error;
        auto flat = file->OpenTable(a.flatTable, &error);
        if (!flat) Refuse("'" + access + "': the attachments of column '" + a.column + "': " + error);
        std::map<std::string, int> col;
        int key = -1;
        for (std::size_t i = 0; i < flat->columns().size(); ++i) {
          const mdb::Column& c = flat->columns()[i];
          col[c.name] = static_cast<int>(i);
          if (c.name.rfind("File", 0) != 0 && !c.auto_number && c.type == mdb::kLong)
            key = static_cast<int>(i);
        }
        if (key < 0 || col.count("FileData") == 0 || col.count("FileName") == 0) {
          Refuse("'" + access + "': the attachments of column '" + a.column +
                 "' are in a table of unknown layout");
        }
        std::vector<mdb::Cell> row;
        while (flat->Next(&row)) {
          auto cell = [&](const char* name) -> const mdb::Cell* {
            auto it = col.find(name);
            return it == col.end() || row[static_cast<std::size_t>(it->second)].null
                       ? nullptr
                       : &row[static_cast<std::size_t>(it->second)];
          };
          const auto id = access::DecodeInteger(row[static_cast<std::size_t>(key)].bytes, 4);
          if (row[static_cast<std::size_t>(key)].null || !id) continue;
          auto text = [&](const char* name) {
            const mdb::Cell* c = cell(name);
            return c ? COleVariant(access::DecodeText(c->bytes, jet3, codePage)) : COleVariant::Null();
          };
          COleVariant data = COleVariant::Null();
          if (const mdb::Cell* c = cell("FileData")) {
            auto bytes = access::DecodeAttachmentData(c->bytes);
            if (!bytes) Refuse("'" + access + "': an attachment of column '" + a.column + "' is damaged");
            data = COleVariant::Binary(*bytes);
          }
          COleVariant stamp = COleVariant::Null();
          if (const mdb::Cell* c = cell("FileTimeStamp")) {
            if (auto d = access::DecodeDateTime(c->bytes)) stamp = COleVariant(AfxFromUtf8(*d));
          }
          COleVariant flags = COleVariant::Null();
          if (const mdb::Cell* c = cell("FileFlags")) {
            if (auto f = access::DecodeInteger(c->bytes, 4))
              flags = COleVariant::Long(static_cast<std::int32_t>(*f));
          }
          insertFile.SetParamValue(u"t", COleVariant(AfxFromUtf8(a.table)));
          insertFile.SetParamValue(u"c", COleVariant(AfxFromUtf8(a.column)));
          insertFile.SetParamValue(u"id", COleVariant::Long(static_cast<std::int32_t>(*id)));
          insertFile.SetParamValue(u"name", text("FileName"));
          insertFile.SetParamValue(u"type", text("FileType"));
          insertFile.SetParamValue(u"stamp", stamp);
          insertFile.SetParamValue(u"flags", flags);
          insertFile.SetParamValue(u"url", text("FileURL"));
          insertFile.SetParamValue(u"data", data);
          insertFile.Execute();
        }
        if (!flat->error().empty()) Refuse("'" + access + "': " + flat->error());
      }
    }

    // Saved queries.
    const auto queries = ReadQueries(*file);
    const mivo::dao::Engine engine = mivo::dao::EngineOfName(target);
    std::string offerSql = mivo::dao::StandardOfferKeyStringsSql(engine);
    std::vector<std::string> others;
    bool found = false;
    for (const auto& q : queries) {
      if (Lower(q.name) != "offerkeystrings") {
        others.push_back(q.name + " (" + access::QueryType(q) + ")");
        continue;
      }
      found = true;
      if (pg) continue;  // the rebuilt query is SQLite's dialect: PostgreSQL gets the standard one
      const auto rebuilt = access::RebuildOfferKeyStrings(q, allColumns);
      bool valid = rebuilt.ok;
      std::string why = rebuilt.why;
      if (valid) {
        // It must run on the converted tables.
        try {
          CDaoQueryDef check(&db);
          check.Create(nullptr, AfxFromUtf8(rebuilt.sql).c_str());
        } catch (const CDaoException& e) {
          valid = false;
          why = AfxToUtf8(e.Message());
        }
      }
      if (valid) {
        offerSql = rebuilt.sql;
      } else {
        ctx.Warning("the saved query '" + q.name + "' cannot be rebuilt faithfully (" + why +
                    "); the standard OfferKeyStrings was written");
      }
    }
    if (!found)
      ctx.Warning("'" + access + "' has no saved query OfferKeyStrings; the standard one was written");
    if (!others.empty()) {
      std::string list;
      for (const auto& o : others) list += (list.empty() ? "" : ", ") + o;
      ctx.Warning("saved queries not converted: " + list);
    }
    {
      CDaoQueryDef store(&db);
      store.Create(nullptr,
                   u"INSERT INTO \"StoredQueries\" (\"Name\", \"SQL\") VALUES ('OfferKeyStrings', :sql)");
      store.SetParamValue(u"sql", COleVariant(AfxFromUtf8(offerSql)));
      store.Execute();
    }
    if (tableNames.count("items") == 0 || tableNames.count("messages") == 0 ||
        tableNames.count("languages") == 0) {
      ctx.Warning(
          "'" + access +
          "' lacks the standard tables Items, Messages and Languages: its tables were converted as they "
          "are, and the server will not find texts in them");
    } else {
      // The standard indexes, as `mivoctl db create` and `mivoctl db index` make them.
      try {
        db.Execute(AfxFromUtf8(mivo::dao::StandardIndexesSql(engine)).c_str());
      } catch (const CDaoException& e) {
        ctx.Warning("the standard indexes were not made (" + AfxToUtf8(e.Message()) +
                    "); the server works without them, more slowly");
      }
      // The change triggers of a shared database, as `mivoctl db create` makes them.
      std::vector<std::string> names = {"StoredQueries"};
      for (const auto& t : tables) names.push_back(t->name());
      const std::string notify = mivo::dao::ChangeNotificationsSql(engine, names);
      try {
        if (!notify.empty()) db.Execute(AfxFromUtf8(notify).c_str());
      } catch (const CDaoException& e) {
        ctx.Warning("the change triggers were not made (" + AfxToUtf8(e.Message()) +
                    "); servers see its changes only after a refresh or a restart");
      }
    }

    // The check: every table holds the rows read.
    for (const auto& [name, rows] : written) {
      CDaoRecordset rs(&db);
      rs.Open(dbOpenSnapshot, AfxFromUtf8("SELECT count(*) FROM " + access::QuoteIdentifier(name)).c_str());
      const COleVariant n = rs.GetFieldValue(0);
      const std::int64_t count = n.vt() == VT_I4 ? n.lVal() : static_cast<std::int64_t>(n.dblVal());
      if (count < 0 || static_cast<std::uint64_t>(count) != rows) {
        Refuse("table '" + name + "' holds " + std::to_string(count) + " rows after conversion, " +
               std::to_string(rows) + " were read; nothing written");
      }
    }
    workspace.CommitTrans();
    db.Close();
  } catch (const CDaoException& e) {
    Refuse(AfxToUtf8(e.Message()) + "; nothing written");
  }
  progress.Done();

  std::error_code ec;
  if (pg) {
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return summary;
  }
  if (options.force) {
    std::filesystem::rename(temp, target, ec);
  } else if (::link(temp.c_str(), target.c_str()) == 0) {
    std::filesystem::remove(temp, ec);
    ec.clear();
  } else {
    ec = std::error_code(errno, std::generic_category());
  }
  if (ec) Refuse("cannot write '" + target + "': " + ec.message());
  guard.Release();
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return summary;
}

int RunConvert(const std::vector<std::string>& args) {
  ConvertOptions options;
  std::vector<std::string> files;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::cout << kConvertUsage;
      return kExitOk;
    }
    if (a == "--force") {
      options.force = true;
    } else if (a == "--strict") {
      options.strict = true;
    } else if (a == "--quiet") {
      options.quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      BadUsage("unknown option '" + a + "'", kConvertUsage);
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 2) BadUsage("convert needs ACCESS_FILE and SQLITE_FILE (or a URI)", kConvertUsage);
  const ConvertSummary s = ConvertAccess(files[0], files[1], options);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", s.seconds);
  std::cout << "converted " << files[0] << " (" << s.format << ") into " << files[1] << ": " << s.tables
            << " tables, " << s.rows << " rows, " << s.warnings.size() << " warnings, " << seconds << " s\n";
  return kExitOk;
}

}  // namespace mivoctl
