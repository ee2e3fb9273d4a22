// The D-Bus face of the runtime, over a private dbus-daemon: the server side runs in a child process.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ole/afxdisp.h"
#include "platform/ole/bus_client.h"
#include "platform/ole/server_process.h"
#include "support/dbus_fixture.h"

namespace mivo::test {
namespace {

// A private bus with a client and no server yet.
class BusWithoutServerTest : public DbusTest {
 protected:
  void SetUp() override {
    DbusTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(client_.Connect());
  }
  void TearDown() override {
    client_.Close();
    DbusTest::TearDown();
  }

  // Starts a server and waits until it owns the service name.
  void StartServer(ServerProcess* server) {
    ASSERT_TRUE(server->Start());
    ASSERT_TRUE(WaitUntil([&] { return !server->Alive() || client_.OwnerPid() == server->pid(); }));
    ASSERT_TRUE(server->Alive()) << "the server ended with " << server->Wait();
  }

  BusClient client_;
};

// A private bus with one server that owns the name, and a client.
class BusTest : public BusWithoutServerTest {
 protected:
  void SetUp() override {
    BusWithoutServerTest::SetUp();
    if (HasFatalFailure()) return;
    StartServer(&server_);
  }
  void TearDown() override {
    client_.Close();
    if (server_.pid() > 0) {
      EXPECT_EQ(server_.Stop(SIGTERM), 0) << "the server did not end in order";
    }
    DbusTest::TearDown();
  }

