// Helpers for the tests of the database classes: temporary folders, database files built with SQLite's
// own API (never through the classes under test), and catching engine errors.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/dao/afxdao.h"

namespace dao_test {

// A fresh folder under /tmp (mode 0755, so that a child running as another user can reach it), removed
// with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/mivo-dao-test-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
    ::chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline CString Wide(const std::string& utf8) { return AfxFromUtf8(utf8); }
inline std::string Narrow(const CString& s) { return AfxToUtf8(s); }

// Runs SQL on a file with SQLite directly, creating the file when needed. Fails the test on an error.
inline void RunSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
            SQLITE_OK);
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  const std::string message = error != nullptr ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << message << "\nin: " << sql;
}

// The first column of the first row of a query, as text ("<null>" for NULL, "<none>" without a row).
inline std::string QueryText(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string result = "<error>";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
      const int rc = sqlite3_step(stmt);
      if (rc == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(stmt, 0);
        result = text != nullptr ? reinterpret_cast<const char*>(text) : "<null>";
      } else if (rc == SQLITE_DONE) {
        result = "<none>";
      }
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// The CDaoException that `f` throws; a test failure (and an exception with scode 0) when it throws none.
inline CDaoException CatchDao(const std::function<void()>& f) {
  try {
    f();
  } catch (const CDaoException& e) {
    return e;
  }
  ADD_FAILURE() << "expected a CDaoException";
  return CDaoException(0, u"");
}

// Whether the exception's message mentions `what`.
inline bool Mentions(const CDaoException& e, const std::string& what) {
  return Narrow(e.Message()).find(what) != std::string::npos;
}

// A language database in the standard layout, filled by SQL: every argument an INSERT-ready VALUES list.
// Uses the same stored query text as the standard layout, written out here independently.
inline const char* kOfferKeyStringsSql =
    "SELECT Items.Module AS Module, Items.KeyString AS KeyString, Messages.String AS String "
    "FROM Items CROSS JOIN Messages ON Messages.ItemId = Items.ItemId "
    "WHERE Messages.LanguageId = :LanguageParameter "
    "AND (:UserFlag <> 0 OR IFNULL(Items.UserDefined, 0) = 0) "
    "ORDER BY Items.ItemId, Messages.rowid";

inline void MakeLanguageDb(const std::string& path, const std::string& messagesLanguageType = "INTEGER") {
  RunSql(path,
         "CREATE TABLE Items (Module TEXT, KeyString TEXT, ItemId INTEGER PRIMARY KEY AUTOINCREMENT, "
         "UserDefined BOOLEAN DEFAULT 0);"
         "CREATE TABLE Messages (ItemId INTEGER, LanguageId " +
             messagesLanguageType +
             ", String TEXT);"
             "CREATE INDEX MessagesByItem ON Messages (ItemId, LanguageId);"
             "CREATE TABLE Languages (Name TEXT, LanguageId INTEGER, Active BOOLEAN);"
             "CREATE TABLE StoredQueries (Name TEXT PRIMARY KEY, SQL TEXT NOT NULL);"
             "INSERT INTO StoredQueries VALUES ('OfferKeyStrings', '" +
             std::string(kOfferKeyStringsSql) + "');");
}

// A recordset with the members and bindings of the language readers: three texts out, two 16-bit
// parameters in, its own database at the path given.
class LanguageRecordset : public CDaoRecordset {
 public:
  explicit LanguageRecordset(const std::string& path, short language = 0, short userFlag = 1)
      : CDaoRecordset(nullptr), path_(Wide(path)), m_nLanguageParameter(language), m_nUserFlag(userFlag) {
    m_nFields = 3;
    m_nParams = 2;
    m_nDefaultType = dbOpenDynaset;
  }
  CString GetDefaultDBName() override { return path_; }
  CString GetDefaultSQL() override { return u"[OfferKeyStrings]"; }
  void DoFieldExchange(CDaoFieldExchange* pFX) override {
    pFX->SetFieldType(CDaoFieldExchange::outputColumn);
    DFX_Text(pFX, u"[Module]", m_strModule, 255, AFX_DAO_ENABLE_FIELD_CACHE);
    DFX_Text(pFX, u"[KeyString]", m_strKeyString, 255, AFX_DAO_ENABLE_FIELD_CACHE);
    DFX_Text(pFX, u"[String]", m_strString, 255, AFX_DAO_ENABLE_FIELD_CACHE);
    pFX->SetFieldType(CDaoFieldExchange::param);
    DFX_Short(pFX, u"LanguageParameter", m_nLanguageParameter, AFX_DAO_ENABLE_FIELD_CACHE);
    DFX_Short(pFX, u"UserFlag", m_nUserFlag, AFX_DAO_ENABLE_FIELD_CACHE);
  }

  CString path_;
  CString m_strModule, m_strKeyString, m_strString;
  short m_nLanguageParameter;
  short m_nUserFlag;
};

// Reads every row the way the language loader does: "module|key|text" lines.
inline std::vector<std::string> ReadAll(LanguageRecordset& rs) {
  std::vector<std::string> rows;
  rs.Open(AFX_DAO_USE_DEFAULT_TYPE, nullptr, 0);
  if (!rs.IsBOF()) rs.MoveFirst();
  while (!rs.IsEOF()) {
    rows.push_back(Narrow(rs.m_strModule + u"|" + rs.m_strKeyString + u"|" + rs.m_strString));
    rs.MoveNext();
  }
  rs.Close();
  return rows;
}

}  // namespace dao_test
