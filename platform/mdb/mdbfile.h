// Reading Access database files (Jet 3 .mdb, Jet 4 .mdb, ACE .accdb) over libmdb, as raw bytes.
//
// Contract:
// - AccessFile::Open never writes the file. It checks the header first: a file that is missing, cannot be
//   read, is shorter than two pages, or is not a whole number of pages long, or whose first page is not a
//   Jet / ACE header, is refused with an error text naming the file; so is an encrypted ACE file (one
//   whose header names an encryption provider) and a file libmdb cannot open or whose catalog it cannot
//   read. The error's kind says which (OpenError::Kind).
// - Names (tables, columns, indexes) are UTF-8 as libmdb gives them.
// - Values are raw: Cell::bytes holds the bytes of the column's value as the file stores them, with no
//   conversion: fixed columns their fixed bytes, text its stored bytes (UTF-16LE or Jet 4 compressed
//   Unicode, or single-byte text in the file's code page for Jet 3), memo and OLE / binary long values
//   whole (their pages followed; a long value whose chain is damaged is an error, never a cut value),
//   a boolean one byte 0 or 1, a complex (attachment) column its 4-byte id. A SQL NULL has null set.
// - Tables are read in physical row order, deleted rows skipped. Read errors on a damaged file are
//   reported by Table::Next returning false with error() set, never by a crash or by reading outside the
//   file's pages.
// - Objects are not copyable; a Table must not outlive the AccessFile that opened it. One thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mivo::mdb {

// The Access column types (libmdb's numbering, which is the file's).
enum ColumnType : int {
  kBool = 0x01,
  kByte = 0x02,
  kInt = 0x03,
  kLong = 0x04,
  kMoney = 0x05,
  kFloat = 0x06,
  kDouble = 0x07,
  kDateTime = 0x08,
  kBinary = 0x09,
  kText = 0x0a,
  kOle = 0x0b,
  kMemo = 0x0c,
  kGuid = 0x0f,
  kNumeric = 0x10,
  kComplex = 0x12,
  kBigInt = 0x13,
  kDateTimeExtended = 0x14,
};

struct Column {
  std::string name;
  int type = 0;
  int size = 0;                  // bytes of a fixed column, or the maximum of a text column
  int precision = 0, scale = 0;  // numeric columns
  bool fixed = false;
  bool auto_number = false;  // a long AutoNumber
  bool auto_guid = false;    // a replication-id AutoNumber
  bool required = false;     // the column's "Required" property
  bool calculated = false;   // a calculated column (its value is stored with a header)
};

struct Index {
  std::string name;
  bool primary = false;
  bool unique = false;
  std::vector<int> columns;  // positions in Table::columns()
  std::vector<bool> descending;
};

struct Cell {
  bool null = true;
  std::string bytes;
};

class AccessFile;

class Table {
 public:
  ~Table();
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  const std::string& name() const { return name_; }
  const std::vector<Column>& columns() const { return columns_; }
  const std::vector<Index>& indexes() const { return indexes_; }
  // The row count the table definition holds.
  std::uint32_t row_count_header() const;
  // Reads the next row into *row (one cell per column). False at the end, or on a read error (then
  // error() is not empty).
  bool Next(std::vector<Cell>* row);
  const std::string& error() const { return error_; }

 private:
  friend class AccessFile;
  struct Impl;
  explicit Table(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  std::string name_;
  std::vector<Column> columns_;
  std::vector<Index> indexes_;
  std::string error_;
};

struct OpenError {
  enum Kind { kNone, kNotFound, kUnreadable, kNotAccess, kTruncated, kEncrypted, kDamaged };
  Kind kind = kNone;
  std::string message;
};

class AccessFile {
 public:
  // Opens the file read-only; null with *error filled when it cannot (see the contract).
  static std::unique_ptr<AccessFile> Open(const std::string& utf8Path, OpenError* error);
  ~AccessFile();
  AccessFile(const AccessFile&) = delete;
  AccessFile& operator=(const AccessFile&) = delete;

  // "Jet 3 (Access 97)", "Jet 4 (Access 2000-2003)", "ACE 12 (Access 2007)", ... ; version() the number
  // 3, 4, 12, 14, 15, 16, 17.
  const std::string& format() const { return format_; }
  int version() const { return version_; }
  bool jet3() const { return version_ == 3; }
  // The code page of single-byte text (Jet 3): the header's, or 1252 when it names none.
  int code_page() const { return code_page_; }
  // Whether the header holds a database password (which does not encrypt the data).
  bool has_password() const { return has_password_; }

  // The user tables (not system, not hidden), in catalog order.
  std::vector<std::string> UserTables() const;
  // Every table of the catalog, system and hidden ones too, with its object id.
  struct Entry {
    std::string name;
    std::uint32_t id;
    bool system;
  };
  std::vector<Entry> AllTables() const;
  // The saved queries of the catalog (their ids are the low 24 bits of MSysQueries.ObjectId).
  std::vector<Entry> Queries() const;
  // Opens a table by name (system tables too); null with *error when it cannot be read.
  std::unique_ptr<Table> OpenTable(const std::string& name, std::string* error) const;

 private:
  AccessFile() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string format_;
  int version_ = 0;
  int code_page_ = 1252;
  bool has_password_ = false;
};

}  // namespace mivo::mdb
