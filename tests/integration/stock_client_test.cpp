// The server as stock D-Bus clients see it: gdbus (GLib) and busctl (systemd), not our own client code.
#include <gtest/gtest.h>
#include <unistd.h>

#include "integration/server_fixture.h"

namespace mivo::test {
namespace {

bool Executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

class StockClient : public ServerTest {
 protected:
  ProcessResult Gdbus(const std::string& method, std::vector<std::string> args,
                      const std::string& path = kClassObjectPath) {
    std::vector<std::string> argv = {"/usr/bin/gdbus", "call",          "--address", bus_.address(), "--dest",
                                     kServiceName,     "--object-path", path,        "--method",     method};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
  }
  ProcessResult Busctl(std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/busctl", "--address=" + bus_.address()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
  }
};

TEST_F(StockClient, GdbusCallsTheTypedMethodsAndInvoke) {
  if (!Executable("/usr/bin/gdbus")) GTEST_SKIP() << "gdbus is not installed (Debian package libglib2.0-bin)";
  ProcessResult r = Gdbus("Mivo.DataBase.OLEServer.GetLanguageString", {"Demo", "OnlyGerman"});
  ASSERT_TRUE(r.exited) << r.err;
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "('Nur Deutsch',)\n");

  r = Gdbus("Mivo.DataBase.OLEServer.GetConfigString2", {"previous", "Server", "Port"});
  EXPECT_EQ(r.out, "(true, '8080')\n") << r.err;

  r = Gdbus("Mivo.DataBase.Dispatch.GetIDsOfNames", {"['getcurcharsetcode']"});
  EXPECT_EQ(r.out, "([8],)\n") << r.err;

  r = Gdbus("Mivo.DataBase.Dispatch.Invoke", {"3", "[<('previous',)>, <'Demo'>, <'Greeting'>]"});
  EXPECT_EQ(r.out, "(<true>, [<'Hello'>])\n") << r.err;

  r = Gdbus("Mivo.DataBase.Dispatch.Invoke", {"2", "[<(uint32 8,)>, <'K'>]"});
  EXPECT_EQ(r.out, "(<'K'>, @av [])\n") << "a null BSTR module finds nothing; " << r.err;

  r = Gdbus("Mivo.DataBase.Dispatch.Invoke", {"1", "[<'abc'>, <true>]"});
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("Mivo.DataBase.Error.TypeMismatch"), std::string::npos) << r.err;
}

TEST_F(StockClient, BusctlReadsTheClassObjectAndCreatesObjects) {
  if (!Executable("/usr/bin/busctl")) GTEST_SKIP() << "busctl is not installed (Debian package systemd)";
  ProcessResult r = Busctl(
      {"call", kServiceName, kClassObjectPath, kMethodsInterface, "SetLanguage", "nb", "1049", "true"});
  EXPECT_EQ(r.out, "b true\n") << r.err;
  r = Busctl({"call", kServiceName, kClassObjectPath, kMethodsInterface, "GetCurCharsetCode"});
  EXPECT_EQ(r.out, "n 204\n") << r.err;

  r = Busctl({"get-property", kServiceName, kClassObjectPath, mivo::ole::kFactoryInterface, "ObjectCount"});
  EXPECT_EQ(r.out, "u 0\n") << r.err;
  // A busctl call leaves the bus when it ends, so the object it creates is dropped again.
  r = Busctl({"call", kServiceName, kClassObjectPath, mivo::ole::kFactoryInterface, "CreateInstance"});
  EXPECT_EQ(r.out.rfind("o \"/Mivo/DataBase/OLEServer/", 0), 0u) << r.out << r.err;
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (client().ObjectCount() != 0 && std::chrono::steady_clock::now() < deadline)
    client().ProcessPending(50ms);
  EXPECT_EQ(client().ObjectCount(), 0u);
}

}  // namespace
}  // namespace mivo::test
