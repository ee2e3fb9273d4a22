// The application's loop with the automation runtime: AfxOleInit installs the bus loop; SIGTERM, SIGINT and
// the loss of the bus end it in order (ExitInstance runs, exit code 0); the connection's address; a
// registration run without a bus. Every run happens in a child process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/afx/winapp.h"
#include "platform/ole/afxdisp.h"
#include "platform/ole/bus_client.h"
#include "platform/ole/test_target.h"
#include "support/dbus_fixture.h"

namespace mivo::test {
namespace {

// The server's application shape: automation runtime, class factories, then the loop.
class ServerApp : public CWinApp {
 public:
  explicit ServerApp(int fd) : fd_(fd) {}

  void Note(const std::string& text) const { WriteNote(fd_, text); }

  BOOL InitInstance() override {
    if (!AfxOleInit()) {
      Note("no runtime");
      return FALSE;
    }
    Note(std::string("connected ") + (mivo::ole::IsConnected() ? "yes" : "no"));
    if (!COleObjectFactory::RegisterAll()) {
      Note("not registered");
      return FALSE;
    }
    Note("ready");
    return TRUE;
  }
  int ExitInstance() override {
    Note("exit with " + std::to_string(AfxOleGetLockCount()) + " objects");
    return CWinApp::ExitInstance();
  }

 private:
  int fd_;
};

// Runs the server application in a child; `when_ready` runs in the parent once the child wrote "ready".
ForkRun RunServer(std::vector<std::string> args, const std::function<void(pid_t)>& when_ready = {}) {
  TestFactory();
  return RunForked(
      [&](int fd) -> int {
        ServerApp app(fd);
        AfxAddTermHandler(
            [&app] { app.Note("after the runtime ended: " + std::to_string(AfxOleGetLockCount())); });
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::_exit(AfxWinMain(static_cast<int>(args.size()), argv.data()));  // before the application goes
      },
      [&](const std::string& note, pid_t pid) {
        if (note == "ready" && when_ready) when_ready(pid);
      });
}

using Notes = std::vector<std::string>;

class LoopTest : public DbusTest {
 protected:
  // Waits until the child owns the name, then sends `signal`.
  std::function<void(pid_t)> SignalWhenServing(int signal) {
    return [this, signal](pid_t pid) {
      BusClient client;
      ASSERT_TRUE(client.Connect());
      EXPECT_TRUE(WaitUntil([&] { return client.OwnerPid() == pid; }));
      ::kill(pid, signal);
    };
  }
};

TEST_F(LoopTest, SigtermEndsTheBusLoopThroughExitInstance) {
  const ForkRun run = RunServer({"server"}, SignalWhenServing(SIGTERM));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.notes,
            Notes({"connected yes", "ready", "exit with 0 objects", "after the runtime ended: 0"}));
}

TEST_F(LoopTest, SigintEndsTheBusLoopThroughExitInstance) {
  const ForkRun run = RunServer({"server"}, SignalWhenServing(SIGINT));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.notes.back(), "after the runtime ended: 0");
}

TEST_F(LoopTest, LossOfTheBusEndsTheLoopThroughExitInstance) {
  const ForkRun run = RunServer({"server"}, [this](pid_t pid) {
    BusClient client;
    ASSERT_TRUE(client.Connect());
    EXPECT_TRUE(WaitUntil([&] { return client.OwnerPid() == pid; }));
    client.Close();
    bus_.Stop();
  });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.notes,
            Notes({"connected yes", "ready", "exit with 0 objects", "after the runtime ended: 0"}));
}

TEST_F(LoopTest, TheRuntimesEndDropsTheObjectsThatAreLeft) {
  BusClient client;
  ASSERT_TRUE(client.Connect());
  const ForkRun run = RunServer({"server"}, [&client](pid_t pid) {
    EXPECT_TRUE(WaitUntil([&] { return client.OwnerPid() == pid; }));
    EXPECT_FALSE(client.CreateInstance().empty());
    EXPECT_FALSE(client.CreateInstance().empty());
    ::kill(pid, SIGTERM);
  });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.notes,
            Notes({"connected yes", "ready", "exit with 2 objects", "after the runtime ended: 0"}));
}

TEST_F(LoopTest, StarterAddressIsPreferredToTheSessionBus) {
  ::setenv("DBUS_STARTER_ADDRESS", bus_.address().c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/mivodb-test-socket", 1);
  const ForkRun run = RunServer({"server"}, [this](pid_t pid) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus_.address().c_str(), 1);
    BusClient client;
    ASSERT_TRUE(client.Connect());
    EXPECT_TRUE(WaitUntil([&] { return client.OwnerPid() == pid; }));
    ::kill(pid, SIGTERM);
  });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.notes.front(), "connected yes");
}

TEST_F(LoopTest, WithoutABusTheRuntimeCannotStart) {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/mivodb-test-socket", 1);
  const ForkRun run = RunServer({"server"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.notes, Notes({"no runtime", "exit with 0 objects", "after the runtime ended: 0"}));
}

TEST_F(LoopTest, RegistrationRunNeedsNoBus) {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/mivodb-test-socket", 1);
  for (const char* option : {"/RegServer", "-regserver", "/UnregServer", "-UNREGSERVER", "/RegServerX"}) {
    const ForkRun run = RunServer({"server", "first", option});
    EXPECT_EQ(run.notes,
              Notes({"connected no", "not registered", "exit with 0 objects", "after the runtime ended: 0"}))
        << option;
  }
}

TEST(RegistrationRun, IsTheSwitchAnywhereInTheCommandLine) {
  // In the test process AfxWinMain never ran: there is no command line.
  EXPECT_FALSE(mivo::ole::IsRegistrationRun());
  EXPECT_FALSE(mivo::ole::IsConnected());
  EXPECT_EQ(mivo::ole::RunMessageLoop(), 0) << "without a connection the loop returns at once";
}

}  // namespace
}  // namespace mivo::test
