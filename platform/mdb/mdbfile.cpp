// Access files over libmdb: the header check, the catalog, table definitions and rows as raw bytes.
#include "platform/mdb/mdbfile.h"

#include <fcntl.h>
#include <mdbtools.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string_view>

namespace mivo::mdb {
namespace {

constexpr int kOffsetMask = 0x1fff;
constexpr std::uint32_t kLongValueInline = 0x80000000u;
constexpr std::uint32_t kLongValueOnePage = 0x40000000u;
constexpr std::uint32_t kLongValueLengthMask = 0x3fffffffu;
// No long value of an Access file is larger than its 2 GB file limit; this bounds a damaged length.
constexpr std::size_t kLongValueLimit = 0x7fffffffu;

std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The header page is masked with the RC4 key stream of the key 0x6b39dac7 from offset 0x18 on.
void UnmaskHeader(unsigned char* page, std::size_t length) {
  const unsigned char key[4] = {0xc7, 0xda, 0x39, 0x6b};
  unsigned char s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<unsigned char>(i);
  for (int i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % 4]) & 0xff;
    std::swap(s[i], s[j]);
  }
  for (std::size_t n = 0, i = 0, j = 0; n < length; ++n) {
    i = (i + 1) & 0xff;
    j = (j + s[i]) & 0xff;
    std::swap(s[i], s[j]);
    page[0x18 + n] ^= s[(s[i] + s[j]) & 0xff];
  }
}

// libmdb reports what it cannot read on stderr (and some of it on stdout); our callers report it
// themselves. Silences both for the object's lifetime.
class QuietStderr {
 public:
  QuietStderr() {
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef _WIN32
    const int null = ::open("NUL", O_WRONLY);
#else
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
#endif
    for (int fd = 1; fd <= 2; ++fd) {
      saved_[fd - 1] = ::dup(fd);
      if (saved_[fd - 1] >= 0 && null >= 0) ::dup2(null, fd);
    }
    if (null >= 0) ::close(null);
  }
  ~QuietStderr() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd = 1; fd <= 2; ++fd) {
      if (saved_[fd - 1] >= 0) {
        ::dup2(saved_[fd - 1], fd);
        ::close(saved_[fd - 1]);
      }
    }
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved_[2] = {-1, -1};
};

struct HandleCloser {
  void operator()(MdbHandle* h) const { mdb_close(h); }
};

}  // namespace

struct AccessFile::Impl {
  std::unique_ptr<MdbHandle, HandleCloser> mdb;
  std::string path;
};

struct Table::Impl {
  MdbHandle* mdb = nullptr;
  MdbTableDef* def = nullptr;
  ~Impl() {
    if (def != nullptr) {
      // mdb_free_tabledef frees the columns and indexes read into it.
      mdb_free_tabledef(def);
    }
  }
  bool started = false;
};

