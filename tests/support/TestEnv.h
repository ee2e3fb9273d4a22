// Test support: temporary folders, private hive files, and databases built with plain SQL.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/afx/afx.h"

namespace mivotest {

// A fresh temporary folder (mode 0755), removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points both registry roots at hive files in a temporary folder for the lifetime of the object.
class HiveSandbox {
 public:
  HiveSandbox();
  ~HiveSandbox();
  const std::string& machineHive() const { return machine_; }
  const std::string& userHive() const { return user_; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string machine_, user_;
};

// Runs SQL on an SQLite file (created when missing); fails the test on error.
void ExecSql(const std::string& file, const std::string& sql);
// A query's first column of every row, as text ("NULL" for SQL NULL).
std::vector<std::string> QueryColumn(const std::string& file, const std::string& sql);

struct Text {
  std::string module, key;
  int language;
  std::string text;  // UTF-8; stored as given
};

// A database in the standard layout: Items, Messages, Languages (the flagged languages active),
// StoredQueries with OfferKeyStrings. `idType` is the declared type of the language-id columns.
void MakeStandardDb(const std::string& file, const std::vector<int>& flagged, const std::vector<Text>& texts,
                    const std::string& idType = "INTEGER");

// Registry helpers (UTF-8 arguments) on the sandbox's roots through the registry API.
void SetRegString(bool machine, const std::string& key, const std::string& name, const std::string& value,
                  unsigned type = 1 /*REG_SZ*/);
void SetRegDword(bool machine, const std::string& key, const std::string& name, unsigned value);
bool GetRegString(bool machine, const std::string& key, const std::string& name, std::string& value);
bool GetRegDword(bool machine, const std::string& key, const std::string& name, unsigned& value);

CString U(const std::string& utf8);
std::string Utf8(const CString& s);

}  // namespace mivotest
