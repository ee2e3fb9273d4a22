#include "app/RegKey.h"

#include <gtest/gtest.h>

#include "support/TestEnv.h"

namespace mivo::test {
namespace {

class RegKeyTest : public ::testing::Test {
 protected:
  HiveSandbox hives;
  CString Path(const std::string& name) {
    CRegKey key(HKEY_LOCAL_MACHINE, u"Software\\Test");
    CString out = u"untouched";
    if (!key.QueryPathValue(U(name), out)) return u"FALSE:" + out;
    return out;
  }
};

TEST_F(RegKeyTest, OpeningCreatesTheKeyAndAKeyWithoutHandleRefusesEverything) {
  {
    CRegKey key(HKEY_CURRENT_USER, u"Software\\Mivotec\\DataBase");
    EXPECT_TRUE(key.IsOpen());
    EXPECT_FALSE(key.IsReadOnly());
    EXPECT_TRUE(key.SetDWordValue(u"n", 5));
  }
  unsigned value = 0;
  EXPECT_TRUE(GetRegDword(false, "Software\\Mivotec\\DataBase", "n", value));
  EXPECT_EQ(value, 5u);

  CRegKey none(nullptr, u"Software");
  CRegKey child(none, u"Child");
  EXPECT_FALSE(none.IsOpen());
  EXPECT_FALSE(child.IsOpen());
  CString text = u"keep";
  DWORD dword = 0;
  CStringArray names{u"stale"};
  EXPECT_FALSE(child.SetStringValue(u"a", u"b"));
  EXPECT_FALSE(child.QueryStringValue(u"a", text));
  EXPECT_FALSE(child.QueryDWordValue(u"a", dword));
  EXPECT_FALSE(child.DeleteValue(u"a"));
  EXPECT_FALSE(child.EnumValueNames(names));
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(text, u"keep");
}

TEST_F(RegKeyTest, StringReadsLeaveTheCallersStringAloneOnMissingValuesAndOtherTypes) {
  SetRegString(true, "Software\\Test", "expand", "x", 2);
  SetRegDword(true, "Software\\Test", "dword", 1);
  SetRegString(true, "Software\\Test", "text", "hello");
  CRegKey key(HKEY_LOCAL_MACHINE, u"Software\\Test");
  CString out = u"keep";
  EXPECT_FALSE(key.QueryStringValue(u"missing", out));
  EXPECT_FALSE(key.QueryStringValue(u"expand", out));
  EXPECT_FALSE(key.QueryStringValue(u"dword", out));
  EXPECT_EQ(out, u"keep");
  EXPECT_TRUE(key.QueryStringValue(u"TEXT", out));  // value names ignore letter case
  EXPECT_EQ(out, u"hello");
  EXPECT_TRUE(key.SetStringValue(u"", u"default"));
  EXPECT_TRUE(key.QueryStringValue(u"", out));
  EXPECT_EQ(out, u"default");
}

TEST_F(RegKeyTest, DwordReadsRefuseOtherTypesAndSizes) {
  CRegKey key(HKEY_LOCAL_MACHINE, u"Software\\Test");
  const DWORD four = 4;
  const QWORD eight = 8;
  ASSERT_EQ(RegSetValueExW(key.m_hKey, u"binary", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&four), 4), 0);
  ASSERT_EQ(RegSetValueExW(key.m_hKey, u"short", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&four), 2), 0);
  ASSERT_EQ(RegSetValueExW(key.m_hKey, u"long", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&eight), 8), 0);
  DWORD value = 0;
  EXPECT_FALSE(key.QueryDWordValue(u"binary", value));
  EXPECT_FALSE(key.QueryDWordValue(u"short", value));
  EXPECT_FALSE(key.QueryDWordValue(u"long", value));
  EXPECT_TRUE(key.SetDWordValue(u"ok", 0xDEADBEEF));
  EXPECT_TRUE(key.QueryDWordValue(u"ok", value));
  EXPECT_EQ(value, 0xDEADBEEFu);
}

TEST_F(RegKeyTest, PathValuesExpandOnePlaceholderFromTheVersionKey) {
  SetRegString(true, "Software\\Mivotec\\Version", "Base", "/srv/data");
  SetRegString(true, "Software\\Mivotec\\Version", "", "/default");
  SetRegString(true, "Software\\Mivotec\\Version", "A%\\%B", "/one-name");
  SetRegString(true, "Software\\Mivotec\\Version", "Loop", "%Base%");
  SetRegString(true, "Software\\Test", "plain", "/plain/lang.db");
  SetRegString(true, "Software\\Test", "base", "%Base%/lang.db");
  SetRegString(true, "Software\\Test", "alone", "%Base%");
  SetRegString(true, "Software\\Test", "percent", "50%");
  SetRegString(true, "Software\\Test", "open", "%Base");
  SetRegString(true, "Software\\Test", "default", "%%x");
  SetRegString(true, "Software\\Test", "two", "%A%\\%B%");
  SetRegString(true, "Software\\Test", "missing", "%Nothing%/x");
  SetRegString(true, "Software\\Test", "once", "%Loop%/x");
  SetRegString(true, "Software\\Test", "expand", "%Base%/x", 2);
  EXPECT_EQ(Path("plain"), u"/plain/lang.db");
  EXPECT_EQ(Path("base"), u"/srv/data/lang.db");
  EXPECT_EQ(Path("alone"), u"/srv/data");
  EXPECT_EQ(Path("percent"), u"FALSE:untouched");
  EXPECT_EQ(Path("open"), u"FALSE:untouched");
  EXPECT_EQ(Path("default"), u"/defaultx");
  EXPECT_EQ(Path("two"), u"/one-name");
  EXPECT_EQ(Path("missing"), u"FALSE:untouched");
  EXPECT_EQ(Path("once"), u"%Base%/x");  // the inserted value is not expanded again
  EXPECT_EQ(Path("expand"), u"FALSE:untouched");
  EXPECT_EQ(Path("absent"), u"FALSE:untouched");
}

TEST_F(RegKeyTest, EnumValueNamesGivesCreationOrderAndEmptyKeysSucceed) {
  CRegKey key(HKEY_LOCAL_MACHINE, u"Software\\Enum");
  CStringArray names{u"stale"};
  EXPECT_TRUE(key.EnumValueNames(names));
  EXPECT_TRUE(names.empty());
  const CString longName(300, u'n');
  for (const CString& n : {CString(u"zeta"), CString(u"Alpha"), longName, CString(u"")}) {
    EXPECT_TRUE(key.SetStringValue(n, u"x"));
  }
  EXPECT_TRUE(key.SetStringValue(u"ZETA", u"replaced keeps its place"));
  EXPECT_TRUE(key.DeleteValue(u"alpha"));
  EXPECT_TRUE(key.EnumValueNames(names));
  EXPECT_EQ(names, (CStringArray{u"zeta", longName, u""}));
}

}  // namespace
}  // namespace mivo::test