Table::Table(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Table::~Table() = default;

std::uint32_t Table::row_count_header() const { return impl_->def->num_rows; }

namespace {

// Follows a long value (memo, OLE) from its 12-byte field header; false when its chain is damaged.
bool ReadLongValue(MdbHandle* mdb, const unsigned char* field, std::size_t size, std::string* out) {
  out->clear();
  if (size < MDB_MEMO_OVERHEAD) return false;
  const std::uint32_t head = Le32(field);
  const std::size_t length = head & kLongValueLengthMask;
  if (head & kLongValueInline) {
    if (length > size - MDB_MEMO_OVERHEAD) return false;
    out->assign(reinterpret_cast<const char*>(field + MDB_MEMO_OVERHEAD), length);
    return true;
  }
  if (length > kLongValueLimit) return false;
  std::uint32_t pgRow = Le32(field + 4);
  const bool onePage = (head & kLongValueOnePage) != 0;
  std::set<std::uint32_t> seen;
  while (out->size() < length) {
    if (pgRow == 0 || !seen.insert(pgRow).second) return false;
    void* buf = nullptr;
    int start = 0;
    std::size_t len = 0;
    if (mdb_find_pg_row(mdb, static_cast<int>(pgRow), &buf, &start, &len) != 0) return false;
    const auto* row = static_cast<const unsigned char*>(buf) + start;
    if (static_cast<std::size_t>(start) + len > static_cast<std::size_t>(mdb->fmt->pg_size)) return false;
    if (onePage) {
      if (len < length) return false;
      out->assign(reinterpret_cast<const char*>(row), length);
      return true;
    }
    if (len < 4) return false;
    pgRow = Le32(row);
    const std::size_t part = std::min(len - 4, length - out->size());
    out->append(reinterpret_cast<const char*>(row + 4), part);
  }
  return true;
}

}  // namespace

bool Table::Next(std::vector<Cell>* row) {
  Impl& t = *impl_;
  if (!t.started) {
    mdb_rewind_table(t.def);
    t.started = true;
  }
  QuietStderr quiet;
  if (!mdb_fetch_row(t.def)) return false;
  MdbHandle* mdb = t.mdb;
  // libmdb has the row's page in pg_buf; crack the row again for each field's null flag and bytes.
  int start = 0;
  std::size_t size = 0;
  if (mdb_find_row(mdb, static_cast<int>(t.def->cur_row) - 1, &start, &size) != 0) {
    error_ = "table '" + name_ + "': a row cannot be found on its page";
    return false;
  }
  start &= kOffsetMask;
  std::vector<MdbField> fields(t.def->num_cols + 1);
  const int n = mdb_crack_row(t.def, start, size, fields.data());
  if (n < 0 || static_cast<unsigned>(n) < t.def->num_cols) {
    error_ = "table '" + name_ + "': a damaged row";
    return false;
  }
  row->assign(columns_.size(), Cell{});
  const auto pageSize = static_cast<std::size_t>(mdb->fmt->pg_size);
  for (unsigned i = 0; i < t.def->num_cols; ++i) {
    const MdbField& f = fields[i];
    if (f.colnum < 0 || static_cast<std::size_t>(f.colnum) >= columns_.size()) continue;
    const Column& col = columns_[f.colnum];
    Cell& cell = (*row)[f.colnum];
    if (col.type == kBool) {
      // A boolean is its null bit: set is true.
      cell.null = false;
      cell.bytes.assign(1, f.is_null ? '\0' : '\1');
      continue;
    }
    if (f.is_null) continue;
    if (f.siz < 0 || f.start < 0 ||
        static_cast<std::size_t>(f.start) + static_cast<std::size_t>(f.siz) > pageSize) {
      error_ = "table '" + name_ + "', column '" + col.name + "': a value outside its page";
      return false;
    }
    const auto* bytes = mdb->pg_buf + f.start;
    cell.null = false;
    if (col.type == kMemo || col.type == kOle) {
      if (f.siz == 0) continue;  // an empty long value
      if (!ReadLongValue(mdb, bytes, static_cast<std::size_t>(f.siz), &cell.bytes)) {
        error_ = "table '" + name_ + "', column '" + col.name + "': a long value whose pages are damaged";
        return false;
      }
    } else {
      cell.bytes.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(f.siz));
    }
  }
  return true;
}

AccessFile::~AccessFile() = default;

