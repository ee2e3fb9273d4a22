// GetLocaleInfoW with LOCALE_IDEFAULTANSICODEPAGE.

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/winnls.h"

namespace {

// The answer for `lcid` through a generous buffer; empty when the call fails.
std::u16string AnsiCodePageOf(LCID lcid, LCTYPE type = LOCALE_IDEFAULTANSICODEPAGE) {
  WCHAR buffer[16];
  const int n = GetLocaleInfoW(lcid, type, buffer, 16);
  if (n <= 0) return {};
  EXPECT_EQ(buffer[n - 1], u'\0');
  return std::u16string(buffer, n - 1);
}

TEST(LocaleAnsiCodePage, IsTheWindowsDefaultOfEachLocale) {
  const struct {
    LANGID id;
    const char16_t* code_page;
  } cases[] = {
      {0x0409, u"1252"}, {0x0407, u"1252"}, {0x0807, u"1252"}, {0x040C, u"1252"}, {0x0C0A, u"1252"},
      {0x0419, u"1251"}, {0x0422, u"1251"}, {0x0402, u"1251"}, {0x0411, u"932"},  {0x0804, u"936"},
      {0x0404, u"950"},  {0x0C04, u"950"},  {0x1004, u"936"},  {0x1404, u"950"},  {0x0412, u"949"},
      {0x041E, u"874"},  {0x0405, u"1250"}, {0x0415, u"1250"}, {0x040E, u"1250"}, {0x0408, u"1253"},
      {0x041F, u"1254"}, {0x040D, u"1255"}, {0x0401, u"1256"}, {0x0429, u"1256"}, {0x0425, u"1257"},
      {0x0426, u"1257"}, {0x0427, u"1257"}, {0x042A, u"1258"}, {0x041A, u"1250"}, {0x081A, u"1250"},
      {0x0C1A, u"1251"}, {0x042C, u"1254"}, {0x082C, u"1251"}, {0x007F, u"1252"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AnsiCodePageOf(c.id), c.code_page) << std::hex << c.id;
  }
}

TEST(LocaleAnsiCodePage, IsZeroForUnicodeOnlyLocales) {
  for (LANGID id : {0x0439, 0x042B, 0x0437, 0x0445, 0x0449}) {
    WCHAR buffer[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(GetLocaleInfoW(id, LOCALE_IDEFAULTANSICODEPAGE, buffer, 4), 2) << std::hex << id;
    EXPECT_EQ(std::u16string(buffer, 2), std::u16string(u"0\0", 2));
  }
}

TEST(LocaleAnsiCodePage, WritesTheTerminatedTextAndReturnsItsLengthWithTheTerminator) {
  WCHAR buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), u'x');
  ASSERT_EQ(GetLocaleInfoW(0x0419, LOCALE_IDEFAULTANSICODEPAGE, buffer, 8), 5);
  EXPECT_EQ(std::u16string(buffer, 6), std::u16string(u"1251\0x", 6));
}

TEST(LocaleAnsiCodePage, SizeQueryReturnsTheLengthNeededAndWritesNothing) {
  WCHAR buffer[2] = {u'x', u'x'};
  EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_IDEFAULTANSICODEPAGE, buffer, 0), 5);
  EXPECT_EQ(GetLocaleInfoW(0x0411, LOCALE_IDEFAULTANSICODEPAGE, nullptr, 0), 4);
  EXPECT_EQ(buffer[0], u'x');
}

TEST(LocaleAnsiCodePage, BufferTooSmallForTheTerminatorFails) {
  WCHAR buffer[5];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_IDEFAULTANSICODEPAGE, buffer, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_IDEFAULTANSICODEPAGE, buffer, 5), 5);

  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetLocaleInfoW(0x0411, LOCALE_IDEFAULTANSICODEPAGE, buffer, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(GetLocaleInfoW(0x0411, LOCALE_IDEFAULTANSICODEPAGE, buffer, 4), 4);
}

TEST(LocaleAnsiCodePage, IdsThatAreNoLocaleFailWithInvalidParameter) {
  // 99 is the configuration store's id; 0x0400 and 0x0800 are the pseudo-locales for the user's and the
  // system's default; 0x0009 and 0x0063 are neutral (language-only) ids.
  for (LCID id : {99u, 0x0000u, 0x0400u, 0x0800u, 0x0009u, 0x0063u, 0x0419u + 0x2000u, 0xFFFFu}) {
    WCHAR buffer[8] = {u'x'};
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetLocaleInfoW(id, LOCALE_IDEFAULTANSICODEPAGE, buffer, 8), 0) << std::hex << id;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << std::hex << id;
    EXPECT_EQ(GetLocaleInfoW(id, LOCALE_IDEFAULTANSICODEPAGE, nullptr, 0), 0) << std::hex << id;
    EXPECT_EQ(buffer[0], u'x');
  }
}

TEST(LocaleAnsiCodePage, OnlyTheLanguageIdOfTheLocaleCounts) {
  EXPECT_EQ(AnsiCodePageOf(MAKELCID(0x0411, 1)), u"932");
  EXPECT_EQ(AnsiCodePageOf(MAKELCID(0x0804, 2)), u"936");
  EXPECT_EQ(AnsiCodePageOf(MAKELCID(0x0407, 1)), u"1252");
}

TEST(LocaleAnsiCodePage, AcceptsNoUserOverride) {
  EXPECT_EQ(AnsiCodePageOf(0x0419, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_NOUSEROVERRIDE), u"1251");
}

TEST(LocaleAnsiCodePage, OtherInformationFailsWithInvalidFlags) {
  constexpr LCTYPE kLanguageName = 0x0002, kOemCodePage = 0x000B, kMacCodePage = 0x1011;
  for (LCTYPE type : {kLanguageName, kOemCodePage, kMacCodePage, LOCALE_NOUSEROVERRIDE, 0u}) {
    WCHAR buffer[16];
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetLocaleInfoW(0x0409, type, buffer, 16), 0) << std::hex << type;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS) << std::hex << type;
  }
}

TEST(LocaleAnsiCodePage, BadBufferArgumentsFailWithInvalidParameter) {
  WCHAR buffer[8];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_IDEFAULTANSICODEPAGE, buffer, -1), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_IDEFAULTANSICODEPAGE, nullptr, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(LocaleAnsiCodePage, EveryCodePageAnsweredCanBeConvertedWith) {
  int answered = 0;
  for (LCID id = 0; id <= 0xFFFF; ++id) {
    WCHAR buffer[8];
    const int n = GetLocaleInfoW(id, LOCALE_IDEFAULTANSICODEPAGE, buffer, 8);
    if (n == 0) continue;
    ++answered;
    ASSERT_GE(n, 2) << std::hex << id;
    UINT code_page = 0;
    for (int i = 0; i < n - 1; ++i) {
      ASSERT_TRUE(buffer[i] >= u'0' && buffer[i] <= u'9') << std::hex << id;
      code_page = code_page * 10 + (buffer[i] - u'0');
    }
    if (code_page == 0) continue;
    WCHAR unit = 0;
    EXPECT_EQ(MultiByteToWideChar(code_page, MB_PRECOMPOSED, "A", 1, &unit, 1), 1)
        << std::hex << id << " answers " << std::dec << code_page;
    EXPECT_EQ(unit, u'A');
  }
  EXPECT_GT(answered, 200);  // the table holds the Windows locales, not a handful
}

}  // namespace