  ServerProcess server_;
};

std::string ReadString(const CallResult& r) {
  const char* s = nullptr;
  EXPECT_TRUE(r.ok) << r.error_name << ": " << r.error_message;
  if (!r.ok || sd_bus_message_read(r.reply.get(), "s", &s) < 0 || s == nullptr) return "<no reply>";
  return s;
}

int ReadBool(const CallResult& r) {
  int b = -1;
  EXPECT_TRUE(r.ok) << r.error_name << ": " << r.error_message;
  if (r.ok) {
    EXPECT_GE(sd_bus_message_read(r.reply.get(), "b", &b), 0);
  }
  return b;
}

// The argument types of one method in an introspection document: "in" types, then "out" types.
std::pair<std::string, std::string> MethodTypes(const std::string& xml, const std::string& name) {
  const std::size_t start = xml.find("<method name=\"" + name + "\">");
  if (start == std::string::npos) return {"<missing>", "<missing>"};
  const std::string body = xml.substr(start, xml.find("</method>", start) - start);
  std::string in, out;
  for (std::size_t pos = body.find("<arg"); pos != std::string::npos; pos = body.find("<arg", pos + 1)) {
    const std::size_t end = body.find('>', pos);
    const std::string arg = body.substr(pos, end - pos);
    const std::size_t t = arg.find("type=\"");
    const std::string type = arg.substr(t + 6, arg.find('"', t + 6) - t - 6);
    (arg.find("direction=\"out\"") != std::string::npos ? out : in) += type;
  }
  return {in, out};
}

TEST_F(BusTest, TypedMethodsAnswerOnTheClassObject) {
  EXPECT_EQ(ReadString(client_.Call(kClassPath, kMethods, "GetLanguageString", {Wire::S("mod"), Wire::S("key")})),
            "mod/key");
  EXPECT_EQ(ReadBool(client_.Call(kClassPath, kMethods, "SetLanguage", {Wire::N(1031), Wire::B(true)})), 1);
  CallResult charset = client_.Call(kClassPath, kMethods, "GetCurCharsetCode");
  std::int16_t code = 0;
  ASSERT_TRUE(charset.ok) << charset.error_message;
  ASSERT_GE(sd_bus_message_read(charset.reply.get(), "n", &code), 0);
  EXPECT_EQ(code, 1031);

  CallResult two = client_.Call(kClassPath, kMethods, "GetLanguageString2",
                                {Wire::S("old text"), Wire::S("m"), Wire::S("k")});
  ASSERT_TRUE(two.ok) << two.error_message;
  int found = 0;
  const char* text = nullptr;
  ASSERT_GE(sd_bus_message_read(two.reply.get(), "bs", &found, &text), 0);
  EXPECT_EQ(found, 1);
  EXPECT_STREQ(text, "m/k");

  EXPECT_EQ(ReadBool(client_.Call(kClassPath, kMethods, "SetConfigString",
                                  {Wire::S("value ü"), Wire::S("m"), Wire::S("k")})),
            1);
  EXPECT_EQ(ReadString(client_.Call(kClassPath, kMethods, "GetConfigString", {Wire::S("m"), Wire::S("k")})),
            "value ü");
  EXPECT_EQ(ReadBool(client_.Call(kClassPath, kMethods, "RefreshConfDB")), 1);
  CallResult gone = client_.Call(kClassPath, kMethods, "GetConfigString2", {Wire::S("x"), Wire::S("m"), Wire::S("k")});
  ASSERT_TRUE(gone.ok) << gone.error_message;
  ASSERT_GE(sd_bus_message_read(gone.reply.get(), "bs", &found, &text), 0);
  EXPECT_EQ(found, 0);
  EXPECT_STREQ(text, "");

  EXPECT_EQ(ReadBool(client_.Call(kClassPath, kMethods, "AddLogLine",
                                  {Wire::D(45356.5), Wire::N(1), Wire::S(""), Wire::S("a"), Wire::N(2), Wire::S("b"),
                                   Wire::S("c"), Wire::S("d"), Wire::S("e")})),
            0);
}

TEST_F(BusTest, InstancesAnswerTheSameMethodsAndShareTheServersState) {
  const std::string object = client_.CreateInstance();
  ASSERT_EQ(object, std::string(kClassPath) + "/1");
  EXPECT_EQ(ReadString(client_.Call(object, kMethods, "GetLanguageString", {Wire::S("a"), Wire::S("b")})), "a/b");
  EXPECT_EQ(ReadBool(client_.Call(object, kMethods, "SetLanguage", {Wire::N(1049), Wire::B(false)})), 0);
  InvokeResult charset = client_.Invoke(kClassPath, 8, {});
  ASSERT_TRUE(charset.call.ok) << charset.call.error_message;
  EXPECT_EQ(Describe(charset.result), "n 1049");
}

TEST_F(BusTest, MethodSignaturesComeFromTheDispatchMap) {
  const std::optional<std::string> xml = client_.Introspect(kClassPath);
  ASSERT_TRUE(xml);
  const std::string iface = "<interface name=\"" + std::string(kMethods) + "\">";
  ASSERT_NE(xml->find(iface), std::string::npos) << *xml;
  const std::string methods = xml->substr(xml->find(iface));
  using Types = std::pair<std::string, std::string>;
  EXPECT_EQ(MethodTypes(methods, "SetLanguage"), Types("nb", "b"));
  EXPECT_EQ(MethodTypes(methods, "GetLanguageString"), Types("ss", "s"));
  EXPECT_EQ(MethodTypes(methods, "GetLanguageString2"), Types("sss", "bs"));
  EXPECT_EQ(MethodTypes(methods, "AddLogLine"), Types("dnssnssss", "b"));
  EXPECT_EQ(MethodTypes(methods, "SetConfigString"), Types("sss", "b"));
  EXPECT_EQ(MethodTypes(methods, "GetConfigString"), Types("ss", "s"));
  EXPECT_EQ(MethodTypes(methods, "GetConfigString2"), Types("sss", "bs"));
  EXPECT_EQ(MethodTypes(methods, "GetCurCharsetCode"), Types("", "n"));
  EXPECT_EQ(MethodTypes(methods, "RefreshConfDB"), Types("", "b"));
  EXPECT_EQ(MethodTypes(methods, "RefreshLangDB"), Types("", "b"));
  const std::string dispatch = xml->substr(xml->find("<interface name=\"" + std::string(kDispatch) + "\">"));
  EXPECT_EQ(MethodTypes(dispatch, "Invoke"), Types("iav", "vav"));
  EXPECT_EQ(MethodTypes(dispatch, "GetIDsOfNames"), Types("as", "ai"));

  const std::string object = client_.CreateInstance();
  ASSERT_FALSE(object.empty());
  const std::optional<std::string> root = client_.Introspect(kClassPath);
  ASSERT_TRUE(root);
  EXPECT_NE(root->find("<node name=\"1\"/>"), std::string::npos) << *root;
  const std::optional<std::string> child = client_.Introspect(object);
  ASSERT_TRUE(child);
  EXPECT_NE(child->find(iface), std::string::npos);
  EXPECT_EQ(child->find(kFactory), std::string::npos) << "only the class object is a factory";
}

TEST_F(BusTest, InvokeConvertsTheArgumentsItIsGiven) {
  InvokeResult r = client_.Invoke(kClassPath, 1, {Wire::S(" 7 "), Wire::S("True")});
  ASSERT_TRUE(r.call.ok) << r.call.error_message;
  EXPECT_EQ(Describe(r.result), "b 1");
  EXPECT_TRUE(r.refs.empty());
  r = client_.Invoke(kClassPath, 8, {});
  EXPECT_EQ(Describe(r.result), "n 7");

  struct Case {
    std::vector<Wire> args;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{Wire::ValueLess(8), Wire::ValueLess(0)}, "<null>/"},
      {{Wire::Y(3), Wire::X(-9)}, "3/-9"},
      {{Wire::Q(65535), Wire::T(18446744073709551615ULL)}, "65535/18446744073709551615"},
      {{Wire::I(-1), Wire::U(4000000000U)}, "-1/4000000000"},
      {{Wire::D(2.5), Wire::B(true)}, "2.5/-1"},
      {{Wire::N(-3), Wire::S("")}, "-3/"},
  };
  for (const Case& c : cases) {
    r = client_.Invoke(kClassPath, 2, c.args);
    ASSERT_TRUE(r.call.ok) << r.call.error_message;
    EXPECT_EQ(Describe(r.result), "s \"" + c.expected + "\"");
  }
}

TEST_F(BusTest, InvokeReturnsByReferenceValuesInArgumentOrder) {
  InvokeResult r = client_.Invoke(kClassPath, 3, {Wire::Ref("old and long"), Wire::S("m"), Wire::S("k")});
  ASSERT_TRUE(r.call.ok) << r.call.error_message;
  EXPECT_EQ(Describe(r.result), "b 1");
  EXPECT_EQ(r.refs, std::vector<std::string>({"m/k"}));
  r = client_.Invoke(kClassPath, 3, {Wire::Ref(""), Wire::S("m"), Wire::ValueLess(8)});
  ASSERT_TRUE(r.call.ok) << r.call.error_message;
  EXPECT_EQ(Describe(r.result), "b 0");
  EXPECT_EQ(r.refs, std::vector<std::string>({"m/<null>"}));
  // A reference given for a by-value parameter is read and comes back unchanged.
  r = client_.Invoke(kClassPath, 2, {Wire::Ref("mod"), Wire::Ref("key")});
  ASSERT_TRUE(r.call.ok) << r.call.error_message;
  EXPECT_EQ(Describe(r.result), "s \"mod/key\"");
  EXPECT_EQ(r.refs, std::vector<std::string>({"mod", "key"}));
}

TEST_F(BusTest, InvokeFailuresAreNamedErrorsWithTheirHresult) {
  struct Case {
    std::int32_t dispid;
    std::vector<Wire> args;
    std::string name;
    std::string message;
  };
  const std::vector<Case> cases = {
      {99, {}, "MemberNotFound", "0x80020003 Member not found: DISPID 99"},
      {0, {}, "MemberNotFound", "0x80020003 Member not found: DISPID 0"},
      {1, {Wire::N(1)}, "BadParamCount", "0x8002000E Invalid number of parameters: SetLanguage takes 2, 1 given"},
      {8, {Wire::N(1)}, "BadParamCount", "0x8002000E Invalid number of parameters: GetCurCharsetCode takes 0, 1 given"},
      {1, {Wire::S("70000"), Wire::B(true)}, "Overflow", "0x8002000A Overflow in argument 0 of SetLanguage"},
      {1, {Wire::I(-40000), Wire::B(true)}, "Overflow", "0x8002000A Overflow in argument 0 of SetLanguage"},
      {1, {Wire::N(1), Wire::S("maybe")}, "TypeMismatch", "0x80020005 Type mismatch in argument 1 of SetLanguage"},
      {3, {Wire::S("old"), Wire::S("m"), Wire::S("k")}, "TypeMismatch",
       "0x80020005 Type mismatch in argument 0 of GetLanguageString2"},
      {2, {Wire::ValueLess(1), Wire::S("k")}, "TypeMismatch",
       "0x80020005 Type mismatch in argument 0 of GetLanguageString"},
      {2, {Wire::S("m"), Wire::Strings()}, "TypeMismatch",
       "0x80020005 Type mismatch in argument 1 of GetLanguageString"},
      {2, {Wire::S("m"), Wire::ValueLess(3)}, "TypeMismatch",
       "0x80020005 Type mismatch in argument 1 of GetLanguageString"},
      {4,
       {Wire::S("2024-13-01"), Wire::N(1), Wire::S(""), Wire::S(""), Wire::N(1), Wire::S(""), Wire::S(""), Wire::S(""),
        Wire::S("")},
       "TypeMismatch", "0x80020005 Type mismatch in argument 0 of AddLogLine"},
      {5, {Wire::S("throw"), Wire::S("mod"), Wire::S("k")}, "Exception", "0x80020009 refused mod"},
      {10, {}, "Exception", "0x80020009 Unknown exception in RefreshLangDB"},
  };
  for (const Case& c : cases) {
    InvokeResult r = client_.Invoke(kClassPath, c.dispid, c.args);
    ASSERT_FALSE(r.call.ok) << "DISPID " << c.dispid << " succeeded";
    EXPECT_EQ(r.call.error_name, "Mivo.DataBase.Error." + c.name) << r.call.error_message;
    EXPECT_EQ(r.call.error_message, c.message);
  }
  // The server is still serving, with nothing changed by the refused calls.
  InvokeResult r = client_.Invoke(kClassPath, 8, {});
  ASSERT_TRUE(r.call.ok) << r.call.error_message;
  EXPECT_EQ(Describe(r.result), "n 0");
}

TEST_F(BusTest, TypedMethodsReportExceptionsTheSameWay) {
  CallResult r = client_.Call(kClassPath, kMethods, "SetConfigString", {Wire::S("throw"), Wire::S("m"), Wire::S("k")});
  ASSERT_FALSE(r.ok);
  EXPECT_EQ(r.error_name, "Mivo.DataBase.Error.Exception");
  EXPECT_EQ(r.error_message, "0x80020009 refused m");
  r = client_.Call(kClassPath, kMethods, "RefreshLangDB");
  EXPECT_EQ(r.error_name, "Mivo.DataBase.Error.Exception");
  r = client_.Call(kClassPath, kMethods, "SetLanguage", {Wire::S("1"), Wire::B(true)});
  EXPECT_FALSE(r.ok) << "a typed method takes only its own signature";
  EXPECT_EQ(ReadString(client_.Call(kClassPath, kMethods, "GetLanguageString", {Wire::S("a"), Wire::S("b")})), "a/b");
}

TEST_F(BusTest, GetIDsOfNamesMatchesWithoutRegardToCase) {
  std::vector<std::int32_t> ids;
  CallResult r = client_.GetIDsOfNames(kClassPath, {"getlanguagestring2"}, &ids);
  ASSERT_TRUE(r.ok) << r.error_message;
  EXPECT_EQ(ids, std::vector<std::int32_t>({3}));
  r = client_.GetIDsOfNames(kClassPath, {"REFRESHLANGDB"}, &ids);
  ASSERT_TRUE(r.ok) << r.error_message;
  EXPECT_EQ(ids, std::vector<std::int32_t>({10}));

  r = client_.GetIDsOfNames(kClassPath, {"Nope"}, &ids);
  EXPECT_EQ(r.error_name, "Mivo.DataBase.Error.UnknownName");
  EXPECT_EQ(r.error_message, "0x80020006 Unknown name: Nope");
  r = client_.GetIDsOfNames(kClassPath, {"SetLanguage", "id"}, &ids);
  EXPECT_EQ(r.error_name, "Mivo.DataBase.Error.UnknownName");
  EXPECT_EQ(r.error_message.rfind("0x80020006 Unknown name: id", 0), 0u) << r.error_message;
}

TEST_F(BusTest, ObjectCountFollowsCreateAndRelease) {
  EXPECT_EQ(client_.ObjectCount(), 0u) << "the class object holds no lock";
  const std::string first = client_.CreateInstance();
  const std::string second = client_.CreateInstance();
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  EXPECT_NE(first, second);
  EXPECT_EQ(client_.ObjectCount(), 2u);

  CallResult r = client_.Release(first);
  ASSERT_TRUE(r.ok) << r.error_message;
  EXPECT_EQ(client_.ObjectCount(), 1u);
  r = client_.Call(first, kMethods, "GetLanguageString", {Wire::S("a"), Wire::S("b")});
  EXPECT_FALSE(r.ok) << "a released object is gone";
  EXPECT_EQ(r.error_name, "org.freedesktop.DBus.Error.UnknownObject");

  r = client_.Release(kClassPath);
  ASSERT_TRUE(r.ok) << r.error_message;
  EXPECT_EQ(client_.ObjectCount(), 1u);
  EXPECT_EQ(ReadString(client_.Call(kClassPath, kMethods, "GetLanguageString", {Wire::S("a"), Wire::S("b")})), "a/b");
  EXPECT_EQ(ReadString(client_.Call(second, kMethods, "GetLanguageString", {Wire::S("c"), Wire::S("d")})), "c/d");
}

TEST_F(BusTest, ObjectNumbersAreNeverReused) {
  const std::string first = client_.CreateInstance();
  ASSERT_EQ(first, std::string(kClassPath) + "/1");
  ASSERT_TRUE(client_.Release(first).ok);
  EXPECT_EQ(client_.CreateInstance(), std::string(kClassPath) + "/2");
}

TEST_F(BusTest, ObjectsOfAClientThatLeavesAreDropped) {
  const std::string mine = client_.CreateInstance();
  ASSERT_FALSE(mine.empty());
  BusClient other;
  ASSERT_TRUE(other.Connect());
  ASSERT_FALSE(other.CreateInstance().empty());
  ASSERT_FALSE(other.CreateInstance().empty());
  EXPECT_EQ(client_.ObjectCount(), 3u);
  other.Close();
  EXPECT_TRUE(WaitUntil([&] { return client_.ObjectCount() == 1u; })) << "count " << *client_.ObjectCount();
  EXPECT_EQ(ReadString(client_.Call(mine, kMethods, "GetLanguageString", {Wire::S("x"), Wire::S("y")})), "x/y");
}

TEST_F(BusTest, ClassIdIsTheFactorysClsid) {
  EXPECT_EQ(client_.ClassId(), "{6A1C9F3E-0B7D-4E52-9C1A-2F4D8E6B7A10}");
}

TEST_F(BusTest, ObjectCountChangesAreSignalled) {
  std::vector<std::uint32_t> seen;
  auto on_change = [](sd_bus_message* m, void* userdata, sd_bus_error*) -> int {
    const char* iface = nullptr;
    if (sd_bus_message_read(m, "s", &iface) < 0) return 0;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return 0;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* name = nullptr;
      std::uint32_t count = 0;
      if (sd_bus_message_read(m, "s", &name) >= 0 && std::string(name) == "ObjectCount" &&
          sd_bus_message_read(m, "v", "u", &count) >= 0) {
        static_cast<std::vector<std::uint32_t>*>(userdata)->push_back(count);
      } else {
        sd_bus_message_skip(m, "v");
      }
      sd_bus_message_exit_container(m);
    }
    return 0;
  };
  sd_bus_slot* slot = nullptr;
  ASSERT_GE(sd_bus_match_signal(client_.bus(), &slot, nullptr, kClassPath, "org.freedesktop.DBus.Properties",
                                "PropertiesChanged", on_change, &seen),
            0);
  const std::string object = client_.CreateInstance();
  ASSERT_TRUE(client_.Release(object).ok);
  EXPECT_TRUE(client_.ProcessUntil([&] { return seen.size() >= 2; }));
  EXPECT_EQ(seen, std::vector<std::uint32_t>({1, 0}));
  sd_bus_slot_unref(slot);
}

