// mivoctl reg export: the registry editor's format, encodings, refusals, and an exact round trip through
// import.
#include "tests/tools/reg_test_support.h"

namespace mivo::test {
namespace {

using RegExport = RegToolTest;

std::string Sequence(int count) {
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes += static_cast<char>(i);
  return bytes;
}

TEST_F(RegExport, WritesTheRegistryEditorFormatWithWrappedHex) {
  const char16_t* key = u"Software\\Exp";
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, key, u"Text", REG_SZ, SzBytes(u"say \"hi\" C:\\x")), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, key, u"", REG_SZ, SzBytes(u"")), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, key, u"N", REG_DWORD, std::string("\x2A\0\0\0", 4)), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, key, u"bin", REG_BINARY, Sequence(30)), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, key, u"q", REG_QWORD, std::string("\x01\0\0\0\0\0\0\0", 8)),
            ERROR_SUCCESS);
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"Software\\Exp\\Sub", u"e", REG_EXPAND_SZ, SzBytes(u"%A%")),
            ERROR_SUCCESS);
  const std::string file = hives_.File("out.reg");
  const ProcessResult r = Run({"reg", "export", "HKCU\\Software\\Exp", file, "--utf8"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadFile(file),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\Exp]\n"
            "\"Text\"=\"say \\\"hi\\\" C:\\\\x\"\n"
            "@=\"\"\n"
            "\"N\"=dword:0000002a\n"
            "\"bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\n"
            "  17,18,19,1a,1b,1c,1d\n"
            "\"q\"=hex(b):01,00,00,00,00,00,00,00\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\Exp\\Sub]\n"
            "\"e\"=hex(2):25,00,41,00,25,00,00,00\n"
            "\n");
}

TEST_F(RegExport, ContinuationLinesHoldTwentyFiveBytesAndNoLineExceedsEightyColumns) {
  ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"K", u"b", REG_BINARY, Sequence(200)), ERROR_SUCCESS);
  const std::string file = hives_.File("out.reg");
  ASSERT_EQ(Run({"reg", "export", "HKLM\\K", file, "--utf8"}).code, 0);
  const std::string text = ReadFile(file);
  std::size_t start = 0, continuations = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    EXPECT_LE(line.size(), 80U) << line;
    if (line.rfind("  ", 0) == 0 && line.back() == '\\') {
      EXPECT_EQ(line.size(), 2U + 25 * 3 + 1) << line;
      ++continuations;
    }
    start = end + 1;
  }
  EXPECT_GE(continuations, 6U);
}

TEST_F(RegExport, DefaultEncodingIsUtf16WithBomAndCrlf) {
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"K", u"\u0416", REG_SZ, SzBytes(u"\u4E2D")), ERROR_SUCCESS);
  const std::string file = hives_.File("out.reg");
  ASSERT_EQ(Run({"reg", "export", "HKCU\\K", file}).code, 0);
  EXPECT_EQ(ReadFile(file), "\xFF\xFE" + Utf16(u"Windows Registry Editor Version 5.00\r\n\r\n"
                                               u"[HKEY_CURRENT_USER\\K]\r\n"
                                               u"\"\u0416\"=\"\u4E2D\"\r\n"
                                               u"\r\n"));
}

TEST_F(RegExport, MissingKeyFailsAndWritesNoFile) {
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"K", u"v", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  const std::string file = hives_.File("out.reg");
  const ProcessResult r = Run({"reg", "export", "HKCU\\Missing", file});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(IsOneErrorLine(r.err));
  EXPECT_FALSE(FileExists(file));
}

TEST_F(RegExport, ExistingFileIsKeptWithoutSlashYAndReplacedWithIt) {
  ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"K", u"v", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);
  const std::string file = hives_.File("out.reg");
  WriteFile(file, "precious");
  ProcessResult r = Run({"reg", "export", "HKCU\\K", file});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("/y"), std::string::npos);
  EXPECT_EQ(ReadFile(file), "precious");
  r = Run({"reg", "export", "HKCU\\K", file, "/y", "--utf8"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadFile(file).rfind("Windows Registry Editor Version 5.00\n", 0), 0U);
}

