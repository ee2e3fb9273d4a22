// The bus daemon killed under a serving, bus-started server: the server ends through its orderly end
// (exit code 0, which only the return from ExitInstance gives a serving server) and a new bus starts a new
// server that serves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "integration/server_fixture.h"
#include "support/ExclusiveLock.h"

namespace mivo::test {
namespace {

struct ExitStatus {
  bool reaped = false;  // the process ended within the limit
  bool exited = false;  // by returning from main (or exit), not by a signal
  int code = -1;
  int signal = 0;
};

// Waits for a child of this process (an orphan adopted as its subreaper) to end, at most kWaitLimit.
ExitStatus WaitForAdopted(pid_t pid) {
  ExitStatus status;
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    int raw = 0;
    const pid_t r = ::waitpid(pid, &raw, WNOHANG);
    if (r == pid) {
      status.reaped = true;
      status.exited = WIFEXITED(raw);
      status.code = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      status.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
      return status;
    }
    if (r < 0 && errno != EINTR) return status;  // not (or no longer) our child
    std::this_thread::sleep_for(20ms);
  }
  return status;
}

// True when process `pid` has `file` open.
bool HasOpen(pid_t pid, const std::string& file) {
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code link_ec;
    if (std::filesystem::read_symlink(fd.path(), link_ec).string() == file) return true;
  }
  return false;
}

class KilledBus : public ServerTest {
 protected:
  void SetUp() override {
    // The server is a child of the daemon (or of its helper); once the daemon is gone it becomes a child
    // of this process, which can then read how it ended.
    ASSERT_EQ(::prctl(PR_GET_CHILD_SUBREAPER, &was_subreaper_), 0);
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    ServerTest::SetUp();
  }
  void TearDown() override {
    ServerTest::TearDown();
    ::prctl(PR_SET_CHILD_SUBREAPER, was_subreaper_);
  }

  // A new private bus in place of the killed one, with the server registered on it.
  void StartNewBus() {
    bus_.Stop();  // reaps the killed daemon
    std::string error;
    ASSERT_TRUE(bus_.Start(&error)) << error;  // in a new folder: the old one goes
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus_.address().c_str(), 1);
    RegisterServer();
  }

  int was_subreaper_ = 0;
};

TEST_F(KilledBus, TheServerEndsInOrderAndANewBusStartsANewServer) {
  const std::string obj = client().CreateInstance();  // a live object does not hold the process
  ASSERT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), u"Hello");
  ASSERT_TRUE(client().SetLanguage(obj, 0x0419, true));
  const auto server = static_cast<pid_t>(client().NameOwnerPid(kServiceName));

  ASSERT_EQ(::kill(bus_.pid(), SIGKILL), 0);
  const ExitStatus end = WaitForAdopted(server);
  ASSERT_TRUE(end.reaped) << "the server did not end after losing its bus (or was not adopted)";
  EXPECT_TRUE(end.exited) << "ended by signal " << end.signal;
  EXPECT_EQ(end.code, 0);

  ASSERT_NO_FATAL_FAILURE(StartNewBus());
  auto next = NewClient();
  EXPECT_EQ(next->GetLanguageString(kClassObjectPath, u"Demo", u"Greeting"), U(kRussianHello))
      << "the new server starts with the language the last one selected";
  EXPECT_EQ(next->GetConfigString(kClassObjectPath, u"Server", u"Host"), u"localhost");
  EXPECT_NE(static_cast<pid_t>(next->NameOwnerPid(kServiceName)), server);
}

// The daemon killed while the server is inside a call (a refresh waiting for a locked configuration
// database): the server finishes the call, cannot deliver its report or its reply, and still ends in order.
TEST_F(KilledBus, AServerInTheMiddleOfACallEndsInOrderToo) {
  ASSERT_EQ(client().GetConfigString(kClassObjectPath, u"Server", u"Host"), u"localhost");
  const auto server = static_cast<pid_t>(client().NameOwnerPid(kServiceName));
  ExclusiveLockHolder lock;
  ASSERT_TRUE(lock.Hold(Db("conf.db")));

  const std::string address = bus_.address();
  std::thread caller([address] {
    try {
      auto c = CMivoDBClient::Connect(address);
      c->SetTimeout(kWaitLimit);
      c->RefreshConfDB(kClassObjectPath);
    } catch (const ole::BusError&) {
      // The bus went away under the call.
    }
  });
  // The server is inside the call once it has the database file open.
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!HasOpen(server, Db("conf.db")) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  const bool inside = HasOpen(server, Db("conf.db"));
  ASSERT_EQ(::kill(bus_.pid(), SIGKILL), 0);
  caller.join();
  ASSERT_TRUE(inside) << "the server never opened the database for the refresh";
  const ExitStatus end = WaitForAdopted(server);
  ASSERT_TRUE(end.reaped) << "the server did not end after losing its bus";
  EXPECT_TRUE(end.exited) << "ended by signal " << end.signal;
  EXPECT_EQ(end.code, 0);

  lock.Release();
  ASSERT_NO_FATAL_FAILURE(StartNewBus());
  EXPECT_EQ(NewClient()->GetConfigString(kClassObjectPath, u"Server", u"Host"), u"localhost");
}

}  // namespace
}  // namespace mivo::test
