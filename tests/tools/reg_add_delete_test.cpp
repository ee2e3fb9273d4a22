// mivoctl reg add and reg delete: the data each type stores, /f, and refusals.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/tools/reg_test_support.h"

namespace mivo::test {
namespace {

using RegAdd = RegToolTest;
using RegDelete = RegToolTest;

struct AddCase {
  std::vector<std::string> typeAndData;
  DWORD type;
  std::string bytes;
};

TEST_F(RegAdd, EveryTypeStoresTheDataWindowsRegWould) {
  const std::vector<AddCase> cases = {
      {{"/d", "text"}, REG_SZ, SzBytes(u"text")},
      {{}, REG_SZ, SzBytes(u"")},
      {{"/t", "REG_SZ", "/d", "\u4E2D\u6587"}, REG_SZ, SzBytes(u"\u4E2D\u6587")},
      {{"/t", "reg_expand_sz", "/d", "%HOME%"}, REG_EXPAND_SZ, SzBytes(u"%HOME%")},
      {{"/t", "REG_MULTI_SZ", "/d", "a\\0bc"}, REG_MULTI_SZ, Utf16(std::u16string(u"a\0bc\0\0", 6))},
      {{"/t", "REG_MULTI_SZ", "/s", ";", "/d", "a;b"}, REG_MULTI_SZ, Utf16(std::u16string(u"a\0b\0\0", 5))},
      {{"/t", "REG_MULTI_SZ", "/d", ""}, REG_MULTI_SZ, Utf16(std::u16string(u"\0", 1))},
      {{"/t", "REG_DWORD", "/d", "42"}, REG_DWORD, std::string("\x2A\0\0\0", 4)},
      {{"/t", "REG_DWORD", "/d", "0xFFFFFFFF"}, REG_DWORD, std::string("\xFF\xFF\xFF\xFF", 4)},
      {{"/t", "REG_DWORD", "/d", "4294967295"}, REG_DWORD, std::string("\xFF\xFF\xFF\xFF", 4)},
      {{"/t", "REG_QWORD", "/d", "0x100000002"}, REG_QWORD, std::string("\x02\0\0\0\x01\0\0\0", 8)},
      {{"/t", "REG_QWORD", "/d", "18446744073709551615"}, REG_QWORD, std::string(8, '\xFF')},
      {{"/t", "REG_BINARY", "/d", "00ff7A"}, REG_BINARY, std::string("\0\xFF\x7A", 3)},
      {{"/t", "REG_NONE"}, REG_NONE, ""},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string name = "v" + std::to_string(i);
    std::vector<std::string> args = {"reg", "add", "HKCU\\Software\\Added", "/v", name};
    args.insert(args.end(), cases[i].typeAndData.begin(), cases[i].typeAndData.end());
    const ProcessResult r = Run(args);
    ASSERT_EQ(r.code, 0) << i << r.err;
    EXPECT_EQ(r.out, "The operation completed successfully.\n");
    const RegValue value = ReadValue(HKEY_CURRENT_USER, u"Software\\Added", AfxFromUtf8(name).c_str());
    ASSERT_EQ(value.status, ERROR_SUCCESS) << i;
    EXPECT_EQ(value.type, cases[i].type) << i;
    EXPECT_EQ(value.bytes, cases[i].bytes) << i;
  }
}

TEST_F(RegAdd, InvalidDataIsBadUsageAndStoresNothing) {
  for (const std::vector<std::string>& typeAndData : std::vector<std::vector<std::string>>{
           {"/t", "REG_DWORD", "/d", "4294967296"},
           {"/t", "REG_DWORD", "/d", "-1"},
           {"/t", "REG_DWORD", "/d", "12abc"},
           {"/t", "REG_DWORD", "/d", "0x"},
           {"/t", "REG_QWORD", "/d", "18446744073709551616"},
           {"/t", "REG_BINARY", "/d", "abc"},
           {"/t", "REG_BINARY", "/d", "zz"},
           {"/t", "REG_LINK", "/d", "x"},
           {"/t", "REG_SZ", "/s", ",", "/d", "x"},
       }) {
    std::vector<std::string> args = {"reg", "add", "HKCU\\Software\\Bad", "/v", "x"};
    args.insert(args.end(), typeAndData.begin(), typeAndData.end());
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.code, 2) << typeAndData.back();
    EXPECT_TRUE(IsOneErrorLine(r.err)) << r.err;
  }
  EXPECT_FALSE(FileExists(hives_.userHive()));
}

TEST_F(RegAdd, AddWithoutValueCreatesTheKeyOnly) {
  const ProcessResult r = Run({"reg", "add", "HKLM\\Software\\Mivotec\\DataBase"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase"));
  EXPECT_TRUE(ValueNames(HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase").empty());
  EXPECT_EQ(Run({"reg", "add", "HKLM\\Software\\Mivotec\\DataBase"}).code, 0);  // existing key: fine
}

TEST_F(RegAdd, ExistingValueIsRefusedWithoutSlashFAndReplacedWithIt) {
  ASSERT_EQ(Run({"reg", "add", "HKCU\\K", "/v", "Lang", "/d", "old"}).code, 0);
  ProcessResult r = Run({"reg", "add", "HKCU\\K", "/v", "LANG", "/d", "new"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(IsOneErrorLine(r.err));
  EXPECT_NE(r.err.find("/f"), std::string::npos) << r.err;
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"K", u"Lang").bytes, SzBytes(u"old"));

  r = Run({"reg", "add", "HKCU\\K", "/v", "LANG", "/t", "REG_DWORD", "/d", "7", "/f"});
  ASSERT_EQ(r.code, 0) << r.err;
  const RegValue value = ReadValue(HKEY_CURRENT_USER, u"K", u"Lang");
  EXPECT_EQ(value.type, REG_DWORD);
  EXPECT_EQ(value.bytes, std::string("\x07\0\0\0", 4));
}

TEST_F(RegAdd, SlashVeSetsTheDefaultValue) {
  ASSERT_EQ(Run({"reg", "add", "HKLM\\Software\\Mivotec\\DataBase", "/ve", "/d", "3.1.1.0"}).code, 0);
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase", u"").bytes, SzBytes(u"3.1.1.0"));
  EXPECT_EQ(Run({"reg", "add", "HKLM\\Software\\Mivotec\\DataBase", "/ve", "/d", "x"}).code, 1);
}

TEST_F(RegAdd, ReadOnlyHiveIsRefusedForAnUnprivilegedUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as uid 65534";
  if (!FileExists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv is not installed";
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"K", u"v", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  mivo::reg::ResetForTesting();
  ASSERT_EQ(::chmod(hives_.File("hives").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(hives_.userHive().c_str(), 0644), 0);
  const std::string before = ReadFile(hives_.userHive());
  const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                           "--clear-groups"};
  ProcessResult r = RunTool({"reg", "add", "HKCU\\K", "/v", "w", "/d", "y"}, "", nobody);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("access is denied"), std::string::npos) << r.err;
  r = RunTool({"reg", "query", "HKCU\\K", "/v", "v"}, "", nobody);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadFile(hives_.userHive()), before);
}

TEST_F(RegDelete, WithoutSlashFNothingIsDeleted) {
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"K\\Sub", u"v", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"reg", "delete", "HKCU\\K"},
                                             {"reg", "delete", "HKCU\\K\\Sub", "/v", "v"},
                                             {"reg", "delete", "HKCU\\K\\Sub", "/va"}}) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(IsOneErrorLine(r.err));
    EXPECT_NE(r.err.find("/f"), std::string::npos);
  }
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"K\\Sub", u"v").status, ERROR_SUCCESS);
}

