// Integration test support: the real server executable on a private dbus-daemon, with temporary hives and
// databases.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/Constants.h"
#include "automation/MivoDBClient.h"
#include "support/TestEnv.h"
#include "support/dbus_fixture.h"

namespace mivo::test {

using namespace std::chrono_literals;

// Texts as the databases hold them: the system code page's (1252) reading of the bytes of the text in its
// language's own code page. The server decodes them back.
inline constexpr const char* kRussianHello = "Привет";
inline constexpr const char* kRussianHelloStored = "\u00CF\u00F0\u00E8\u00E2\u00E5\u00F2";  // cp1251 bytes
inline constexpr const char* kJapaneseHello = "こんにちは";
inline constexpr const char* kJapaneseHelloStored =
    "\u201A\u00B1\u201A\u00F1\u201A\u00C9\u201A\u00BF\u201A\u00CD";  // cp932 bytes

inline constexpr const char* kSettingsKey = "Software\\Mivotec\\DataBase";
inline constexpr const char* kLanguageListKey = "Software\\Mivotec\\DataBase\\LanguageDataBase's";
inline constexpr const char* kConfigListKey = "Software\\Mivotec\\DataBase\\ConfigDataBase's";
inline constexpr const char* kVersionKey = "Software\\Mivotec\\Version";

// A private bus with the server registered on it (bus activation starts it on the first call), over
// temporary hives and databases.
//
// Standard content (unless a fixture clears standard_data_ in its constructor):
// - lang.db, listed in the machine list as "%Base%/lang.db" (Base in the version key): module "Demo" with
//   "Greeting" in 0x0407 "Hallo", 0x0409 "Hello", 0x0419 Russian, 0x0411 Japanese; "OnlyGerman" in German
//   only; "EmptyEnglish" empty in English, "Leer auf Englisch" in German; module "" key "K" in English.
// - conf.db, listed as the configuration database: Server/Host "localhost", Server/Port "8080".
// - user settings: FallBackLanguageId 0x0407, LanguageId 0x0409.
// The server is registered (mivodb /RegServer) unless register_ is cleared.
class ServerTest : public DbusTest {
 protected:
  ServerTest();
  ~ServerTest() override;
  void SetUp() override;
  void TearDown() override;

  // A new client on the private bus (calls time out after kWaitLimit).
  std::unique_ptr<CMivoDBClient> NewClient();
  // The first client, made on first use.
  CMivoDBClient& client();

  // Runs mivodb with `args` to its end, with the test's environment; MIVODB_DBUS_SERVICE_DIR names the
  // private bus's service folder.
  ProcessResult RunServer(const std::vector<std::string>& args);
  // The same with more changes to the environment.
  ProcessResult RunServer(const std::vector<std::string>& args, const EnvChanges& env);
  // Writes the registration (mivodb /RegServer); fails the test when the run fails.
  void RegisterServer();
  // The process id of the running server (the owner of the bus name), which TearDown will end.
  pid_t ServerPid();
  // Waits until a process id no longer runs (gone or a zombie); true when it ended within the limit.
  static bool WaitGone(pid_t pid, std::chrono::milliseconds limit = kWaitLimit);

  // The environment every server of this test sees (also through the daemon).
  EnvChanges ServerEnv() const;

  std::string Db(const std::string& name) const { return dbs_.File(name); }
  // The activation file a normal start writes (in the folder named by the daemon's environment).
  std::string StartupServiceFile() const { return startup_services_.File("Mivo.DataBase.OLEServer.service"); }
  std::string BusServiceFile() const { return bus_.service_dir() + "/Mivo.DataBase.OLEServer.service"; }

  bool standard_data_ = true;
  bool register_ = true;
  HiveSandbox hives_;

 private:
  void WriteStandardData();

  TempDir dbs_;
  TempDir startup_services_;
  std::unique_ptr<CMivoDBClient> client_;
  std::set<pid_t> server_pids_;
  ScopedEnv env_;
};

// Runs `call` and returns the BusError it throws; fails the test (and returns an empty error) when it
// does not throw.
template <class F>
ole::BusError ErrorOf(F&& call) {
  try {
    call();
  } catch (const ole::BusError& e) {
    return e;
  }
  ADD_FAILURE() << "the call succeeded where an error was expected";
  return ole::BusError("", "");
}

// Dispatches incoming messages of `client` until `done()` holds or the limit passes; returns done().
template <class F>
bool PumpUntil(CMivoDBClient& client, F&& done, std::chrono::milliseconds limit = kWaitLimit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    client.ProcessPending(50ms);
  }
  return true;
}

}  // namespace mivo::test
