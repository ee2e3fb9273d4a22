#include "integration/server_fixture.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

namespace mivo::test {

// ---- ServerTest ----

ServerTest::ServerTest() = default;
ServerTest::~ServerTest() = default;

EnvChanges ServerTest::ServerEnv() const {
  return {{"MIVODB_MACHINE_HIVE", hives_.machineHive()},
          {"MIVODB_USER_HIVE", hives_.userHive()},
          {"MIVODB_DBUS_SERVICE_DIR", startup_services_.path()},
          {"LC_ALL", "C.UTF-8"},
          {"LANGUAGE", std::nullopt}};
}

void ServerTest::SetUp() {
  // The daemon passes its environment on to the servers it starts, so it is set before the daemon runs.
  for (const auto& [name, value] : ServerEnv()) {
    if (value) {
      env_.Set(name, *value);
    } else {
      env_.Unset(name);
    }
  }
  DbusTest::SetUp();
  if (HasFatalFailure()) return;
  if (standard_data_) WriteStandardData();
  if (register_) RegisterServer();
}

void ServerTest::WriteStandardData() {
  MakeStandardDb(Db("lang.db"), {1031, 1033, 1049, 1041},
                 {
                     {"Demo", "Greeting", 0x0407, "Hallo"},
                     {"Demo", "Greeting", 0x0409, "Hello"},
                     {"Demo", "Greeting", 0x0419, kRussianHelloStored},
                     {"Demo", "Greeting", 0x0411, kJapaneseHelloStored},
                     {"Demo", "OnlyGerman", 0x0407, "Nur Deutsch"},
                     {"Demo", "EmptyEnglish", 0x0409, ""},
                     {"Demo", "EmptyEnglish", 0x0407, "Leer auf Englisch"},
                     {"", "K", 0x0409, "under the empty module name"},
                 });
  MakeStandardDb(Db("conf.db"), {99},
                 {
                     {"Server", "Host", 99, "localhost"},
                     {"Server", "Port", 99, "8080"},
                 });
  SetRegString(true, kVersionKey, "Base", dbs_.path());
  SetRegString(true, kLanguageListKey, "Main", "%Base%/lang.db");
  SetRegString(true, kConfigListKey, "Conf", Db("conf.db"));
  SetRegDword(false, kSettingsKey, "FallBackLanguageId", 0x0407);
  SetRegDword(false, kSettingsKey, "LanguageId", 0x0409);
}

ProcessResult ServerTest::RunServer(const std::vector<std::string>& args) { return RunServer(args, {}); }

ProcessResult ServerTest::RunServer(const std::vector<std::string>& args, const EnvChanges& env) {
  std::vector<std::string> argv = {ServerPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  EnvChanges all = ServerEnv();
  all["MIVODB_DBUS_SERVICE_DIR"] = bus_.service_dir();
  all["DBUS_SESSION_BUS_ADDRESS"] = bus_.address();
  for (const auto& [name, value] : env) all[name] = value;
  return RunProgram(argv, all);
}

void ServerTest::RegisterServer() {
  const ProcessResult r = RunServer({"/RegServer"});
  ASSERT_TRUE(r.exited) << "mivodb /RegServer did not end by itself; stderr: " << r.err;
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_TRUE(FileExists(BusServiceFile())) << "no activation file after /RegServer; stderr: " << r.err;
}

std::unique_ptr<CMivoDBClient> ServerTest::NewClient() {
  auto c = CMivoDBClient::Connect(bus_.address());
  c->SetTimeout(kWaitLimit);
  return c;
}

CMivoDBClient& ServerTest::client() {
  if (!client_) client_ = NewClient();
  return *client_;
}

pid_t ServerTest::ServerPid() {
  const auto pid = static_cast<pid_t>(client().NameOwnerPid(kServiceName));
  server_pids_.insert(pid);
  return pid;
}

bool ServerTest::WaitGone(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    // Our own child is reaped here; another process counts as gone once it is a zombie.
    int status = 0;
    ::waitpid(pid, &status, WNOHANG);
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const auto paren = stat.rfind(')');
    if (stat.empty() || (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z')) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

void ServerTest::TearDown() {
  // The server that serves now, if any, is ended with the bus; a stuck one is killed.
  if (bus_.running()) {
    try {
      auto c = CMivoDBClient::Connect(bus_.address());
      c->SetTimeout(2s);
      if (c->NameHasOwner(kServiceName)) server_pids_.insert(c->NameOwnerPid(kServiceName));
    } catch (const ole::BusError&) {
      // No bus, no server to look for.
    }
  }
  client_.reset();
  DbusTest::TearDown();
  for (pid_t pid : server_pids_) {
    if (!WaitGone(pid, 5s)) {
      ADD_FAILURE() << "the server " << pid << " outlived its bus; killed";
      ::kill(pid, SIGKILL);
      WaitGone(pid, 5s);
    }
  }
  env_.Restore();
}

}  // namespace mivo::test
