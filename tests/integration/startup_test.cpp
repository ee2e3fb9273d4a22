// Registration runs, the version check of a normal start, and the end of a serving server, with the
// executable started directly (its exit code and stderr captured) beside a private bus.
#include <gtest/gtest.h>
#include <signal.h>

#include "integration/server_fixture.h"

namespace mivo::test {
namespace {

constexpr const char* kClassesProgId = "Software\\Classes\\Mivo.DataBase.OLEServer";

class Startup : public ServerTest {
 protected:
  Startup() { register_ = false; }

  void SetUp() override {
    ServerTest::SetUp();
    if (HasFatalFailure()) return;
    watcher_ = NewClient();
    watcher_->WatchNameOwner(kServiceName, [this](const std::string&, const std::string& owner) {
      if (!owner.empty()) ++name_taken_;
    });
  }

  // How often the server's bus name has been taken so far. A call to the bus first: the daemon has then
  // sent every change it made before it answered.
  int NameTakenCount() {
    watcher_->NameHasOwner(kServiceName);
    watcher_->ProcessPending(0ms);
    return name_taken_;
  }

  std::string MachineValue(const std::string& name) {
    std::string value = "(absent)";
    GetRegString(true, kSettingsKey, name, value);
    return value;
  }

  std::unique_ptr<CMivoDBClient> watcher_;
  int name_taken_ = 0;
};

TEST_F(Startup, RegServerWritesTheRecordTheClassEntriesAndTheActivationFileAndEnds) {
  const ProcessResult r = RunServer({"/RegServer"});
  ASSERT_TRUE(r.exited) << (r.timed_out ? "it kept running" : "it was killed");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(MachineValue(""), "3.1.1.0");
  EXPECT_EQ(MachineValue("AppName"), ServerPath());
  EXPECT_EQ(ReadFile(BusServiceFile()),
            "[D-BUS Service]\nName=Mivo.DataBase.OLEServer\nExec=" + ServerPath() + "\n");

  std::string class_id, local_server, prog_id;
  ASSERT_TRUE(GetRegString(true, std::string(kClassesProgId) + "\\CLSID", "", class_id));
  const std::string class_key = "Software\\Classes\\CLSID\\" + class_id;
  ASSERT_TRUE(GetRegString(true, class_key + "\\LocalServer32", "", local_server));
  ASSERT_TRUE(GetRegString(true, class_key + "\\ProgID", "", prog_id));
  EXPECT_EQ(local_server, ServerPath());
  EXPECT_EQ(prog_id, "Mivo.DataBase.OLEServer");
  EXPECT_EQ(NameTakenCount(), 0) << "a registration run never serves";
}

TEST_F(Startup, ARegistrationRunNeedsNoBus) {
  const ProcessResult r =
      RunServer({"/RegServer"}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(MachineValue(""), "3.1.1.0");
  EXPECT_TRUE(FileExists(BusServiceFile()));
}

TEST_F(Startup, SwitchesMatchInAnyLetterCaseAndRegServerWinsOverUnregServer) {
  ProcessResult r = RunServer({"/regserver"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(MachineValue(""), "3.1.1.0");

  r = RunServer({"-UNREGSERVER"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(MachineValue(""), "(absent)");

  r = RunServer({"/UnregServer", "/RegServer"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(MachineValue(""), "3.1.1.0") << "a command line with both switches registers";
  EXPECT_TRUE(FileExists(BusServiceFile()));
  EXPECT_EQ(NameTakenCount(), 0);
}

TEST_F(Startup, UnregServerRemovesTheRegistrationAndKeepsTheKeys) {
  SetRegString(true, kSettingsKey, "Other", "stays");
  ASSERT_TRUE(RunServer({"/RegServer"}).exited);
  ASSERT_TRUE(FileExists(BusServiceFile()));

  const ProcessResult r = RunServer({"/UnregServer"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(MachineValue(""), "(absent)");
  EXPECT_EQ(MachineValue("AppName"), "(absent)");
  EXPECT_EQ(MachineValue("Other"), "stays");
  EXPECT_FALSE(FileExists(BusServiceFile()));
  std::string ignored;
  EXPECT_FALSE(GetRegString(true, std::string(kClassesProgId) + "\\CLSID", "", ignored));
  EXPECT_EQ(NameTakenCount(), 0);
}

TEST_F(Startup, UnregServerWithoutARecordLeavesAppName) {
  SetRegString(true, kSettingsKey, "AppName", "/somewhere/else");
  ASSERT_TRUE(RunServer({"/UnregServer"}).exited);
  EXPECT_EQ(MachineValue("AppName"), "/somewhere/else");
}

TEST_F(Startup, AnotherRegisteredVersionEndsANormalStartSilently) {
  SetRegString(true, kSettingsKey, "", "3.1.1.1");
  const ProcessResult r = RunServer({});
  ASSERT_TRUE(r.exited) << (r.timed_out ? "it kept running" : "it was killed");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(NameTakenCount(), 0);
  EXPECT_EQ(MachineValue(""), "3.1.1.1") << "a refused start changes no registration";
}

TEST_F(Startup, NoRegistrationRecordReportsThatTheVersionIsNotRegistered) {
  const ProcessResult r = RunServer({});
  ASSERT_TRUE(r.exited) << (r.timed_out ? "it kept running" : "it was killed");
  EXPECT_EQ(r.err, "MivoDB: MivoDB Version 3.1.1.0 not registered\nStart MivoDB with Option /RegServer\n");
  EXPECT_EQ(NameTakenCount(), 0);
}

TEST_F(Startup, ASwitchOtherThanTheRegistrationOnesIsANormalRun) {
  ASSERT_TRUE(RunServer({"/RegServer"}).exited);
  Child server;
  std::vector<std::string> argv = {ServerPath(), "/Embedding"};
  EnvChanges env = ServerEnv();
  env["DBUS_SESSION_BUS_ADDRESS"] = bus_.address();
  ASSERT_TRUE(server.Start(argv, env));
  auto c = NewClient();
  ASSERT_TRUE(PumpUntil(*c, [&] { return c->NameHasOwner(kServiceName); })) << "it does not serve";
  EXPECT_EQ(static_cast<pid_t>(c->NameOwnerPid(kServiceName)), server.pid());
  server.Signal(SIGTERM);
  EXPECT_TRUE(server.Wait().exited);
}

class ServingServer : public ServerTest {
 protected:
  // Starts the registered server directly and waits until it owns its name.
  void StartServer() {
    std::vector<std::string> argv = {ServerPath()};
    EnvChanges env = ServerEnv();
    env["DBUS_SESSION_BUS_ADDRESS"] = bus_.address();
    ASSERT_TRUE(server_.Start(argv, env));
    ASSERT_TRUE(PumpUntil(client(), [&] { return client().NameHasOwner(kServiceName); }))
        << "the server does not take its name";
    ASSERT_EQ(static_cast<pid_t>(client().NameOwnerPid(kServiceName)), server_.pid());
  }
  Child server_;
};

TEST_F(ServingServer, SigtermEndsItWithExitCodeZero) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  const std::string obj = client().CreateInstance();  // a live object does not hold the process
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), u"Hello");
  server_.Signal(SIGTERM);
  const ProcessResult r = server_.Wait();
  ASSERT_TRUE(r.exited) << (r.timed_out ? "it kept running" : "killed by signal " + std::to_string(r.signal));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_FALSE(client().NameHasOwner(kServiceName));
}

TEST_F(ServingServer, SigintEndsItWithExitCodeZero) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  server_.Signal(SIGINT);
  const ProcessResult r = server_.Wait();
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0) << r.err;
}

TEST_F(ServingServer, LosingTheBusEndsItWithExitCodeZero) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  bus_.Stop();
  const ProcessResult r = server_.Wait();
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0) << r.err;
}

TEST_F(ServingServer, ANormalStartWritesTheActivationFileAgain) {
  ASSERT_FALSE(FileExists(StartupServiceFile()));
  ASSERT_NO_FATAL_FAILURE(StartServer());
  // Calls are served once start-up is complete.
  EXPECT_EQ(client().GetCurCharsetCode(kClassObjectPath), 0);
  EXPECT_EQ(ReadFile(StartupServiceFile()),
            "[D-BUS Service]\nName=Mivo.DataBase.OLEServer\nExec=" + ServerPath() + "\n");
}

}  // namespace
}  // namespace mivo::test
