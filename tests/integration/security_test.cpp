// Who reaches the server: only the user it runs as (and root), whatever the bus admits.
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "integration/server_fixture.h"

namespace mivo::test {
namespace {

class BusUsers : public ServerTest, public ::testing::WithParamInterface<bool> {
 protected:
  BusUsers() { bus_.SetOtherUsersAllowed(GetParam()); }

  // busctl with `words` on the private bus, as `uid` (0: this process's user).
  ProcessResult Busctl(int uid, const std::vector<std::string>& words) {
    std::vector<std::string> argv;
    if (uid != 0) {
      argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
              "--clear-groups"};
    }
    argv.push_back("/usr/bin/busctl");
    argv.push_back("--address=" + bus_.address());
    argv.insert(argv.end(), words.begin(), words.end());
    return RunProgram(argv);
  }
  ProcessResult GetLanguageString(int uid) {
    return Busctl(uid, {"call", kServiceName, kClassObjectPath, kMethodsInterface, "GetLanguageString", "ss",
                        "Demo", "Greeting"});
  }
  // A call to the bus itself: succeeds once the bus has admitted the client.
  ProcessResult BusGetId(int uid) {
    return Busctl(uid,
                  {"call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId"});
  }
};

// The stock session bus admits only its own user. Where a bus admits everybody, the server still answers
// its own user (and root) only: the methods are not marked callable by unprivileged peers.
TEST_P(BusUsers, AnotherUsersClientNeverGetsAnAnswerFromTheServer) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as uid 65534";
  for (const char* tool : {"/usr/bin/setpriv", "/usr/bin/busctl"}) {
    if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
  }
  const ProcessResult own = GetLanguageString(0);
  EXPECT_EQ(own.code, 0) << own.err;
  EXPECT_EQ(own.out, "s \"Hello\"\n");

  const ProcessResult admitted = BusGetId(65534);
  ASSERT_TRUE(admitted.exited) << admitted.err;
  EXPECT_EQ(admitted.code == 0, GetParam()) << admitted.err;

  const ProcessResult other = GetLanguageString(65534);
  ASSERT_TRUE(other.exited) << other.err;
  EXPECT_NE(other.code, 0);
  EXPECT_EQ(other.out, "");
  if (GetParam()) {
    EXPECT_NE(other.err.find("Access denied"), std::string::npos) << other.err;
  }
}

// The server learns a caller's user once per connection: neither many calls on one connection nor a new
// connection of the same user gets another user's client an answer, and its own user is answered in between.
TEST_P(BusUsers, AnotherUserStaysRefusedAfterManyCallsAndAfterReconnecting) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as uid 65534";
  if (!GetParam()) GTEST_SKIP() << "the stock policy admits no other user to the bus at all";
  EXPECT_EQ(AfxToUtf8(client().GetLanguageString(client().class_path(), u"Demo", u"Greeting")), "Hello");
  for (int connection = 0; connection < 2; ++connection) {
    const ForkRun run = RunForked([&](int fd) {
      if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
          ::setresuid(65534, 65534, 65534) != 0) {
        return 2;
      }
      int refused = 0;
      try {
        std::unique_ptr<CMivoDBClient> other = NewClient();
        for (int i = 0; i < 200; ++i) {
          try {
            other->GetLanguageString(other->class_path(), u"Demo", u"Greeting");
            WriteNote(fd, "answered on call " + std::to_string(i));
          } catch (const ole::BusError& e) {
            if (e.name() == "org.freedesktop.DBus.Error.AccessDenied") ++refused;
          }
        }
      } catch (const std::exception& e) {
        WriteNote(fd, e.what());
      }
      return refused == 200 ? 0 : 1;
    });
    EXPECT_EQ(run.exit_code, 0) << ::testing::PrintToString(run.notes);
    EXPECT_EQ(AfxToUtf8(client().GetLanguageString(client().class_path(), u"Demo", u"Greeting")), "Hello");
  }
}

INSTANTIATE_TEST_SUITE_P(SessionBus, BusUsers, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "AdmitsEverybody" : "StockPolicy";
                         });

}  // namespace
}  // namespace mivo::test