// A tree with every value type, non-Latin names and texts, empty names and values, and data that a quoted
// string cannot carry, on both roots.
void FillRoundTripHives() {
  struct V {
    HKEY root;
    const char16_t* key;
    const char16_t* name;
    DWORD type;
    std::string bytes;
  };
  const std::vector<V> values = {
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"", REG_SZ,
       SzBytes(u"\u043F\u0440\u0438\u0432\u0435\u0442")},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"\u4E2D\u6587 \U0001F600", REG_SZ,
       SzBytes(u"\u65E5\u672C\u8A9E \"q\" \\ \U0001F600")},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"empty", REG_SZ, SzBytes(u"")},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"zeroBytes", REG_SZ, ""},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"noTerminator", REG_SZ, Utf16(u"abc")},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"lines", REG_SZ, SzBytes(u"one\r\ntwo")},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"odd", REG_SZ, std::string("abc", 3)},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"none", REG_NONE, ""},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"expand", REG_EXPAND_SZ,
       SzBytes(u"%\u0416%\\x")},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"binary", REG_BINARY, Sequence(256)},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"emptyBinary", REG_BINARY, ""},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"dword", REG_DWORD,
       std::string("\xEF\xBE\xAD\xDE", 4)},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"shortDword", REG_DWORD,
       std::string("\x01", 1)},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"bigEndian", 5,
       std::string("\0\0\0\x01", 4)},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"multi", REG_MULTI_SZ,
       Utf16(std::u16string(u"\u0410\0b\0\0", 5))},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"qword", REG_QWORD, Sequence(8)},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"strange", 0x12345678, "x"},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E\\B\\\u5B50", u"deep", REG_SZ, SzBytes(u"1")},
      {HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E\\a", u"", REG_SZ, SzBytes(u"default only")},
      {HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase", u"", REG_SZ, SzBytes(u"3.1.1.0")},
      {HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase\\LanguageDataBase's", u"1", REG_SZ,
       SzBytes(u"%Base%/lang.db")},
  };
  for (const auto& v : values) ASSERT_EQ(SetValue(v.root, v.key, v.name, v.type, v.bytes), ERROR_SUCCESS);
  HKEY empty = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E\\B\\Empty", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &empty, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(empty);
}

class RegExportRoundTrip : public RegToolTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RegExportRoundTrip, ImportOfAnExportIntoEmptyHivesExportsByteIdentically) {
  const bool utf8 = GetParam();
  FillRoundTripHives();
  if (HasFatalFailure()) return;
  auto exportBoth = [&](const std::string& tag) {
    std::vector<std::string> files;
    for (const char* key : {"HKCU\\Software", "HKEY_LOCAL_MACHINE\\Software\\Mivotec"}) {
      const std::string file = hives_.File(tag + std::to_string(files.size()) + ".reg");
      std::vector<std::string> args = {"reg", "export", key, file};
      if (utf8) args.push_back("--utf8");
      const ProcessResult r = Run(args);
      EXPECT_EQ(r.code, 0) << r.err;
      files.push_back(file);
    }
    return files;
  };
  const std::vector<std::string> first = exportBoth("first");

  hives_.PointAt(hives_.File("fresh"));
  for (const auto& file : first) {
    const ProcessResult r = Run({"reg", "import", file});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  const std::vector<std::string> second = exportBoth("second");
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(ReadFile(second[i]), ReadFile(first[i])) << first[i];
  }
  // And the values really are the same, not just their text.
  const RegValue lines = ReadValue(HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"lines");
  EXPECT_EQ(lines.type, REG_SZ);
  EXPECT_EQ(lines.bytes, SzBytes(u"one\r\ntwo"));
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E", u"odd").bytes, "abc");
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\\u041C\u0438\u0432\u043E\\B\\Empty"));
}

INSTANTIATE_TEST_SUITE_P(BothEncodings, RegExportRoundTrip, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? std::string("Utf8") : std::string("Utf16");
                         });

}  // namespace
}  // namespace mivo::test
