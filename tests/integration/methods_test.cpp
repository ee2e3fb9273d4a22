// The ten methods of the running server: typed, and late-bound through Invoke by DISPID and by name.
#include <gtest/gtest.h>

#include "integration/server_fixture.h"

namespace mivo::test {
namespace {

class Methods : public ServerTest {
 protected:
  // A fresh automation object of the test's first client.
  std::string Object() { return client().CreateInstance(); }

  ole::InvokeResult Invoke(const std::string& path, DISPID id, std::vector<VARIANT> args) {
    return client().Invoke(path, id, args);
  }
  ole::InvokeResult InvokeByName(const std::string& path, const CString& name, std::vector<VARIANT> args) {
    return client().InvokeByName(path, name, args);
  }
};

CString Text(const VARIANT& v) {
  EXPECT_EQ(v.vt, VT_BSTR);
  return v.bstrVal.value_or(u"(null)");
}

bool Bool(const VARIANT& v) {
  EXPECT_EQ(v.vt, VT_BOOL);
  return v.llVal != 0;
}

TEST_F(Methods, GetLanguageStringAnswersFromTheCurrentLanguageAndFallsBackToGerman) {
  const std::string obj = Object();
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), u"Hello");
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"OnlyGerman"), u"Nur Deutsch");
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"EmptyEnglish"), u"Leer auf Englisch");
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Missing"), u"Missing");
  EXPECT_EQ(client().GetLanguageString(obj, u"demo", u"Greeting"), u"Greeting") << "module names are exact";
}

TEST_F(Methods, SetLanguageSwitchesTextsAndCharacterSet) {
  const std::string obj = Object();
  EXPECT_EQ(client().GetCurCharsetCode(obj), 0);

  EXPECT_TRUE(client().SetLanguage(obj, 0x0419, true));
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), U(kRussianHello));
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"OnlyGerman"), u"Nur Deutsch");
  EXPECT_EQ(client().GetCurCharsetCode(obj), 204);

  EXPECT_TRUE(client().SetLanguage(obj, 0x0411, false));
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), U(kJapaneseHello));
  EXPECT_EQ(client().GetCurCharsetCode(obj), 128);
  unsigned id = 0, flag = 7;
  ASSERT_TRUE(GetRegDword(false, kSettingsKey, "LanguageId", id));
  EXPECT_EQ(id, 0x0411u);
  ASSERT_TRUE(GetRegDword(false, kSettingsKey, "UserLang", flag));
  EXPECT_EQ(flag, 0u);

  // German is the fallback: its texts come from the fallback store, and the current-language store keeps
  // the language it was last loaded for.
  EXPECT_TRUE(client().SetLanguage(obj, 0x0807, true));
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), u"Hallo");
  EXPECT_EQ(client().GetCurCharsetCode(obj), 128);
  ASSERT_TRUE(GetRegDword(false, kSettingsKey, "LanguageId", id));
  EXPECT_EQ(id, 0x0411u) << "selecting the fallback language writes nothing";
}

TEST_F(Methods, SetLanguageWithAMissingDatabaseFailsOnceAndThenHoldsTheLanguage) {
  SetRegString(false, kLanguageListKey, "Gone", Db("missing.db"));
  const std::string obj = Object();
  EXPECT_FALSE(client().SetLanguage(obj, 0x0419, true));
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), U(kRussianHello))
      << "the databases that exist are loaded";
  EXPECT_TRUE(client().SetLanguage(obj, 0x0419, true)) << "the same id again loads nothing";
}

TEST_F(Methods, GetLanguageString2ReplacesTheOutTextAndReportsWhetherOneWasFound) {
  const std::string obj = Object();
  CString text = u"previous text";
  EXPECT_TRUE(client().GetLanguageString2(obj, text, u"Demo", u"Greeting"));
  EXPECT_EQ(text, u"Hello");
  text = u"previous text";
  EXPECT_FALSE(client().GetLanguageString2(obj, text, u"Demo", u"Missing"));
  EXPECT_EQ(text, u"Missing");
  text = u"previous text";
  EXPECT_TRUE(client().GetLanguageString2(obj, text, u"Demo", u"EmptyEnglish"));
  EXPECT_EQ(text, u"Leer auf Englisch");
}

