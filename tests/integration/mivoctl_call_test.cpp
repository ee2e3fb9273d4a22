// mivoctl call against the running server: printing, exit codes, argument forms and reports.
#include <gtest/gtest.h>

#include <fstream>

#include "integration/server_fixture.h"

namespace mivo::test {
namespace {

class MivoctlCall : public ServerTest {
 protected:
  ProcessResult Call(std::vector<std::string> args) {
    std::vector<std::string> argv = {ToolPath(), "call"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, {{"DBUS_SESSION_BUS_ADDRESS", bus_.address()}});
  }
};

TEST_F(MivoctlCall, PrintsTheResultOfAMethodCalledByNameInAnyLetterCase) {
  const ProcessResult r = Call({"getlanguagestring", "Demo", "Greeting"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Hello\n");
}

TEST_F(MivoctlCall, PrintsTheOutValueOfAByReferenceArgumentAfterTheResult) {
  ProcessResult r = Call({"GetLanguageString2", "ref:previous", "Demo", "OnlyGerman"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "true\nNur Deutsch\n");
  r = Call({"GetConfigString2", "ref:previous", "Server", "Missing"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "false\n\n") << "the out value is replaced by the empty text";
}

TEST_F(MivoctlCall, TypedArgumentsReachTheServerAsTheirTypes) {
  ProcessResult r = Call({"SetLanguage", "i2:1049", "bool:true"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "true\n");
  r = Call({"GetCurCharsetCode"});
  EXPECT_EQ(r.out, "204\n");
  r = Call({"GetLanguageString", "Demo", "Greeting"});
  EXPECT_EQ(r.out, std::string(kRussianHello) + "\n");
  r = Call({"AddLogLine", "date:2024-03-05 07:08:09", "i2:1", "a", "nullstr:", "i4:2", "empty:", "r8:1.5",
            "str:i2:x", "x"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "false\n");
}

TEST_F(MivoctlCall, ANullStringIsNotTheEmptyString) {
  ProcessResult r = Call({"GetLanguageString", "", "K"});
  EXPECT_EQ(r.out, "under the empty module name\n") << r.err;
  r = Call({"GetLanguageString", "nullstr:", "K"});
  EXPECT_EQ(r.out, "K\n") << r.err;
}

TEST_F(MivoctlCall, ANumericMethodIsADispid) {
  const ProcessResult r = Call({"2", "Demo", "Greeting"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Hello\n");
}

TEST_F(MivoctlCall, AServerErrorExitsWithOneAndNamesTheError) {
  ProcessResult r = Call({"SetLanguage", "abc", "bool:true"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Mivo.DataBase.Error.TypeMismatch"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("0x80020005"), std::string::npos) << r.err;

  r = Call({"NoSuchMethod"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("Mivo.DataBase.Error.UnknownName"), std::string::npos) << r.err;

  r = Call({"SetLanguage", "i2:1"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("Mivo.DataBase.Error.BadParamCount"), std::string::npos) << r.err;

  r = Call({"SetLanguage", "i4:70000", "bool:true"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("Mivo.DataBase.Error.Overflow"), std::string::npos) << r.err;

  r = Call({"99"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("Mivo.DataBase.Error.MemberNotFound"), std::string::npos) << r.err;
}

TEST_F(MivoctlCall, BadUsageExitsWithTwoWithoutCallingTheServer) {
  for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                {"--timeout"},
                                                                {"--timeout", "soon", "RefreshLangDB"},
                                                                {"--object", "relative", "RefreshLangDB"},
                                                                {"--frobnicate", "RefreshLangDB"},
                                                                {"SetLanguage", "i2:70000", "bool:true"},
                                                                {"SetLanguage", "i2:x"},
                                                                {"SetLanguage", "i2:1", "bool:maybe"},
                                                                {"AddLogLine", "date:2024-13-45"},
                                                                {"x", "null:1"}}) {
    const ProcessResult r = Call(args);
    EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args) << " " << r.err;
    EXPECT_EQ(r.err.rfind("mivoctl: ", 0), 0u) << r.err;
  }
  EXPECT_FALSE(client().NameHasOwner(kServiceName)) << "nothing started the server";
}

TEST_F(MivoctlCall, HelpDescribesTheArgumentForms) {
  const ProcessResult r = Call({"--help"});
  EXPECT_EQ(r.code, 0);
  for (const char* form : {"i2:", "i4:", "r8:", "bool:", "date:", "null:", "empty:", "nullstr:", "ref:",
                           "--object", "--timeout"}) {
    EXPECT_NE(r.out.find(form), std::string::npos) << form;
  }
}

TEST_F(MivoctlCall, MessagesDuringTheCallAppearOnStderr) {
  const std::string broken = Db("broken.db");
  std::ofstream(broken) << "no database at all, only text to fill the first page of the file\n";
  SetRegString(true, kConfigListKey, "Broken", broken);
  const ProcessResult r = Call({"RefreshConfDB"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "false\n");
  EXPECT_NE(r.err.find("MivoDB: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("broken.db"), std::string::npos) << r.err;
}

TEST_F(MivoctlCall, ObjectSelectsTheObjectToCall) {
  const std::string obj = client().CreateInstance();
  ProcessResult r = Call({"--object", obj, "GetConfigString", "Server", "Port"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "8080\n");
  client().Release(obj);
  r = Call({"--object", obj, "GetConfigString", "Server", "Port"});
  EXPECT_EQ(r.code, 1) << "a released object no longer answers";
}

TEST_F(MivoctlCall, NoBusIsARefusedCall) {
  const ProcessResult r = RunProgram({ToolPath(), "call", "RefreshLangDB"},
                                     {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + Db("no-bus-here")}});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err.rfind("mivoctl: ", 0), 0u) << r.err;
}

}  // namespace
}  // namespace mivo::test