std::unique_ptr<AccessFile> AccessFile::Open(const std::string& utf8Path, OpenError* error) {
  auto fail = [&](OpenError::Kind kind, const std::string& why) {
    error->kind = kind;
    error->message = "'" + utf8Path + "' " + why;
    return nullptr;
  };
  std::ifstream in(utf8Path, std::ios::binary);
  if (!in) {
    std::FILE* probe = std::fopen(utf8Path.c_str(), "rb");
    if (probe == nullptr && errno == ENOENT) return fail(OpenError::kNotFound, "does not exist");
    if (probe != nullptr) std::fclose(probe);
    return fail(OpenError::kUnreadable, "cannot be read");
  }
  unsigned char header[4096] = {};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  const std::size_t got = static_cast<std::size_t>(in.gcount());
  in.clear();
  in.seekg(0, std::ios::end);
  const auto fileSize = static_cast<std::uint64_t>(in.tellg());
  static const char kJet[] = "Standard Jet DB";
  static const char kAce[] = "Standard ACE DB";
  if (got < 0x20 || header[0] != 0 || header[1] != 1 || header[2] != 0 || header[3] != 0 ||
      (std::memcmp(header + 4, kJet, 16) != 0 && std::memcmp(header + 4, kAce, 16) != 0)) {
    return fail(OpenError::kNotAccess, "is not an Access database (no Jet or ACE header)");
  }
  const int jet = header[0x14];
  const std::size_t pageSize = jet == MDB_VER_JET3 ? 2048 : 4096;
  if (fileSize < 2 * pageSize || fileSize % pageSize != 0 || got < 0x18 + 128) {
    return fail(OpenError::kTruncated, "is truncated (" + std::to_string(fileSize) +
                                           " bytes, not a whole number of " + std::to_string(pageSize) +
                                           "-byte pages)");
  }
  UnmaskHeader(header, jet == MDB_VER_JET3 ? 126 : 128);

  auto file = std::unique_ptr<AccessFile>(new AccessFile());
  switch (jet) {
    case MDB_VER_JET3:
      file->version_ = 3, file->format_ = "Jet 3 (Access 97)";
      break;
    case MDB_VER_JET4:
      file->version_ = 4, file->format_ = "Jet 4 (Access 2000-2003)";
      break;
    case MDB_VER_ACCDB_2007:
      file->version_ = 12, file->format_ = "ACE 12 (Access 2007)";
      break;
    case MDB_VER_ACCDB_2010:
      file->version_ = 14, file->format_ = "ACE 14 (Access 2010)";
      break;
    case MDB_VER_ACCDB_2013:
      file->version_ = 15, file->format_ = "ACE 15 (Access 2013)";
      break;
    case MDB_VER_ACCDB_2016:
      file->version_ = 16, file->format_ = "ACE 16 (Access 2016)";
      break;
    case MDB_VER_ACCDB_2019:
      file->version_ = 17, file->format_ = "ACE 17 (Access 2019)";
      break;
    default:
      return fail(OpenError::kNotAccess,
                  "has an Access header of an unknown version (" + std::to_string(jet) + ")");
  }
  const int codePage = header[0x3c] | header[0x3d] << 8;
  if (file->version_ == 3 && codePage != 0) file->code_page_ = codePage;
  // A database password lies masked at 0x42 (20 bytes in Jet 3, 20 UTF-16 units in Jet 4, whose mask
  // also holds the creation date's whole days); ACE keeps it with its encryption data instead.
  if (file->version_ <= 4) {
    const std::size_t length = file->version_ == 3 ? 20 : 40;
    unsigned char mask[4] = {};
    if (file->version_ == 4) {
      double created = 0;
      std::memcpy(&created, header + 0x72, sizeof created);
      const auto days = static_cast<std::int32_t>(created);
      for (int i = 0; i < 4; ++i)
        mask[i] = static_cast<unsigned char>(static_cast<std::uint32_t>(days) >> (8 * i));
    }
    for (std::size_t i = 0; i < length; ++i) {
      if ((header[0x42 + i] ^ mask[i % 4]) != 0) file->has_password_ = true;
    }
  }
  // Encrypted files: Jet pages encoded with the header's database key, or ACE encryption (Office agile
  // encryption keeps its XML description in the header page, RC4 / standard encryption names its
  // cryptographic provider there in UTF-16).
  const std::uint32_t dbKey = Le32(header + 0x3e);
  const std::string_view page(reinterpret_cast<const char*>(header), got);
  static const char kProviderUtf16[] = "M\0i\0c\0r\0o\0s\0o\0f\0t\0 \0";
  const bool aceEncrypted =
      file->version_ >= 12 &&
      (page.find("schemas.microsoft.com/office/2006/encryption") != std::string_view::npos ||
       page.find(std::string_view(kProviderUtf16, sizeof kProviderUtf16 - 1)) != std::string_view::npos);
  if ((file->version_ <= 4 && dbKey != 0) || aceEncrypted) {
    return fail(OpenError::kEncrypted, "is encrypted; remove its password and encryption in Access first");
  }

  file->impl_ = std::make_unique<Impl>();
  file->impl_->path = utf8Path;
  QuietStderr quiet;
  file->impl_->mdb.reset(mdb_open(utf8Path.c_str(), MDB_NOFLAGS));
  if (!file->impl_->mdb) return fail(OpenError::kDamaged, "cannot be opened as an Access database");
  MdbHandle* mdb = file->impl_->mdb.get();
  if (mdb_read_catalog(mdb, MDB_ANY) == nullptr) {
    return fail(OpenError::kDamaged, "has a damaged catalog (truncated or corrupt)");
  }
  // A catalog cut short (pages of MSysObjects missing) has fewer rows than MSysObjects counts.
  // (mdb_read_table_by_name would read the catalog again, of tables only.)
  MdbTableDef* objects = nullptr;
  for (unsigned i = 0; i < mdb->num_catalog && objects == nullptr; ++i) {
    auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
    if (entry->object_type == MDB_TABLE && std::strcmp(entry->object_name, "MSysObjects") == 0) {
      objects = mdb_read_table(entry);
    }
  }
  bool complete = false;
  if (objects != nullptr && mdb_read_columns(objects) != nullptr) {
    unsigned rows = 0;
    mdb_rewind_table(objects);
    while (rows <= objects->num_rows && mdb_fetch_row(objects)) ++rows;
    complete = rows == objects->num_rows;
  }
  if (objects != nullptr) mdb_free_tabledef(objects);
  if (!complete) return fail(OpenError::kDamaged, "has a damaged catalog (truncated or corrupt)");
  return file;
}