TEST_F(Methods, ConfigurationValuesAreReadWrittenAndKeptInTheDatabase) {
  const std::string obj = Object();
  EXPECT_EQ(client().GetConfigString(obj, u"Server", u"Host"), u"localhost");
  CString value = u"old";
  EXPECT_FALSE(client().GetConfigString2(obj, value, u"Server", u"Timeout"));
  EXPECT_EQ(value, u"") << "the out value is replaced, not appended to";

  EXPECT_TRUE(client().SetConfigString(obj, u"30", u"Server", u"Timeout"));
  EXPECT_EQ(client().GetConfigString(obj, u"Server", u"Timeout"), u"30");
  EXPECT_TRUE(client().SetConfigString(obj, u"db.example", u"Server", u"Host"));
  EXPECT_EQ(QueryColumn(Db("conf.db"),
                        "SELECT m.String FROM Items i JOIN Messages m ON m.ItemId = i.ItemId "
                        "WHERE i.Module = 'Server' AND m.LanguageId = 99 ORDER BY i.ItemId"),
            (std::vector<std::string>{"db.example", "8080", "30"}));

  EXPECT_TRUE(client().RefreshConfDB(obj));
  value = u"old";
  EXPECT_TRUE(client().GetConfigString2(obj, value, u"Server", u"Timeout"));
  EXPECT_EQ(value, u"30");
  EXPECT_EQ(client().GetConfigString(obj, u"Server", u"Host"), u"db.example");
}

TEST_F(Methods, AnEmptyConfigurationValueIsStoredAsTheMarkerAndReadsEmptyButFound) {
  const std::string obj = Object();
  EXPECT_TRUE(client().SetConfigString(obj, u"", u"Server", u"Port"));
  CString value = u"old";
  EXPECT_TRUE(client().GetConfigString2(obj, value, u"Server", u"Port"));
  EXPECT_EQ(value, u"");
  EXPECT_EQ(QueryColumn(Db("conf.db"),
                        "SELECT m.String FROM Items i JOIN Messages m ON m.ItemId = i.ItemId "
                        "WHERE i.KeyString = 'Port' AND m.LanguageId = 99"),
            (std::vector<std::string>{"|EMPTY|"}));
}

TEST_F(Methods, AddLogLineReturnsFalseForAnyArguments) {
  const std::string obj = Object();
  EXPECT_FALSE(client().AddLogLine(obj, 45000.5, 1, u"a", u"b", 2, u"c", u"d", u"e", u"f"));
  EXPECT_FALSE(client().AddLogLine(kClassObjectPath, 0, 0, u"", u"", 0, u"", u"", u"", u""));
  std::vector<VARIANT> empties(9, VARIANT::Empty());
  EXPECT_FALSE(Bool(Invoke(obj, 4, empties).result));
  EXPECT_FALSE(Bool(InvokeByName(obj, u"addlogline",
                                 {VARIANT::Bstr(u"2024-03-05 07:08:09"), VARIANT::Bstr(u"5"),
                                  VARIANT::NullBstr(), VARIANT::I4(7), VARIANT::Bool(true), VARIANT::R8(3.0),
                                  VARIANT::Bstr(u"x"), VARIANT::I2(-1), VARIANT::UI1(9)})
                        .result));
}

TEST_F(Methods, RefreshLangDBSucceedsAndKeepsTheTexts) {
  const std::string obj = Object();
  EXPECT_TRUE(client().RefreshLangDB(obj));
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), u"Hello");
}

TEST_F(Methods, TheClassObjectAnswersTheMethodsWithoutCreatingAnObject) {
  EXPECT_EQ(client().GetLanguageString(kClassObjectPath, u"Demo", u"Greeting"), u"Hello");
  EXPECT_EQ(client().ObjectCount(), 0u);
  EXPECT_EQ(Text(Invoke(kClassObjectPath, 2, {VARIANT::Bstr(u"Demo"), VARIANT::Bstr(u"OnlyGerman")}).result),
            u"Nur Deutsch");
}

