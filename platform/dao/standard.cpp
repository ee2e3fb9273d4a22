// The standard database layout and its creation.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/dao/dao_internal.h"

namespace mivo::dao {
namespace {

constexpr int kConfigurationLanguage = 99;

constexpr char kSchema[] =
    "CREATE TABLE Items (Module TEXT, KeyString TEXT, ItemId INTEGER PRIMARY KEY AUTOINCREMENT, "
    "UserDefined BOOLEAN DEFAULT 0);\n"
    "CREATE TABLE Messages (ItemId INTEGER, LanguageId INTEGER, String TEXT);\n"
    "CREATE INDEX MessagesByItem ON Messages (ItemId, LanguageId);\n"
    "CREATE TABLE Languages (Name TEXT, LanguageId INTEGER, Active BOOLEAN);\n"
    "CREATE TABLE StoredQueries (Name TEXT PRIMARY KEY, SQL TEXT NOT NULL);\n";

// Rows of one item come in message order. CROSS JOIN keeps Items the outer loop, so items are read in
// rowid order and each one's messages through the index on (ItemId, LanguageId): no sort is needed.
constexpr char kOfferKeyStrings[] =
    "SELECT Items.Module AS Module, Items.KeyString AS KeyString, Messages.String AS String "
    "FROM Items CROSS JOIN Messages ON Messages.ItemId = Items.ItemId "
    "WHERE Messages.LanguageId = :LanguageParameter "
    "AND (:UserFlag <> 0 OR IFNULL(Items.UserDefined, 0) = 0) "
    "ORDER BY Items.ItemId, Messages.rowid";

std::string LanguageName(int id) {
  if (id == kConfigurationLanguage) return "Configuration";
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%04X", static_cast<unsigned>(id) & 0xFFFFu);
  return buffer;
}

}  // namespace

const char* StandardOfferKeyStringsSql() { return kOfferKeyStrings; }

void CreateStandardDatabase(const std::string& utf8Path, const std::vector<int>& flaggedLanguages) {
  const CString file = AfxFromUtf8(utf8Path);
  const int fd = ::open(utf8Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) ThrowEngine(kErrDatabaseExists, u"Database '" + file + u"' already exists.");
    ThrowEngine(kErrGeneric,
                u"Could not create '" + file + u"' (" + AfxFromUtf8(std::strerror(errno)) + u").");
  }
  ::close(fd);

  std::string failure;
  {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(utf8Path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    std::unique_ptr<sqlite3, DbCloser> db(raw);
    auto check = [&](int result) {
      if (result != SQLITE_OK && result != SQLITE_DONE && failure.empty()) failure = sqlite3_errmsg(db.get());
      return failure.empty();
    };
    if (check(rc) && check(sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr)) &&
        check(sqlite3_exec(db.get(), kSchema, nullptr, nullptr, nullptr))) {
      sqlite3_stmt* rawQuery = nullptr;
      check(sqlite3_prepare_v2(db.get(),
                               "INSERT INTO StoredQueries (Name, SQL) VALUES ('OfferKeyStrings', ?1)", -1,
                               &rawQuery, nullptr));
      Stmt query(rawQuery);
      if (failure.empty()) {
        sqlite3_bind_text(query.get(), 1, kOfferKeyStrings, -1, SQLITE_STATIC);
        check(sqlite3_step(query.get()));
      }
      std::vector<int> languages;
      for (int id : flaggedLanguages) {
        if (std::find(languages.begin(), languages.end(), id) == languages.end()) languages.push_back(id);
      }
      if (std::find(languages.begin(), languages.end(), kConfigurationLanguage) == languages.end()) {
        languages.push_back(kConfigurationLanguage);
      }
      sqlite3_stmt* rawLanguage = nullptr;
      if (failure.empty()) {
        check(sqlite3_prepare_v2(db.get(),
                                 "INSERT INTO Languages (Name, LanguageId, Active) VALUES (?1, ?2, 1)", -1,
                                 &rawLanguage, nullptr));
      }
      Stmt language(rawLanguage);
      for (int id : languages) {
        if (!failure.empty()) break;
        const std::string name = LanguageName(id);
        sqlite3_bind_text(language.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(language.get(), 2, id);
        check(sqlite3_step(language.get()));
        sqlite3_reset(language.get());
      }
      if (failure.empty()) check(sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr));
    }
  }
  if (!failure.empty()) {
    ::unlink(utf8Path.c_str());
    ::unlink((utf8Path + "-journal").c_str());
    ThrowEngine(kErrGeneric, u"Could not create '" + file + u"' (" + AfxFromUtf8(failure) + u").");
  }
}

}  // namespace mivo::dao