std::vector<AccessFile::Entry> AccessFile::AllTables() const {
  std::vector<Entry> out;
  MdbHandle* mdb = impl_->mdb.get();
  for (unsigned i = 0; i < mdb->num_catalog; ++i) {
    auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
    if (entry->object_type != MDB_TABLE) continue;
    out.push_back(Entry{entry->object_name, static_cast<std::uint32_t>(entry->table_pg),
                        mdb_is_system_table(entry) != 0});
  }
  return out;
}

std::vector<AccessFile::Entry> AccessFile::Queries() const {
  std::vector<Entry> out;
  MdbHandle* mdb = impl_->mdb.get();
  for (unsigned i = 0; i < mdb->num_catalog; ++i) {
    auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
    if (entry->object_type != MDB_QUERY) continue;
    out.push_back(Entry{entry->object_name, static_cast<std::uint32_t>(entry->table_pg) & 0xffffffu, false});
  }
  return out;
}

std::vector<std::string> AccessFile::UserTables() const {
  std::vector<std::string> out;
  MdbHandle* mdb = impl_->mdb.get();
  for (unsigned i = 0; i < mdb->num_catalog; ++i) {
    auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
    if (mdb_is_user_table(entry)) out.push_back(entry->object_name);
  }
  return out;
}

std::unique_ptr<Table> AccessFile::OpenTable(const std::string& name, std::string* error) const {
  MdbHandle* mdb = impl_->mdb.get();
  MdbCatalogEntry* found = nullptr;
  for (unsigned i = 0; i < mdb->num_catalog && found == nullptr; ++i) {
    auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
    if (entry->object_type == MDB_TABLE && name == entry->object_name) found = entry;
  }
  if (found == nullptr) {
    *error = "no table '" + name + "'";
    return nullptr;
  }
  auto impl = std::make_unique<Table::Impl>();
  impl->mdb = mdb;
  QuietStderr quiet;
  impl->def = mdb_read_table(found);
  if (impl->def == nullptr || mdb_read_columns(impl->def) == nullptr) {
    *error = "table '" + name + "' has a damaged definition";
    return nullptr;
  }
  mdb_read_indices(impl->def);
  auto table = std::unique_ptr<Table>(new Table(std::move(impl)));
  MdbTableDef* def = table->impl_->def;
  table->name_ = name;
  for (unsigned i = 0; i < def->num_cols; ++i) {
    auto* c = static_cast<MdbColumn*>(g_ptr_array_index(def->columns, i));
    Column col;
    col.name = c->name;
    col.type = c->col_type;
    col.size = c->col_size;
    if (c->col_type == MDB_NUMERIC) {
      // libmdb 1.0 reads a Decimal column's precision into col_scale and its scale into col_prec.
      col.precision = c->col_scale;
      col.scale = c->col_prec;
    }
    col.fixed = c->is_fixed != 0;
    col.auto_number = c->is_long_auto != 0;
    col.auto_guid = c->is_uuid_auto != 0;
    const char* required = mdb_col_get_prop(c, "Required");
    col.required = required != nullptr && (required[0] == 'y' || required[0] == 'Y' || required[0] == '1');
    const char* expression = mdb_col_get_prop(c, "Expression");
    col.calculated = expression != nullptr && expression[0] != '\0';
    table->columns_.push_back(col);
  }
  for (unsigned i = 0; def->indices != nullptr && i < def->num_idxs; ++i) {
    auto* idx = static_cast<MdbIndex*>(g_ptr_array_index(def->indices, i));
    if (idx->index_type == 2) continue;  // the reference side of a relationship
    Index index;
    index.name = idx->name;
    index.primary = idx->index_type == 1;
    index.unique = index.primary || (idx->flags & MDB_IDX_UNIQUE) != 0;
    bool valid = idx->num_keys > 0 && idx->num_keys <= MDB_MAX_IDX_COLS;
    for (unsigned k = 0; valid && k < idx->num_keys; ++k) {
      const int col = idx->key_col_num[k] - 1;
      if (col < 0 || col >= static_cast<int>(table->columns_.size())) {
        valid = false;
        break;
      }
      index.columns.push_back(col);
      index.descending.push_back(idx->key_col_order[k] == MDB_DESC);
    }
    if (valid) table->indexes_.push_back(index);
  }
  return table;
}

}  // namespace mivo::mdb
