#include "support/dbus_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace mivo::test {
namespace {

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

void Fail(std::string* error, const std::string& text) {
  if (error) *error = text + (errno ? std::string(": ") + std::strerror(errno) : std::string());
}

}  // namespace

PrivateBus::~PrivateBus() { Stop(); }

bool PrivateBus::Start(std::string* error) {
  if (running()) return true;
  errno = 0;
  try {
    dir_ = std::make_unique<TempDir>();
  } catch (const std::exception& e) {
    Fail(error, e.what());
    return false;
  }
  const std::string& directory = dir_->path();
  service_dir_ = directory + "/services";
  if (::mkdir(service_dir_.c_str(), 0755) != 0) {
    Fail(error, "mkdir " + service_dir_);
    return false;
  }
  const std::string config = directory + "/bus.conf";
  {
    std::ofstream out(config);
    out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:path="
        << XmlEscape(directory) << "/socket</listen>\n"
        << "  <auth>EXTERNAL</auth>\n"
           "  <servicedir>"
        << XmlEscape(service_dir_) << "</servicedir>\n"
        << "  <policy context=\"default\">\n"
        << (other_users_allowed_ ? "    <allow user=\"*\"/>\n" : "")
        << "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    if (!out) {
      Fail(error, "write " + config);
      return false;
    }
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    Fail(error, "pipe");
    return false;
  }
  // Everything the child needs, prepared before fork.
  const std::string config_arg = "--config-file=" + config;
  const std::string print_arg = "--print-address=3";
  std::vector<char*> argv = {const_cast<char*>("dbus-daemon"),     const_cast<char*>(config_arg.c_str()),
                             const_cast<char*>("--nofork"),        const_cast<char*>("--nopidfile"),
                             const_cast<char*>(print_arg.c_str()), nullptr};
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    Fail(error, "fork");
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the test
    if (::getppid() != parent) ::_exit(127);
    if (fds[1] == 3) {
      ::fcntl(3, F_SETFD, 0);
    } else {
      ::dup2(fds[1], 3);  // the copy is not close-on-exec
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execvp("dbus-daemon", argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  pid_ = pid;
  std::string line;
  char c = 0;
  for (;;) {
    const ssize_t n = ::read(fds[0], &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    line += c;
  }
  ::close(fds[0]);
  if (line.empty()) {
    errno = 0;
    Fail(error, "dbus-daemon printed no address");
    Stop();
    return false;
  }
  address_ = line;
  return true;
}

void PrivateBus::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

void PrivateBus::Reload() {
  if (pid_ > 0) ::kill(pid_, SIGHUP);
}

void DbusTest::SetUp() {
  std::string error;
  ASSERT_TRUE(bus_.Start(&error)) << "cannot start a private bus: " << error;
  env_.Set("DBUS_SESSION_BUS_ADDRESS", bus_.address());
  env_.Unset("DBUS_STARTER_ADDRESS");
  env_.Unset("DBUS_STARTER_BUS_TYPE");
}

void DbusTest::TearDown() {
  bus_.Stop();
  env_.Restore();
}

}  // namespace mivo::test
