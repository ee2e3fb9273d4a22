// mivoctl reg import: both .reg formats and encodings, every value form, and all-or-nothing failure.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/tools/reg_test_support.h"

namespace mivo::test {
namespace {

class RegImport : public RegToolTest {
 protected:
  // Writes `text` (UTF-8 source) as a .reg file in the given encoding and line ends, and imports it.
  enum class Encoding { kUtf8, kUtf8Bom, kUtf16 };
  ProcessResult Import(const std::string& text, Encoding encoding = Encoding::kUtf8, bool crlf = false) {
    std::string lines;
    for (char c : text) {
      if (c == '\n' && crlf) lines += '\r';
      lines += c;
    }
    std::string bytes;
    switch (encoding) {
      case Encoding::kUtf8:
        bytes = lines;
        break;
      case Encoding::kUtf8Bom:
        bytes = "\xEF\xBB\xBF" + lines;
        break;
      case Encoding::kUtf16:
        bytes = "\xFF\xFE" + Utf16(AfxFromUtf8(lines));
        break;
    }
    const std::string file = hives_.File("import.reg");
    WriteFile(file, bytes);
    return Run({"reg", "import", file});
  }
};

const char kEveryForm[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "; a comment\n"
    "[HKEY_CURRENT_USER\\Software\\Imported]\n"
    "\"Text\"=\"a \\\"quoted\\\" C:\\\\path \u0416\u4E2D\"\n"
    "@=\"default\"\n"
    "\"Number\"=dword:0000002a\n"
    "\"Bytes\"=hex:01,ff,00\n"
    "\"Expand\"=hex(2):25,00,48,00,00,00\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
    "\"Quad\"=hex(b):01,02,03,04,05,06,07,08\n"
    "\"Empty\"=\"\"\n"
    "\"NoBytes\"=hex:\n"
    "\"Odd\"=hex(12345678):aa\n"
    "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
    "  16,17,18\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Machine\\Deep]\n"
    "\"M\"=dword:1\n";

TEST_F(RegImport, EveryValueFormStoresItsTypeAndBytes) {
  const ProcessResult r = Import(kEveryForm);
  ASSERT_EQ(r.code, 0) << r.err;
  const char16_t* key = u"Software\\Imported";
  struct Expected {
    const char16_t* name;
    DWORD type;
    std::string bytes;
  };
  std::string longBytes;
  for (int i = 0; i <= 0x18; ++i) longBytes += static_cast<char>(i);
  const std::vector<Expected> expected = {
      {u"Text", REG_SZ, SzBytes(u"a \"quoted\" C:\\path \u0416\u4E2D")},
      {u"", REG_SZ, SzBytes(u"default")},
      {u"Number", REG_DWORD, std::string("\x2A\0\0\0", 4)},
      {u"Bytes", REG_BINARY, std::string("\x01\xFF\0", 3)},
      {u"Expand", REG_EXPAND_SZ, SzBytes(u"%H")},
      {u"Multi", REG_MULTI_SZ, Utf16(std::u16string(u"a\0b\0\0", 5))},
      {u"Quad", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
      {u"Empty", REG_SZ, SzBytes(u"")},
      {u"NoBytes", REG_BINARY, ""},
      {u"Odd", 0x12345678, "\xAA"},
      {u"Long", REG_BINARY, longBytes},
  };
  for (const auto& e : expected) {
    const RegValue value = ReadValue(HKEY_CURRENT_USER, key, e.name);
    ASSERT_EQ(value.status, ERROR_SUCCESS) << AfxToUtf8(e.name);
    EXPECT_EQ(value.type, e.type) << AfxToUtf8(e.name);
    EXPECT_EQ(value.bytes, e.bytes) << AfxToUtf8(e.name);
  }
  // Created in file order.
  std::vector<std::u16string> names;
  for (const auto& e : expected) names.emplace_back(e.name);
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, key), names);
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, u"Software\\Machine\\Deep", u"M").bytes,
            std::string("\x01\0\0\0", 4));
}

TEST_F(RegImport, Utf16WithBomAndCrlfReadsTheSame) {
  const ProcessResult r = Import(kEveryForm, Encoding::kUtf16, /*crlf=*/true);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Imported", u"Text").bytes,
            SzBytes(u"a \"quoted\" C:\\path \u0416\u4E2D"));
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Imported", u"Long").bytes.size(), 25U);
}

TEST_F(RegImport, Utf8WithBomReadsTheSame) {
  const ProcessResult r = Import(kEveryForm, Encoding::kUtf8Bom, /*crlf=*/true);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Imported", u"Multi").type, REG_MULTI_SZ);
}

TEST_F(RegImport, Regedit4KeepsTextBytesEightBitInTheFileAndWideInTheHive) {
  const ProcessResult r = Import(
      "REGEDIT4\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\Old]\n"
      "\"Text\"=\"caf\u00E9\"\n"
      "\"Expand\"=hex(2):25,41,25,00\n"
      "\"Multi\"=hex(7):61,00,62,00,00\n"
      "\"N\"=dword:00000010\n");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Old", u"Text").bytes, SzBytes(u"caf\u00E9"));
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Old", u"Expand").bytes, SzBytes(u"%A%"));
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Old", u"Multi").bytes,
            Utf16(std::u16string(u"a\0b\0\0", 5)));
}