struct Messages {
  std::vector<std::pair<std::string, std::string>> received;
};

int OnMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
  const char* title = nullptr;
  const char* text = nullptr;
  if (sd_bus_message_read(m, "ss", &title, &text) >= 0) {
    static_cast<Messages*>(userdata)->received.emplace_back(title, text);
  }
  return 0;
}

TEST_F(BusTest, ReportsAreBroadcastAsMessageSignals) {
  Messages messages;
  sd_bus_slot* slot = nullptr;
  ASSERT_GE(sd_bus_match_signal(client_.bus(), &slot, kName, kClassPath, kEvents, "Message", OnMessage, &messages), 0);
  const std::string text = "Disk full\nsecond line";
  EXPECT_EQ(ReadBool(client_.Call(kClassPath, kMethods, "AddLogLine",
                                  {Wire::D(1), Wire::N(1), Wire::S(text), Wire::S(""), Wire::N(0), Wire::S(""),
                                   Wire::S(""), Wire::S(""), Wire::S("")})),
            0);
  EXPECT_TRUE(client_.ProcessUntil([&] { return !messages.received.empty(); }));
  ASSERT_EQ(messages.received.size(), 1u);
  EXPECT_EQ(messages.received[0].first, "MivoDB");
  EXPECT_EQ(messages.received[0].second, text);
  sd_bus_slot_unref(slot);
}

