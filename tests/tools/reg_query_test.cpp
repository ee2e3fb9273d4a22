// mivoctl reg query, the usage of reg, and its error reports.
#include "tests/tools/reg_test_support.h"

namespace mivo::test {
namespace {

class RegQuery : public RegToolTest {
 protected:
  void SetUp() override {
    RegToolTest::SetUp();
    ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"Software\\Test", u"Name", REG_SZ, SzBytes(u"text")),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"Software\\Test", u"", REG_SZ, SzBytes(u"def")), ERROR_SUCCESS);
    ASSERT_EQ(
        SetValue(HKEY_CURRENT_USER, u"Software\\Test", u"Count", REG_DWORD, std::string("\x2A\0\0\0", 4)),
        ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"Software\\Test\\Sub", u"Inner", REG_SZ, SzBytes(u"\u0416")),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"Software\\Test\\Sub\\Deeper", u"Count", REG_DWORD,
                       std::string("\x01\0\0\0", 4)),
              ERROR_SUCCESS);
  }
};

TEST_F(RegQuery, PrintsTheKeyItsValuesInOrderAndItsSubkeysWithFullRootNames) {
  const ProcessResult r = Run({"reg", "query", "HKCU\\Software\\Test"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\n"
            "    Name    REG_SZ    text\n"
            "    (Default)    REG_SZ    def\n"
            "    Count    REG_DWORD    0x2a\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\\Sub\n");
}

TEST_F(RegQuery, RecursiveQueryShowsEveryKeyBelow) {
  const ProcessResult r = Run({"reg", "query", "HKEY_CURRENT_USER\\software\\test\\sub", "/s"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_CURRENT_USER\\software\\test\\sub\n"
            "    Inner    REG_SZ    \u0416\n"
            "\n"
            "HKEY_CURRENT_USER\\software\\test\\sub\\Deeper\n"
            "    Count    REG_DWORD    0x1\n"
            "\n");
}

TEST_F(RegQuery, OneValueByNameInAnyCase) {
  const ProcessResult r = Run({"reg", "query", "hkcu\\Software\\Test", "/V", "count"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Test\n    count    REG_DWORD    0x2a\n\n");
}

TEST_F(RegQuery, DefaultValueWithVeAndUnsetDefault) {
  ProcessResult r = Run({"reg", "query", "HKCU\\Software\\Test", "/ve"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Test\n    (Default)    REG_SZ    def\n\n");
  r = Run({"reg", "query", "HKCU\\Software\\Test\\Sub", "/ve"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\nHKEY_CURRENT_USER\\Software\\Test\\Sub\n    (Default)    REG_SZ    (value not set)\n\n");
}

TEST_F(RegQuery, SearchForAValueBelowAKeyCountsTheMatches) {
  ProcessResult r = Run({"reg", "query", "HKCU\\Software", "/v", "Count", "/s"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\n"
            "    Count    REG_DWORD    0x2a\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\\Sub\\Deeper\n"
            "    Count    REG_DWORD    0x1\n"
            "\n"
            "End of search: 2 match(es) found.\n");
  r = Run({"reg", "query", "HKCU\\Software", "/v", "Nothing", "/s"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("End of search: 0 match(es) found."), std::string::npos);
}

TEST_F(RegQuery, EveryTypeIsShownAsWindowsRegShowsIt) {
  const char16_t* key = u"Software\\Types";
  ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, key, u"multi", REG_MULTI_SZ, Utf16(std::u16string(u"a\0bc\0\0", 6))),
            ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, key, u"expand", REG_EXPAND_SZ, SzBytes(u"%HOME%\\x")),
            ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, key, u"bin", REG_BINARY, std::string("\x01\xAB\0", 3)),
            ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, key, u"q", REG_QWORD, std::string("\0\0\0\0\x01\0\0\0", 8)),
            ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, key, u"none", REG_NONE, ""), ERROR_SUCCESS);
  const ProcessResult r = Run({"reg", "query", "HKLM\\Software\\Types"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_LOCAL_MACHINE\\Software\\Types\n"
            "    multi    REG_MULTI_SZ    a\\0bc\n"
            "    expand    REG_EXPAND_SZ    %HOME%\\x\n"
            "    bin    REG_BINARY    01AB00\n"
            "    q    REG_QWORD    0x100000000\n"
            "    none    REG_NONE    \n"
            "\n");
}

TEST_F(RegQuery, MissingKeyOrValueIsRefusedWithOneLine) {
  ProcessResult r = Run({"reg", "query", "HKCU\\Software\\Missing"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(IsOneErrorLine(r.err));
  EXPECT_NE(r.err.find("unable to find"), std::string::npos) << r.err;
  r = Run({"reg", "query", "HKCU\\Software\\Test", "/v", "Missing"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(IsOneErrorLine(r.err));
}

TEST_F(RegQuery, QueryOfAMissingHiveCreatesNoFile) {
  hives_.PointAt(hives_.File("empty"));
  const ProcessResult r = Run({"reg", "query", "HKLM\\Software"});
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(FileExists(hives_.File("empty")));
}

TEST_F(RegQuery, DamagedHiveIsNamedInTheError) {
  hives_.PointAt(hives_.dir().path());
  WriteFile(hives_.userHive(), "this is not a hive\n");
  const ProcessResult r = Run({"reg", "query", "HKCU\\Software"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(IsOneErrorLine(r.err));
  EXPECT_NE(r.err.find(hives_.userHive()), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(hives_.userHive()), "this is not a hive\n");
}

TEST_F(RegQuery, BadUsageExitsWithTwo) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"reg"},
           {"reg", "frobnicate"},
           {"reg", "query"},
           {"reg", "query", "HKCR\\Software"},
           {"reg", "query", "HKCU\\Software", "/x"},
           {"reg", "query", "HKCU\\Software", "/v"},
           {"reg", "query", "HKCU\\Software", "/v", "a", "/ve"},
           {"reg", "query", "HKCU\\Software", "HKLM\\Software"},
       }) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.code, 2) << args.back();
    EXPECT_TRUE(IsOneErrorLine(r.err) || args.size() == 1) << r.err;
  }
}

TEST_F(RegQuery, HelpIsOfferedByRegAndEveryOperation) {
  ProcessResult r = Run({"reg", "--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("Usage: mivoctl reg"), std::string::npos);
  for (const char* operation : {"query", "add", "delete", "import", "export"}) {
    r = Run({"reg", operation, "--help"});
    EXPECT_EQ(r.code, 0) << operation;
    EXPECT_EQ(r.out.rfind(std::string("Usage: mivoctl reg ") + operation, 0), 0U) << r.out;
    r = Run({"reg", operation, "/?"});
    EXPECT_EQ(r.code, 0) << operation;
  }
  r = Run({"--help"});
  EXPECT_NE(r.out.find("reg"), std::string::npos);
}

}  // namespace
}  // namespace mivo::test