TEST_F(RegDelete, DeletesAValueTheDefaultValueOrAllValues) {
  for (const char16_t* name : {u"a", u"b", u""}) {
    ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"K", name, REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  }
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"K\\Sub", u"s", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  ASSERT_EQ(Run({"reg", "delete", "HKCU\\K", "/v", "A", "/f"}).code, 0);
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, u"K"), (std::vector<std::u16string>{u"b", u""}));
  ASSERT_EQ(Run({"reg", "delete", "HKCU\\K", "/ve", "/f"}).code, 0);
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, u"K"), std::vector<std::u16string>{u"b"});
  EXPECT_EQ(Run({"reg", "delete", "HKCU\\K", "/v", "a", "/f"}).code, 1);  // gone already

  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"K", u"c", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  ASSERT_EQ(Run({"reg", "delete", "HKCU\\K", "/va", "/f"}).code, 0);
  EXPECT_TRUE(ValueNames(HKEY_CURRENT_USER, u"K").empty());
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"K\\Sub", u"s").status, ERROR_SUCCESS);  // subkeys stay
}

TEST_F(RegDelete, DeletesAKeyWithEverythingBelowIt) {
  ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"Software\\A\\B\\C", u"v", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"Software\\AB", u"v", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  const ProcessResult r = Run({"reg", "delete", "HKEY_LOCAL_MACHINE\\Software\\A", "/f"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"Software\\A"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"Software\\AB"));
  EXPECT_EQ(Run({"reg", "delete", "HKLM\\Software\\A", "/f"}).code, 1);
}

TEST_F(RegDelete, RootKeyIsNotDeleted) {
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"K", u"v", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  const ProcessResult r = Run({"reg", "delete", "HKCU", "/f"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"K"));
}

}  // namespace
}  // namespace mivo::test
