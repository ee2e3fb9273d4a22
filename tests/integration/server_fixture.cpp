#include "integration/server_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace mivo::itest {

std::string BinDir() {
  if (const char* dir = std::getenv("MIVODB_BIN_DIR"); dir && *dir) return dir;
  // build/tests/integration/<test> -> build
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return self.parent_path().parent_path().parent_path().string();
}

std::string ServerPath() {
  std::error_code ec;
  const auto path = std::filesystem::canonical(BinDir() + "/app/mivodb", ec);
  return ec ? BinDir() + "/app/mivodb" : path.string();
}

std::string ToolPath() { return BinDir() + "/tools/mivoctl"; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// ---- Child ----

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (out_ >= 0) ::close(out_);
  if (err_ >= 0) ::close(err_);
}

bool Child::Start(const std::vector<std::string>& argv, const EnvChanges& env) {
  result_ = ProcessResult();
  // The environment and arguments are built before fork: the child only calls async-signal-safe functions.
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (env.count(name) == 0) env_strings.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (value) env_strings.push_back(name + "=" + *value);
  }
  std::vector<char*> envp, args;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return false;
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return false;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
    return false;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  out_ = out_pipe[0];
  err_ = err_pipe[0];
  pid_ = pid;
  result_.started = true;
  return true;
}

void Child::Drain(int timeout_ms) {
  pollfd fds[2];
  int n = 0;
  if (out_ >= 0) fds[n++] = {out_, POLLIN, 0};
  if (err_ >= 0) fds[n++] = {err_, POLLIN, 0};
  if (n == 0) {
    if (timeout_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    return;
  }
  if (::poll(fds, n, timeout_ms) <= 0) return;
  for (int i = 0; i < n; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[4096];
    const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
    std::string& sink = fds[i].fd == out_ ? result_.out : result_.err;
    if (got > 0) {
      sink.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      int& fd = fds[i].fd == out_ ? out_ : err_;
      ::close(fd);
      fd = -1;
    }
  }
}

ProcessResult Child::Wait(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (pid_ > 0) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      result_.exited = WIFEXITED(status);
      result_.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      result_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      pid_ = -1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      result_.timed_out = true;
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
      break;
    }
    Drain(20);
  }
  // Whatever is left in the pipes (a grandchild holding them open is not waited for long).
  for (int i = 0; i < 50 && (out_ >= 0 || err_ >= 0); ++i) Drain(20);
  return result_;
}

void Child::Signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

ProcessResult RunProgram(const std::vector<std::string>& argv, const EnvChanges& env,
                         std::chrono::milliseconds limit) {
  Child child;
  if (!child.Start(argv, env)) return ProcessResult();
  return child.Wait(limit);
}

// ---- ServerTest ----

ServerTest::ServerTest() = default;
ServerTest::~ServerTest() = default;

void ServerTest::SetEnv(const std::string& name, const std::optional<std::string>& value) {
  const char* old = std::getenv(name.c_str());
  saved_env_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

EnvChanges ServerTest::ServerEnv() const {
  return {{"MIVODB_MACHINE_HIVE", hives_.machineHive()},
          {"MIVODB_USER_HIVE", hives_.userHive()},
          {"MIVODB_DBUS_SERVICE_DIR", startup_services_.path()},
          {"LC_ALL", "C.UTF-8"},
          {"LANGUAGE", std::nullopt}};
}

void ServerTest::SetUp() {
  // The daemon passes its environment on to the servers it starts, so it is set before the daemon runs.
  for (const auto& [name, value] : ServerEnv()) SetEnv(name, value);
  mivo::test::DbusTest::SetUp();
  if (HasFatalFailure()) return;
  if (standard_data_) WriteStandardData();
  if (register_) RegisterServer();
}

void ServerTest::WriteStandardData() {
  using mivotest::Text;
  mivotest::MakeStandardDb(Db("lang.db"), {1031, 1033, 1049, 1041},
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
  mivotest::MakeStandardDb(Db("conf.db"), {99},
                           {
                               {"Server", "Host", 99, "localhost"},
                               {"Server", "Port", 99, "8080"},
                           });
  mivotest::SetRegString(true, kVersionKey, "Base", dbs_.path());
  mivotest::SetRegString(true, kLanguageListKey, "Main", "%Base%/lang.db");
  mivotest::SetRegString(true, kConfigListKey, "Conf", Db("conf.db"));
  mivotest::SetRegDword(false, kSettingsKey, "FallBackLanguageId", 0x0407);
  mivotest::SetRegDword(false, kSettingsKey, "LanguageId", 0x0409);
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

std::unique_ptr<ole::MivoClient> ServerTest::NewClient() {
  auto c = ole::MivoClient::Connect(bus_.address());
  c->SetTimeout(kWaitLimit);
  return c;
}

ole::MivoClient& ServerTest::client() {
  if (!client_) client_ = NewClient();
  return *client_;
}

pid_t ServerTest::ServerPid() {
  const auto pid = static_cast<pid_t>(client().NameOwnerPid(ole::kServiceName));
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
      auto c = ole::MivoClient::Connect(bus_.address());
      c->SetTimeout(2s);
      if (c->NameHasOwner(ole::kServiceName)) server_pids_.insert(c->NameOwnerPid(ole::kServiceName));
    } catch (const ole::BusError&) {
      // No bus, no server to look for.
    }
  }
  client_.reset();
  mivo::test::DbusTest::TearDown();
  for (pid_t pid : server_pids_) {
    if (!WaitGone(pid, 5s)) {
      ADD_FAILURE() << "the server " << pid << " outlived its bus; killed";
      ::kill(pid, SIGKILL);
      WaitGone(pid, 5s);
    }
  }
  for (auto it = saved_env_.rbegin(); it != saved_env_.rend(); ++it) {
    if (it->second) {
      ::setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      ::unsetenv(it->first.c_str());
    }
  }
  saved_env_.clear();
}

}  // namespace mivo::itest