// Each method through Invoke, by DISPID and by name in another letter case, gives what the typed call
// gives.
TEST_F(Methods, InvokeByDispidAndByNameReachesEveryMethod) {
  const std::string obj = Object();
  const std::vector<std::pair<const char16_t*, DISPID>> names = {
      {u"SetLanguage", 1},      {u"getlanguagestring", 2}, {u"GETLANGUAGESTRING2", 3},
      {u"AddLogLine", 4},       {u"setconfigstring", 5},   {u"GetConfigString", 6},
      {u"getConfigString2", 7}, {u"GetCurCharsetCode", 8}, {u"refreshconfdb", 9},
      {u"RefreshLangDB", 10}};
  for (const auto& [name, id] : names) {
    const std::vector<DISPID> ids = client().GetIDsOfNames(obj, {name});
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0], id) << Utf8(name);
  }

  EXPECT_TRUE(Bool(Invoke(obj, 1, {VARIANT::I2(0x0419), VARIANT::Bool(true)}).result));
  EXPECT_EQ(client().GetLanguageString(obj, u"Demo", u"Greeting"), U(kRussianHello));
  EXPECT_TRUE(Bool(InvokeByName(obj, u"setlanguage", {VARIANT::I2(0x0409), VARIANT::Bool(true)}).result));

  EXPECT_EQ(Text(Invoke(obj, 2, {VARIANT::Bstr(u"Demo"), VARIANT::Bstr(u"Greeting")}).result), u"Hello");
  EXPECT_EQ(
      Text(InvokeByName(obj, u"GETLANGUAGESTRING", {VARIANT::Bstr(u"Demo"), VARIANT::Bstr(u"OnlyGerman")})
               .result),
      u"Nur Deutsch");

  BSTR out = u"previous";
  std::vector<VARIANT> args = {VARIANT::ByRefBstr(&out), VARIANT::Bstr(u"Demo"), VARIANT::Bstr(u"Greeting")};
  ole::InvokeResult r = client().Invoke(obj, 3, args);
  EXPECT_TRUE(Bool(r.result));
  EXPECT_EQ(r.refs, std::vector<CString>{u"Hello"});
  EXPECT_EQ(out, CString(u"Hello"));

  EXPECT_TRUE(
      Bool(Invoke(obj, 5, {VARIANT::Bstr(u"v1"), VARIANT::Bstr(u"Mod"), VARIANT::Bstr(u"Key")}).result));
  EXPECT_EQ(client().GetConfigString(obj, u"Mod", u"Key"), u"v1");
  EXPECT_EQ(Text(Invoke(obj, 6, {VARIANT::Bstr(u"Server"), VARIANT::Bstr(u"Port")}).result), u"8080");

  out = u"previous";
  args = {VARIANT::ByRefBstr(&out), VARIANT::Bstr(u"Server"), VARIANT::Bstr(u"Nothing")};
  r = client().InvokeByName(obj, u"GetConfigString2", args);
  EXPECT_FALSE(Bool(r.result));
  EXPECT_EQ(r.refs, std::vector<CString>{u""});
  EXPECT_EQ(out, CString(u""));

  const VARIANT charset = Invoke(obj, 8, {}).result;
  EXPECT_EQ(charset.vt, VT_I2);
  EXPECT_EQ(charset.llVal, 0);
  EXPECT_TRUE(Bool(Invoke(obj, 9, {}).result));
  EXPECT_TRUE(Bool(InvokeByName(obj, u"refreshlangdb", {}).result));
  EXPECT_EQ(client().GetConfigString(obj, u"Mod", u"Key"), u"v1") << "RefreshConfDB reads the written value";
}

// A null BSTR is not an empty one: an empty module name finds the module stored under the empty name, a
// null one finds nothing and yields the key.
TEST_F(Methods, NullBstrAndEmptyStringAreDifferentThroughInvoke) {
  const std::string obj = Object();
  EXPECT_EQ(Text(Invoke(obj, 2, {VARIANT::Bstr(u""), VARIANT::Bstr(u"K")}).result),
            u"under the empty module name");
  EXPECT_EQ(Text(Invoke(obj, 2, {VARIANT::NullBstr(), VARIANT::Bstr(u"K")}).result), u"K");

  BSTR out = u"previous";
  std::vector<VARIANT> args = {VARIANT::ByRefBstr(&out), VARIANT::Bstr(u"Demo"), VARIANT::NullBstr()};
  const ole::InvokeResult r = client().Invoke(obj, 3, args);
  EXPECT_FALSE(Bool(r.result));
  EXPECT_EQ(out, CString(u"")) << "a null key finds nothing; the out text is replaced by the empty result";

  // For configuration values a null and an empty name both stand for "|EMPTY|".
  EXPECT_TRUE(Bool(Invoke(obj, 5, {VARIANT::Bstr(u"v"), VARIANT::NullBstr(), VARIANT::Bstr(u"")}).result));
  EXPECT_EQ(Text(Invoke(obj, 6, {VARIANT::Bstr(u""), VARIANT::NullBstr()}).result), u"v");
  EXPECT_EQ(client().GetConfigString(obj, u"|EMPTY|", u"|EMPTY|"), u"v");
}

}  // namespace
}  // namespace mivo::test
