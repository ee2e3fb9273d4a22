// Test support: an application object on private hives, with every report it makes captured.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/MivoDBApp.h"
#include "support/TestEnv.h"

namespace mivo::test {

inline constexpr const char* kSettings = "Software\\Mivotec\\DataBase";
inline constexpr const char* kLanguageList = "Software\\Mivotec\\DataBase\\LanguageDataBase's";
inline constexpr const char* kConfigList = "Software\\Mivotec\\DataBase\\ConfigDataBase's";
inline constexpr const char* kVersionKey = "Software\\Mivotec\\Version";

class AppTest : public ::testing::Test {
 protected:
  AppTest();
  ~AppTest() override;

  // The application object, constructed on first use (after the test has prepared the hives).
  CMivoDBApp& app();
  // Start-up's language and configuration steps, as InitInstance runs them.
  void StartStores();
  // Adds a database to the machine or user language list, or to the configuration list.
  void ListLanguageDb(bool machine, const std::string& name, const std::string& path);
  void ListConfigDb(const std::string& name, const std::string& path);

  std::string Text(const std::string& module, const std::string& key, bool* found = nullptr);
  std::string Config(const std::string& module, const std::string& key, bool* found = nullptr);

  HiveSandbox hives;
  TempDir& dbs() { return dbs_; }
  std::vector<std::string> reports;

 private:
  TempDir dbs_;
  std::unique_ptr<CMivoDBApp> app_;
  int sink_ = 0;
};

}  // namespace mivo::test
