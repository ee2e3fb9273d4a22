// The processes and built programs of support/TestEnv.h.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "support/TestEnv.h"

extern char** environ;

namespace mivo::test {

std::string BinDir() {
  if (const char* dir = std::getenv("MIVODB_BIN_DIR"); dir && *dir) return dir;
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
  for (; !ec && folder.has_relative_path(); folder = folder.parent_path()) {
    if (std::filesystem::exists(folder / "CMakeCache.txt", ec)) return folder.string();
  }
  return ".";
}

std::string ServerPath() {
  std::error_code ec;
  const auto path = std::filesystem::canonical(BinDir() + "/app/mivodb", ec);
  return ec ? BinDir() + "/app/mivodb" : path.string();
}

std::string ToolPath() { return BinDir() + "/tools/mivoctl"; }

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

namespace {

// A descriptor to read `input` from: /dev/null for none, else an anonymous file in memory holding it.
int InputFile(const std::string& input) {
  if (input.empty()) return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int fd = ::memfd_create("mivodb-test-input", MFD_CLOEXEC);
  for (std::size_t done = 0; fd >= 0 && done < input.size();) {
    const ssize_t n = ::write(fd, input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (fd >= 0) ::lseek(fd, 0, SEEK_SET);
  return fd;
}

}  // namespace

bool Child::Start(const std::vector<std::string>& argv, const EnvChanges& env, const std::string& input) {
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
  const int in = InputFile(input);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], in}) ::close(fd);
    return false;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    if (in >= 0) ::dup2(in, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (in >= 0) ::close(in);
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
                         std::chrono::milliseconds limit, const std::string& input) {
  Child child;
  if (!child.Start(argv, env, input)) return ProcessResult();
  return child.Wait(limit);
}

ForkRun RunForked(const std::function<int(int fd)>& body,
                  const std::function<void(const std::string& note, pid_t pid)>& on_note) {
  ForkRun run;
  int fds[2];
  if (::pipe(fds) != 0) return run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::_exit(body(fds[1]));
  }
  ::close(fds[1]);
  std::string line;
  char c = 0;
  for (;;) {
    const ssize_t n = ::read(fds[0], &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c != '\n') {
      line += c;
      continue;
    }
    run.notes.push_back(line);
    if (on_note) on_note(line, pid);
    line.clear();
  }
  ::close(fds[0]);
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pid > 0) run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

void WriteNote(int fd, const std::string& text) {
  const std::string line = text + "\n";
  [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
}

ProcessResult RunTool(const std::vector<std::string>& args, const std::string& input,
                      const std::vector<std::string>& prefix) {
  std::vector<std::string> argv = prefix;
  argv.push_back(ToolPath());
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, {}, std::chrono::minutes(5), input);
}

}  // namespace mivo::test
