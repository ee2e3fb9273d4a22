// COleObjectFactory::UpdateRegistryAll: the activation file and the class entries in the machine hive,
// a hive that refuses, and bus activation through the file a registration run wrote.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/ole/afxdisp.h"
#include "platform/ole/bus_client.h"
#include "platform/ole/test_target.h"
#include "platform/win32/winreg.h"
#include "support/dbus_fixture.h"

namespace mivo::test {
namespace {

const char kFileName[] = "/Mivo.DataBase.OLEServer.service";
const CString kClsid = u"{6A1C9F3E-0B7D-4E52-9C1A-2F4D8E6B7A10}";

std::string SelfPath() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
}

// The default value of HKEY_LOCAL_MACHINE\<path>, or nullopt when the key or value is missing.
std::optional<CString> DefaultValue(const CString& path) {
  std::string value;
  if (!GetRegString(true, Utf8(path), "", value)) return std::nullopt;
  return U(value);
}

bool MachineKeyExists(const CString& path) { return KeyExists(HKEY_LOCAL_MACHINE, path.c_str()); }

// The machine hive and the activation-file folder in a fresh temporary folder.
class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.Set("MIVODB_DBUS_SERVICE_DIR", services_);
    TestFactory();
  }

  std::string Expected() const {
    return "[D-BUS Service]\nName=Mivo.DataBase.OLEServer\nExec=" + SelfPath() + "\n";
  }

  HiveSandbox hives_;
  ScopedEnv env_;
  std::string services_ = hives_.File("share/dbus-1/services");
};

TEST_F(RegistrationTest, WritesTheActivationFileNamingTheExecutable) {
  ASSERT_FALSE(FileExists(services_));
  EXPECT_TRUE(COleObjectFactory::UpdateRegistryAll(TRUE));
  EXPECT_EQ(ReadFile(services_ + kFileName), Expected());
  // Writing it again gives the same file.
  EXPECT_TRUE(COleObjectFactory::UpdateRegistryAll(TRUE));
  EXPECT_EQ(ReadFile(services_ + kFileName), Expected());
}

TEST_F(RegistrationTest, WritesTheClassEntriesAsComKeepsThem) {
  ASSERT_TRUE(COleObjectFactory::UpdateRegistryAll(TRUE));
  EXPECT_EQ(DefaultValue(u"Software\\Classes\\Mivo.DataBase.OLEServer\\CLSID"), kClsid);
  EXPECT_EQ(DefaultValue(u"Software\\Classes\\CLSID\\" + kClsid + u"\\LocalServer32"),
            AfxFromUtf8(SelfPath()));
  EXPECT_EQ(DefaultValue(u"Software\\Classes\\CLSID\\" + kClsid + u"\\ProgID"),
            CString(u"Mivo.DataBase.OLEServer"));
}

