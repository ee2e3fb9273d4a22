#include "support/TestEnv.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/win32/winnls.h"
#include "platform/win32/winreg.h"

namespace mivotest {

TempDir::TempDir() {
  char templ[] = "/tmp/mivodb-test-XXXXXX";
  const char* made = mkdtemp(templ);
  EXPECT_NE(made, nullptr);
  path_ = made ? made : "/tmp";
  chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

HiveSandbox::HiveSandbox() : machine_(dir_.File("machine.hive")), user_(dir_.File("user.hive")) {
  setenv("MIVODB_MACHINE_HIVE", machine_.c_str(), 1);
  setenv("MIVODB_USER_HIVE", user_.c_str(), 1);
  mivo::reg::ResetForTesting();
  mivo::nls::ResetForTesting();
}

HiveSandbox::~HiveSandbox() {
  mivo::reg::ResetForTesting();
  unsetenv("MIVODB_MACHINE_HIVE");
  unsetenv("MIVODB_USER_HIVE");
}

void ExecSql(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "") << " in " << sql;
  sqlite3_free(error);
  sqlite3_close(db);
}

std::vector<std::string> QueryColumn(const std::string& file, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* t = sqlite3_column_text(stmt, 0);
    rows.emplace_back(t ? reinterpret_cast<const char*>(t) : "NULL");
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

namespace {
std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}
}  // namespace

void MakeStandardDb(const std::string& file, const std::vector<int>& flagged, const std::vector<Text>& texts,
                    const std::string& idType) {
  std::string sql =
      "CREATE TABLE Items (Module TEXT, KeyString TEXT, ItemId INTEGER PRIMARY KEY AUTOINCREMENT, "
      "UserDefined BOOLEAN DEFAULT 0);"
      "CREATE TABLE Messages (ItemId INTEGER, LanguageId " +
      idType +
      ", String TEXT);"
      "CREATE TABLE Languages (Name TEXT, LanguageId " +
      idType +
      ", Active BOOLEAN);"
      "CREATE TABLE StoredQueries (Name TEXT PRIMARY KEY, SQL TEXT NOT NULL);"
      "INSERT INTO StoredQueries VALUES ('OfferKeyStrings', 'SELECT i.Module AS Module, i.KeyString AS "
      "KeyString, m.String AS String FROM Items i JOIN Messages m ON m.ItemId = i.ItemId WHERE m.LanguageId "
      "= "
      ":LanguageParameter AND (:UserFlag <> 0 OR i.UserDefined = 0) ORDER BY i.ItemId, m.rowid');";
  for (int id : flagged) {
    sql += "INSERT INTO Languages VALUES ('L" + std::to_string(id) + "', " + std::to_string(id) + ", 1);";
  }
  for (const Text& t : texts) {
    sql += "INSERT INTO Items (Module, KeyString) VALUES (" + Quote(t.module) + ", " + Quote(t.key) + ");";
    sql += "INSERT INTO Messages VALUES (last_insert_rowid(), " + std::to_string(t.language) + ", " +
           Quote(t.text) + ");";
  }
  ExecSql(file, "BEGIN;" + sql + "COMMIT;");
}

CString U(const std::string& utf8) { return AfxFromUtf8(utf8); }
std::string Utf8(const CString& s) { return AfxToUtf8(s); }

namespace {
HKEY Root(bool machine) { return machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

HKEY CreateKey(bool machine, const std::string& key) {
  HKEY h = nullptr;
  EXPECT_EQ(
      RegCreateKeyExW(Root(machine), U(key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
      ERROR_SUCCESS);
  return h;
}
}  // namespace

void SetRegString(bool machine, const std::string& key, const std::string& name, const std::string& value,
                  unsigned type) {
  HKEY h = CreateKey(machine, key);
  const CString data = U(value) + u'\0';
  EXPECT_EQ(RegSetValueExW(h, U(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                           static_cast<DWORD>(data.size() * 2)),
            ERROR_SUCCESS);
  RegCloseKey(h);
}

void SetRegDword(bool machine, const std::string& key, const std::string& name, unsigned value) {
  HKEY h = CreateKey(machine, key);
  const DWORD v = value;
  EXPECT_EQ(RegSetValueExW(h, U(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
            ERROR_SUCCESS);
  RegCloseKey(h);
}

bool GetRegString(bool machine, const std::string& key, const std::string& name, std::string& value) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(Root(machine), U(key).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  WCHAR buffer[1024] = {};
  DWORD size = sizeof buffer - 2, type = 0;
  const bool ok = RegQueryValueExW(h, U(name).c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(buffer),
                                   &size) == ERROR_SUCCESS &&
                  type == REG_SZ;
  RegCloseKey(h);
  if (ok) value = Utf8(buffer);
  return ok;
}

bool GetRegDword(bool machine, const std::string& key, const std::string& name, unsigned& value) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(Root(machine), U(key).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  DWORD v = 0, size = 4, type = 0;
  const bool ok = RegQueryValueExW(h, U(name).c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(&v), &size) ==
                      ERROR_SUCCESS &&
                  type == REG_DWORD;
  RegCloseKey(h);
  if (ok) value = v;
  return ok;
}

}  // namespace mivotest