// A notification service on the test bus that records what it is sent.
struct FakeNotifications {
  struct Call {
    std::string app, summary, body;
    bool expects_reply = true;
  };
  std::vector<Call> calls;

  static int Notify(sd_bus_message* m, void* userdata, sd_bus_error*) {
    Call call;
    const char* app = nullptr;
    std::uint32_t replaces = 0;
    const char* icon = nullptr;
    const char* summary = nullptr;
    const char* body = nullptr;
    if (sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body) < 0) return -EINVAL;
    call.app = app;
    call.summary = summary;
    call.body = body;
    call.expects_reply = sd_bus_message_get_expect_reply(m) > 0;
    static_cast<FakeNotifications*>(userdata)->calls.push_back(call);
    return sd_bus_reply_method_return(m, "u", 1U);
  }
};

const sd_bus_vtable kNotificationsVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", FakeNotifications::Notify, 0),
    SD_BUS_VTABLE_END,
};

// Owns org.freedesktop.Notifications on `bus` and serves it with `fake`.
void ServeNotifications(BusClient& bus, FakeNotifications* fake, sd_bus_slot** slot) {
  ASSERT_GE(sd_bus_add_object_vtable(bus.bus(), slot, "/org/freedesktop/Notifications",
                                     "org.freedesktop.Notifications", kNotificationsVtable, fake),
            0);
  ASSERT_GE(sd_bus_request_name(bus.bus(), "org.freedesktop.Notifications", 0), 0);
}

