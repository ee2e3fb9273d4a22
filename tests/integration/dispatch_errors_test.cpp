// Argument conversion and the dispatch errors of the running server, as a late-bound client meets them.
#include <gtest/gtest.h>

#include <regex>

#include "integration/server_fixture.h"

namespace mivo::test {
namespace {

class DispatchErrors : public ServerTest {
 protected:
  ole::BusError InvokeError(DISPID id, std::vector<VARIANT> args) {
    return ErrorOf([&] { client().Invoke(obj(), id, args); });
  }
  const std::string& obj() {
    if (obj_.empty()) obj_ = client().CreateInstance();
    return obj_;
  }

 private:
  std::string obj_;
};

bool NamesArgument(const ole::BusError& e, int position) {
  return std::regex_search(e.message(), std::regex("\\bargument " + std::to_string(position) + "\\b"));
}

TEST_F(DispatchErrors, TextThatIsANumberConvertsToI2) {
  std::vector<VARIANT> args = {VARIANT::Bstr(u" 5 "), VARIANT::Bstr(u"true")};
  const ole::InvokeResult r = client().Invoke(obj(), 1, args);
  EXPECT_EQ(r.result.vt, VT_BOOL);
  EXPECT_NE(r.result.llVal, 0);
  // Language 5 (Czech) is now the current language.
  EXPECT_EQ(client().GetCurCharsetCode(obj()), 238);
  unsigned id = 0;
  ASSERT_TRUE(GetRegDword(false, kSettingsKey, "LanguageId", id));
  EXPECT_EQ(id, 5u);
}

TEST_F(DispatchErrors, TextThatIsNoNumberIsATypeMismatchNamingTheArgument) {
  const ole::BusError first = InvokeError(1, {VARIANT::Bstr(u"abc"), VARIANT::Bool(true)});
  EXPECT_EQ(first.name(), "Mivo.DataBase.Error.TypeMismatch");
  EXPECT_EQ(static_cast<std::uint32_t>(first.hresult()), 0x80020005u) << first.message();
  EXPECT_TRUE(NamesArgument(first, 0)) << first.message();

  const ole::BusError second = InvokeError(1, {VARIANT::I2(0x0409), VARIANT::Bstr(u"maybe")});
  EXPECT_EQ(second.ShortName(), "TypeMismatch");
  EXPECT_TRUE(NamesArgument(second, 1)) << second.message();

  const ole::BusError null_to_i2 = InvokeError(1, {VARIANT::Null(), VARIANT::Bool(true)});
  EXPECT_EQ(null_to_i2.ShortName(), "TypeMismatch");
  EXPECT_TRUE(NamesArgument(null_to_i2, 0)) << null_to_i2.message();
}

TEST_F(DispatchErrors, ANumberOutsideTheRangeOfI2IsAnOverflowNamingTheArgument) {
  const ole::BusError e = InvokeError(1, {VARIANT::I4(70000), VARIANT::Bool(true)});
  EXPECT_EQ(e.name(), "Mivo.DataBase.Error.Overflow");
  EXPECT_EQ(static_cast<std::uint32_t>(e.hresult()), 0x8002000Au) << e.message();
  EXPECT_TRUE(NamesArgument(e, 0)) << e.message();

  const ole::BusError text = InvokeError(
      4, {VARIANT::Empty(), VARIANT::Bstr(u"-40000"), VARIANT::Empty(), VARIANT::Empty(), VARIANT::Empty(),
          VARIANT::Empty(), VARIANT::Empty(), VARIANT::Empty(), VARIANT::Empty()});
  EXPECT_EQ(text.ShortName(), "Overflow");
  EXPECT_TRUE(NamesArgument(text, 1)) << text.message();
}

TEST_F(DispatchErrors, AWrongArgumentCountIsBadParamCount) {
  for (const auto& [id, count] :
       std::vector<std::pair<DISPID, int>>{{1, 1}, {1, 3}, {2, 0}, {8, 1}, {4, 8}}) {
    const ole::BusError e = InvokeError(id, std::vector<VARIANT>(count, VARIANT::Bstr(u"1")));
    EXPECT_EQ(e.name(), "Mivo.DataBase.Error.BadParamCount") << "DISPID " << id << " with " << count;
    EXPECT_EQ(static_cast<std::uint32_t>(e.hresult()), 0x8002000Eu) << e.message();
  }
}

TEST_F(DispatchErrors, AnUnknownDispidIsMemberNotFound) {
  for (DISPID id : {0, 11, -1, 1000}) {
    const ole::BusError e = InvokeError(id, {});
    EXPECT_EQ(e.name(), "Mivo.DataBase.Error.MemberNotFound") << "DISPID " << id;
    EXPECT_EQ(static_cast<std::uint32_t>(e.hresult()), 0x80020003u) << e.message();
  }
}

TEST_F(DispatchErrors, AnUnknownNameIsUnknownName) {
  const ole::BusError e = ErrorOf([&] { client().GetIDsOfNames(obj(), {u"GetLanguageStrings"}); });
  EXPECT_EQ(e.name(), "Mivo.DataBase.Error.UnknownName");
  EXPECT_EQ(static_cast<std::uint32_t>(e.hresult()), 0x80020006u) << e.message();

  const ole::BusError named = ErrorOf([&] {
    client().GetIDsOfNames(obj(), {u"GetLanguageString", u"module"});
  });
  EXPECT_EQ(named.ShortName(), "UnknownName") << "no method has named parameters";
}

TEST_F(DispatchErrors, AByReferenceParameterPassedByValueIsATypeMismatch) {
  const ole::BusError e =
      InvokeError(3, {VARIANT::Bstr(u"text"), VARIANT::Bstr(u"Demo"), VARIANT::Bstr(u"Greeting")});
  EXPECT_EQ(e.ShortName(), "TypeMismatch");
  EXPECT_TRUE(NamesArgument(e, 0)) << e.message();
}

TEST_F(DispatchErrors, ARefusedCallLeavesTheServerServing) {
  InvokeError(1, {VARIANT::Bstr(u"abc"), VARIANT::Bool(true)});
  InvokeError(77, {});
  const pid_t before = ServerPid();
  EXPECT_EQ(client().GetLanguageString(obj(), u"Demo", u"Greeting"), u"Hello");
  EXPECT_EQ(ServerPid(), before);
}

}  // namespace
}  // namespace mivo::test