TEST_F(RegistrationTest, UnregistrationRemovesTheFileAndTheClassKeysOnly) {
  RegKey other;
  ASSERT_EQ(other.Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Other.Class\\CLSID"), ERROR_SUCCESS);
  other.Close();
  ASSERT_TRUE(COleObjectFactory::UpdateRegistryAll(TRUE));
  EXPECT_TRUE(COleObjectFactory::UpdateRegistryAll(FALSE));
  EXPECT_FALSE(FileExists(services_ + kFileName));
  EXPECT_FALSE(MachineKeyExists(u"Software\\Classes\\Mivo.DataBase.OLEServer"));
  EXPECT_FALSE(MachineKeyExists(u"Software\\Classes\\CLSID\\" + kClsid));
  EXPECT_TRUE(MachineKeyExists(u"Software\\Classes\\CLSID"));
  EXPECT_TRUE(MachineKeyExists(u"Software\\Classes\\Other.Class\\CLSID"));
}

TEST_F(RegistrationTest, UnregisteringWhatWasNeverRegisteredSucceeds) {
  EXPECT_TRUE(COleObjectFactory::UpdateRegistryAll(FALSE));
  EXPECT_FALSE(FileExists(services_ + kFileName));
}

TEST_F(RegistrationTest, DefaultFolderFollowsXdgDataHomeThenHome) {
  env_.Unset("MIVODB_DBUS_SERVICE_DIR");
  env_.Set("XDG_DATA_HOME", hives_.File("data"));
  ASSERT_TRUE(COleObjectFactory::UpdateRegistryAll(TRUE));
  EXPECT_EQ(ReadFile(hives_.File("data/dbus-1/services") + kFileName), Expected());

  env_.Set("HOME", hives_.File("home"));
  for (const char* xdg : {"", "relative/data"}) {  // both mean: not set
    env_.Set("XDG_DATA_HOME", xdg);
    ASSERT_TRUE(COleObjectFactory::UpdateRegistryAll(TRUE)) << xdg;
    EXPECT_EQ(ReadFile(hives_.File("home/.local/share/dbus-1/services") + kFileName), Expected()) << xdg;
    ASSERT_TRUE(COleObjectFactory::UpdateRegistryAll(FALSE));
    EXPECT_FALSE(FileExists(hives_.File("home/.local/share/dbus-1/services") + kFileName));
  }
}

TEST_F(RegistrationTest, FolderThatCannotBeMadeFailsButTheHiveEntriesAreWritten) {
  const std::string blocker = hives_.File("file");
  WriteFile(blocker, "not a folder");
  env_.Set("MIVODB_DBUS_SERVICE_DIR", blocker + "/services");
  EXPECT_FALSE(COleObjectFactory::UpdateRegistryAll(TRUE));
  EXPECT_EQ(DefaultValue(u"Software\\Classes\\Mivo.DataBase.OLEServer\\CLSID"), kClsid);
}

TEST_F(RegistrationTest, HiveThatRefusesWritingIsIgnored) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the registration as another user";
  // A hive that exists and that user 65534 may read but not write.
  RegKey keep;
  ASSERT_EQ(keep.Create(HKEY_LOCAL_MACHINE, u"Software\\Keep"), ERROR_SUCCESS);
  keep.Close();
  ASSERT_EQ(::chmod(hives_.machineHive().c_str(), 0644), 0);
  const std::string services = hives_.File("open");
  ASSERT_EQ(::mkdir(services.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(services.c_str(), 0777), 0);
  env_.Set("MIVODB_DBUS_SERVICE_DIR", services);

  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(10);
    ::prctl(PR_SET_DUMPABLE, 1);  // so that the process may read its own /proc/self/exe again
    mivo::reg::ResetForTesting();
    ::_exit(COleObjectFactory::UpdateRegistryAll(TRUE) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the refusal of the hive must not fail the registration";
  EXPECT_EQ(ReadFile(services + kFileName), Expected());
  mivo::reg::ResetForTesting();
  EXPECT_FALSE(MachineKeyExists(u"Software\\Classes")) << "the hive was written";
  EXPECT_TRUE(MachineKeyExists(u"Software\\Keep"));
}

// Runs the test server program with `args`; its exit code, or -1.
int RunTestServer(const std::vector<std::string>& args) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv = {const_cast<char*>(OLE_TEST_SERVER)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(OLE_TEST_SERVER, argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ActivationTest : public DbusTest {
 protected:
  void SetUp() override {
    // The bus passes its own environment to the programs it starts: set before it starts.
    env_.Set("MIVODB_TEST_EXIT_MARKER", marker_);
    DbusTest::SetUp();
    if (HasFatalFailure()) return;
    env_.Set("MIVODB_DBUS_SERVICE_DIR", bus_.service_dir());
    ASSERT_TRUE(client_.Connect());
  }
  void TearDown() override {
    client_.Close();
    DbusTest::TearDown();
  }

  HiveSandbox hives_;
  ScopedEnv env_;
  std::string marker_ = hives_.File("exit-marker");
  BusClient client_;
};

TEST_F(ActivationTest, BusStartsTheRegisteredProgramOnTheFirstCall) {
  ASSERT_EQ(RunTestServer({"/RegServer"}), 0);
  const std::string file = bus_.service_dir() + kFileName;
  EXPECT_EQ(ReadFile(file),
            std::string("[D-BUS Service]\nName=Mivo.DataBase.OLEServer\nExec=") + OLE_TEST_SERVER + "\n");
  EXPECT_FALSE(client_.OwnerPid()) << "nothing runs before the first call";
  ASSERT_TRUE(
      client_
          .Call("/org/freedesktop/DBus", "org.freedesktop.DBus", "ReloadConfig", {}, "org.freedesktop.DBus")
          .ok);

  CallResult r = client_.Call(kClassPath, kMethods, "GetLanguageString", {Wire::S("a"), Wire::S("b")});
  ASSERT_TRUE(r.ok) << r.error_name << ": " << r.error_message;
  const char* text = nullptr;
  ASSERT_GE(sd_bus_message_read(r.reply.get(), "s", &text), 0);
  EXPECT_STREQ(text, "a/b");

  const std::optional<pid_t> server = client_.OwnerPid();
  ASSERT_TRUE(server);
  EXPECT_NE(*server, ::getpid());
  const std::string before = ReadFile(marker_);
  ASSERT_EQ(::kill(*server, SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(marker_) == before + "exit\n" && !client_.OwnerPid(); }))
      << "the started server did not end through ExitInstance";

  ASSERT_EQ(RunTestServer({"-unregserver"}), 0);
  EXPECT_FALSE(FileExists(file));
}

}  // namespace
}  // namespace mivo::test