void LogLine(BusClient& client, const std::string& text) {
  CallResult r = client.Call(kClassPath, kMethods, "AddLogLine",
                             {Wire::D(1), Wire::N(1), Wire::S(text), Wire::S(""), Wire::N(0), Wire::S(""),
                              Wire::S(""), Wire::S(""), Wire::S("")});
  EXPECT_TRUE(r.ok) << r.error_message;
}

TEST_F(BusWithoutServerTest, ReportsBecomeNotificationsWithoutWaitingForAReply) {
  BusClient service;
  ASSERT_TRUE(service.Connect());
  FakeNotifications fake;
  sd_bus_slot* slot = nullptr;
  ServeNotifications(service, &fake, &slot);
  ServerProcess server;
  StartServer(&server);
  LogLine(client_, "Cannot open <lang.db> & co");
  EXPECT_TRUE(service.ProcessUntil([&] { return !fake.calls.empty(); }));
  ASSERT_EQ(fake.calls.size(), 1u);
  EXPECT_EQ(fake.calls[0].summary, "MivoDB");
  EXPECT_EQ(fake.calls[0].body, "Cannot open &lt;lang.db&gt; &amp; co");
  EXPECT_FALSE(fake.calls[0].expects_reply);
  sd_bus_slot_unref(slot);
  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

TEST_F(BusTest, NotificationServiceThatArrivesLaterIsUsed) {
  BusClient service;
  ASSERT_TRUE(service.Connect());
  FakeNotifications fake;
  sd_bus_slot* slot = nullptr;
  ServeNotifications(service, &fake, &slot);
  // The bus tells the server of the new owner before it delivers this later call.
  LogLine(client_, "late");
  EXPECT_TRUE(service.ProcessUntil([&] { return !fake.calls.empty(); }));
  ASSERT_EQ(fake.calls.size(), 1u);
  EXPECT_EQ(fake.calls[0].body, "late");
  sd_bus_slot_unref(slot);
}

TEST_F(BusWithoutServerTest, SecondServerWaitsInTheQueueAndServesWhenTheFirstEnds) {
  ServerProcess first, second;
  StartServer(&first);
  ASSERT_TRUE(client_.Call(kClassPath, kMethods, "SetLanguage", {Wire::N(5), Wire::B(true)}).ok);
  ASSERT_TRUE(second.Start());
  ASSERT_TRUE(WaitUntil([&] { return client_.QueuedPids() == std::vector<pid_t>({first.pid(), second.pid()}); }))
      << "the second server never queued";
  EXPECT_EQ(client_.OwnerPid(), first.pid());
  InvokeResult r = client_.Invoke(kClassPath, 8, {});
  EXPECT_EQ(Describe(r.result), "n 5") << "served by the first server";

  const pid_t second_pid = second.pid();
  EXPECT_EQ(first.Stop(SIGTERM), 0);
  ASSERT_TRUE(WaitUntil([&] { return client_.OwnerPid() == second_pid; }));
  r = client_.Invoke(kClassPath, 8, {});
  ASSERT_TRUE(r.call.ok) << r.call.error_message;
  EXPECT_EQ(Describe(r.result), "n 0") << "served by the second server, with its own state";
  EXPECT_EQ(second.Stop(SIGINT), 0);
}

TEST_F(BusWithoutServerTest, RevokedClassCanBeRegisteredAgain) {
  ServerProcess server;
  ASSERT_TRUE(server.Start([] {
    COleObjectFactory::RevokeAll();
    if (!COleObjectFactory::RegisterAll()) ::_exit(ServerProcess::kRegisterFailed);
  }));
  ASSERT_TRUE(WaitUntil([&] { return !server.Alive() || client_.OwnerPid() == server.pid(); }));
  ASSERT_TRUE(server.Alive());
  const std::string object = client_.CreateInstance();
  ASSERT_FALSE(object.empty());
  EXPECT_EQ(client_.ObjectCount(), 1u);
  const std::optional<std::string> xml = client_.Introspect(kClassPath);
  ASSERT_TRUE(xml);
  const std::string node = "<node name=\"" + object.substr(object.rfind('/') + 1) + "\"/>";
  const std::size_t first = xml->find(node);
  EXPECT_NE(first, std::string::npos) << *xml;
  EXPECT_EQ(xml->find(node, first + 1), std::string::npos) << "one class object, listed once: " << *xml;
  EXPECT_EQ(ReadString(client_.Call(object, kMethods, "GetLanguageString", {Wire::S("a"), Wire::S("b")})), "a/b");
  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

// Runs a command with the test's environment; its standard output, or "<failed>".
std::string RunCommand(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "<failed>";
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  const int status = ::pclose(pipe);
  return status == 0 ? out : "<failed> " + out;
}

TEST_F(BusTest, StockClientsCanCallByNameWithoutCreatingAnObject) {
  EXPECT_EQ(RunCommand("busctl --user call Mivo.DataBase.OLEServer /Mivo/DataBase/OLEServer Mivo.DataBase.OLEServer "
                "GetLanguageString2 sss old mod key"),
            "bs true \"mod/key\"\n");
  EXPECT_EQ(RunCommand("gdbus call --session --dest Mivo.DataBase.OLEServer --object-path /Mivo/DataBase/OLEServer "
                "--method Mivo.DataBase.Dispatch.Invoke 1 \"[<'9'>, <true>]\""),
            "(<true>, @av [])\n");
  EXPECT_EQ(RunCommand("gdbus call --session --dest Mivo.DataBase.OLEServer --object-path /Mivo/DataBase/OLEServer "
                "--method Mivo.DataBase.Dispatch.Invoke 3 \"[<('x',)>, <'m'>, <'k'>]\""),
            "(<true>, [<'m/k'>])\n");
  const std::string refused = RunCommand("busctl --user call Mivo.DataBase.OLEServer /Mivo/DataBase/OLEServer "
                                  "Mivo.DataBase.Dispatch Invoke iav 1 2 s 70000 b true");
  EXPECT_NE(refused.find("0x8002000A Overflow in argument 0"), std::string::npos) << refused;
}

}  // namespace
}  // namespace mivo::test