TEST_F(RegImport, DeletionsRemoveKeysAndValues) {
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"Software\\Gone\\Below", u"x", REG_SZ, SzBytes(u"x")),
            ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"Software\\Kept", u"drop", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"Software\\Kept", u"", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"Software\\Kept", u"stay", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  const ProcessResult r = Import(
      "Windows Registry Editor Version 5.00\n"
      "[-HKEY_CURRENT_USER\\Software\\Gone]\n"
      "[-HKEY_CURRENT_USER\\Software\\NeverWas]\n"
      "[HKEY_CURRENT_USER\\Software\\Kept]\n"
      "\"drop\"=-\n"
      "@=-\n"
      "\"absent\"=-\n");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Gone"));
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, u"Software\\Kept"), std::vector<std::u16string>{u"stay"});
}

TEST_F(RegImport, KeyWithoutValuesIsCreated) {
  ASSERT_EQ(
      Import("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Empty\\Key]\n").code, 0);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"Software\\Empty\\Key"));
}

struct Malformed {
  const char* text;
  int line;
};

class RegImportMalformed : public RegImport, public ::testing::WithParamInterface<Malformed> {};

TEST_P(RegImportMalformed, NamesTheLineAndChangesNothingInEitherHive) {
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"Software\\Before", u"v", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"Software\\Before", u"v", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  mivo::reg::ResetForTesting();
  const std::string user = ReadFile(hives_.userHive());
  const std::string machine = ReadFile(hives_.machineHive());

  const ProcessResult r = Import(std::string("Windows Registry Editor Version 5.00\n"
                                             "\n"
                                             "[HKEY_LOCAL_MACHINE\\Software\\New]\n"
                                             "\"a\"=\"1\"\n"
                                             "[-HKEY_CURRENT_USER\\Software\\Before]\n"
                                             "[HKEY_CURRENT_USER\\Software\\New]\n"
                                             "\"b\"=dword:00000002\n") +
                                 GetParam().text);
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(IsOneErrorLine(r.err)) << r.err;
  EXPECT_NE(r.err.find("import.reg:" + std::to_string(GetParam().line) + ":"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(hives_.userHive()), user);
  EXPECT_EQ(ReadFile(hives_.machineHive()), machine);
}

INSTANTIATE_TEST_SUITE_P(
    EachMistake, RegImportMalformed,
    ::testing::Values(Malformed{"\"c\"=dword:123456789\n", 8}, Malformed{"\"c\"=dword:xyz\n", 8},
                      Malformed{"\"c\"=hex:0g\n", 8}, Malformed{"\"c\"=hex:01,,02\n", 8},
                      Malformed{"\"c\"=hex(z):01\n", 8}, Malformed{"\"c\"=\"unterminated\n", 8},
                      Malformed{"\"c\"=\"bad \\q escape\"\n", 8}, Malformed{"\"c\"\n", 8},
                      Malformed{"\"c\"=text\n", 8}, Malformed{"garbage\n", 8},
                      Malformed{"[HKEY_CLASSES_ROOT\\Software]\n", 8},
                      Malformed{"[HKEY_USERS\\.DEFAULT\\x]\n\"v\"=\"1\"\n", 8},
                      Malformed{"[HKEY_CURRENT_USER\\Unclosed\n", 8}, Malformed{"\n\n\"c\"=hex:01,\\\n", 10},
                      Malformed{"[-HKEY_CURRENT_USER\\X]\n\"v\"=\"under a deleted key\"\n", 9}));

TEST_F(RegImport, WrongHeaderIsRefused) {
  const ProcessResult r = Import("[HKEY_CURRENT_USER\\Software\\X]\n\"a\"=\"1\"\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("import.reg:1:"), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(hives_.userHive()));
}

TEST_F(RegImport, ValueBeforeAnyKeyIsRefused) {
  const ProcessResult r = Import("Windows Registry Editor Version 5.00\n\"a\"=\"1\"\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("import.reg:2:"), std::string::npos) << r.err;
}

TEST_F(RegImport, InvalidUtf8IsRefusedWithItsLine) {
  const ProcessResult r =
      Import("Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"a\"=\"\xC3\x28\"\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("import.reg:3:"), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(hives_.userHive()));
}

TEST_F(RegImport, MissingFileIsRefused) {
  const ProcessResult r = Run({"reg", "import", hives_.File("nothing.reg")});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(IsOneErrorLine(r.err));
}

TEST_F(RegImport, HiveTheUserMayNotWriteRefusesTheWholeImport) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as uid 65534";
  if (!FileExists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv is not installed";
  // The user hive is writable for uid 65534, the machine hive only readable.
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"U", u"v", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"M", u"v", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  mivo::reg::ResetForTesting();
  const std::string folder = hives_.File("hives");
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown(hives_.userHive().c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(hives_.machineHive().c_str(), 0644), 0);
  const std::string user = ReadFile(hives_.userHive());
  const std::string file = hives_.File("mixed.reg");
  WriteFile(file,
            "Windows Registry Editor Version 5.00\n"
            "[HKEY_CURRENT_USER\\U]\n"
            "\"new\"=\"1\"\n"
            "[HKEY_LOCAL_MACHINE\\M]\n"
            "\"new\"=\"1\"\n");
  const ProcessResult r = RunTool({"reg", "import", file}, "",
                                  {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("access is denied"), std::string::npos) << r.err;
  mivo::reg::ResetForTesting();
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"U", u"new").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadFile(hives_.userHive()), user);
}

}  // namespace
}  // namespace mivo::test
