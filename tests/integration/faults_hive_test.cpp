// Hive files that became read-only or damaged between two start-ups: the server starts, reports a damaged
// file by name, serves what it can, and never writes, repairs or replaces the file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "integration/server_fixture.h"

namespace mivo::test {
namespace {

const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups"};

class HiveFault : public ServerTest {
 protected:
  // Starts the registered server directly (through `prefix`, e.g. setpriv), with its stderr captured.
  // True once it owns its name; false when it ended or did not take the name within the limit.
  bool StartServer(const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(ServerPath());
    EnvChanges env = ServerEnv();
    env["DBUS_SESSION_BUS_ADDRESS"] = bus_.address();
    server_ = std::make_unique<Child>();
    if (!server_->Start(argv, env)) return false;
    const pid_t pid = server_->pid();
    return PumpUntil(client(),
                     [&] {
                       return (client().NameHasOwner(kServiceName) &&
                               static_cast<pid_t>(client().NameOwnerPid(kServiceName)) == pid) ||
                              Ended(pid);
                     }) &&
           !Ended(pid);
  }

  // True when the child `pid` has ended; it is left to be reaped by Child::Wait.
  static bool Ended(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
  }

  // Ends the server with SIGTERM and returns how it ended.
  ProcessResult StopServer() {
    server_->Signal(SIGTERM);
    return server_->Wait();
  }

  // A first start-up on the sound hives, which selects a language and ends in order.
  void ServeOnceOnSoundHives() {
    ASSERT_TRUE(StartServer());
    ASSERT_EQ(client().GetLanguageString(kClassObjectPath, u"Demo", u"Greeting"), u"Hello");
    const ProcessResult r = StopServer();
    ASSERT_TRUE(r.exited);
    ASSERT_EQ(r.code, 0) << r.err;
  }

  static void Overwrite(const std::string& file, off_t offset, const std::string& bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }

  static std::string Garbage(std::size_t n) {
    std::mt19937 random(1234);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
  }

  std::unique_ptr<Child> server_;
};

TEST_F(HiveFault, ReadOnlyHivesServeAsTheyAreAndStayByteForByteTheSame) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the server as uid 65534";
  if (!FileExists(kAsNobody[0])) GTEST_SKIP() << "setpriv is not installed";
  ASSERT_NO_FATAL_FAILURE(ServeOnceOnSoundHives());
  for (const std::string& hive : {hives_.machineHive(), hives_.userHive()}) {
    ASSERT_EQ(::chmod(hive.c_str(), 0444), 0);
  }
  const std::string machine = ReadFile(hives_.machineHive()), user = ReadFile(hives_.userHive());

  ASSERT_TRUE(StartServer(kAsNobody)) << "the server as uid 65534 did not serve";
  const std::string status = ReadFile("/proc/" + std::to_string(server_->pid()) + "/status");
  ASSERT_NE(status.find("\nUid:\t65534\t"), std::string::npos) << status;
  const std::string obj = client().CreateInstance();
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), u"Hello");
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"OnlyGerman"), u"Nur Deutsch");
  EXPECT_EQ(client().GetConfigString(obj, u"Server", u"Host"), u"localhost");
  EXPECT_TRUE(client().SetLanguage(obj, 0x0419, true)) << "the language switches though it cannot be kept";
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), U(kRussianHello));
  const ProcessResult r = StopServer();
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0) << r.err;

  EXPECT_EQ(ReadFile(hives_.machineHive()), machine);
  EXPECT_EQ(ReadFile(hives_.userHive()), user);
  EXPECT_FALSE(FileExists(hives_.userHive() + "-journal"));
  unsigned id = 0;
  ASSERT_TRUE(GetRegDword(false, kSettingsKey, "LanguageId", id));
  EXPECT_EQ(id, 0x0409u);
}

enum class HiveDamage { kGarbageHeader, kGarbageInside, kTruncated };

struct DamageCase {
  HiveDamage damage;
  const char* name;
};

void PrintTo(const DamageCase& damage, std::ostream* os) { *os << damage.name; }

class DamagedUserHive : public HiveFault, public ::testing::WithParamInterface<DamageCase> {
 protected:
  void DamageFile(const std::string& file) {
    const std::string sound = ReadFile(file);
    ASSERT_GT(sound.size(), 8192u);
    switch (GetParam().damage) {
      case HiveDamage::kGarbageHeader:
        Overwrite(file, 0, Garbage(100));
        break;
      case HiveDamage::kGarbageInside:  // the header stays; the pages after the first do not
        Overwrite(file, 4096, Garbage(sound.size() - 4096));
        break;
      case HiveDamage::kTruncated:
        ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(sound.size() / 2)), 0);
        break;
    }
  }
};

TEST_P(DamagedUserHive, IsReportedByNameNeverRewrittenAndTheServerServesWithoutIt) {
  ASSERT_NO_FATAL_FAILURE(ServeOnceOnSoundHives());
  ASSERT_NO_FATAL_FAILURE(DamageFile(hives_.userHive()));
  const std::string damaged = ReadFile(hives_.userHive());

  ASSERT_TRUE(StartServer()) << "the server did not serve";
  const std::string obj = client().CreateInstance();
  // Without the user settings: the language of the locale (C.UTF-8: 0x0409) and no fallback language.
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), u"Hello");
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"OnlyGerman"), u"OnlyGerman");
  EXPECT_EQ(client().GetConfigString(obj, u"Server", u"Host"), u"localhost");
  EXPECT_TRUE(client().SetLanguage(obj, 0x0419, true));
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), U(kRussianHello));
  const ProcessResult r = StopServer();
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find(hives_.userHive()), std::string::npos) << "the damaged file is not named: " << r.err;

  EXPECT_EQ(ReadFile(hives_.userHive()), damaged) << "the damaged hive was changed";
  EXPECT_FALSE(FileExists(hives_.userHive() + "-journal"));
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedUserHive,
                         ::testing::Values(DamageCase{HiveDamage::kGarbageHeader, "GarbageHeader"},
                                           DamageCase{HiveDamage::kGarbageInside, "GarbageInside"},
                                           DamageCase{HiveDamage::kTruncated, "Truncated"}),
                         [](const auto& test) { return std::string(test.param.name); });

// Without a readable machine hive the server has no registration and no database lists: it cannot serve,
// and says which file is damaged instead of claiming that it is not registered.
TEST_F(HiveFault, ADamagedMachineHiveIsReportedByNameAndLeftAsItIs) {
  ASSERT_NO_FATAL_FAILURE(ServeOnceOnSoundHives());
  Overwrite(hives_.machineHive(), 0, Garbage(100));
  const std::string damaged = ReadFile(hives_.machineHive());

  EXPECT_FALSE(StartServer());
  const ProcessResult r = server_->Wait();
  EXPECT_TRUE(r.exited) << (r.timed_out ? "it kept running" : "killed by signal " + std::to_string(r.signal));
  EXPECT_NE(r.err.find(hives_.machineHive()), std::string::npos)
      << "the damaged file is not named: " << r.err;
  EXPECT_EQ(ReadFile(hives_.machineHive()), damaged) << "the damaged hive was changed";
}

}  // namespace
}  // namespace mivo::test
