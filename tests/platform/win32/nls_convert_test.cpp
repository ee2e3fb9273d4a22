// MultiByteToWideChar and WideCharToMultiByte: arguments, sizes, errors, default characters, UTF-8.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/win32/nls_test_support.h"
#include "support/TestEnv.h"

namespace {

// Each test starts and ends with the system ANSI code page read afresh.
class Conversion : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    mivo::nls::SetAnsiCodePageForTesting(0);
    mivo::nls::ResetForTesting();
  }
};

using MultiByteToWide = Conversion;
using WideToMultiByte = Conversion;
using Utf8 = Conversion;
using SystemAnsiCodePage = Conversion;

TEST_F(MultiByteToWide, LengthMinusOneIncludesTheTerminator) {
  WCHAR out[8];
  std::fill(std::begin(out), std::end(out), u'x');
  ASSERT_EQ(MultiByteToWideChar(1252, MB_PRECOMPOSED, "ab\xE9", -1, out, 8), 4);
  EXPECT_EQ(std::u16string(out, 5), std::u16string(u"ab\u00E9\0x", 5));
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "", -1, out, 8), 1);
  EXPECT_EQ(out[0], u'\0');
}

TEST_F(MultiByteToWide, ExplicitLengthConvertsZeroBytesLikeAnyOther) {
  EXPECT_EQ(Decode(1252, std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(Decode(932, std::string_view("\x93\xFA\0", 3)), std::u16string(u"\u65E5\0", 2));
}

TEST_F(MultiByteToWide, SizeQueryCountsWithoutWriting) {
  WCHAR out[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(MultiByteToWideChar(932, 0,
                                "\x93\xFA\x96\x7B"
                                "a",
                                -1, out, 0),
            4);
  EXPECT_EQ(out[0], u'x');
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", 3, nullptr, 0), 3);
}

TEST_F(MultiByteToWide, OutputTooSmallFailsWithInsufficientBuffer) {
  WCHAR out[4];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -1, out, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -1, out, 4), 4);

  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(936, 0, "\xD6\xD0\xCE\xC4", 4, out, 1), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(MultiByteToWide, BadArgumentsFailWithInvalidParameter) {
  char bytes[8] = "abc";
  WCHAR out[8];
  const auto fails = [](int result) { return result == 0 && GetLastError() == ERROR_INVALID_PARAMETER; };
  SetLastError(ERROR_SUCCESS);
  EXPECT_TRUE(fails(MultiByteToWideChar(1252, 0, nullptr, 3, out, 8)));
  EXPECT_TRUE(fails(MultiByteToWideChar(1252, 0, bytes, 0, out, 8)));
  EXPECT_TRUE(fails(MultiByteToWideChar(1252, 0, bytes, -2, out, 8)));
  EXPECT_TRUE(fails(MultiByteToWideChar(1252, 0, bytes, 3, out, -1)));
  EXPECT_TRUE(fails(MultiByteToWideChar(1252, 0, bytes, 3, nullptr, 8)));
  // Output over the input.
  EXPECT_TRUE(fails(MultiByteToWideChar(1252, 0, bytes, 3, reinterpret_cast<LPWSTR>(bytes + 2), 2)));
}

TEST_F(MultiByteToWide, UnknownCodePagesFailWithInvalidParameter) {
  WCHAR out[4];
  for (UINT code_page : {1u, 2u, 437u, 850u, 1200u, 1201u, 1259u, 20127u, 28591u, 65000u, 12345u}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(MultiByteToWideChar(code_page, 0, "a", 1, out, 4), 0) << code_page;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << code_page;
  }
}

TEST_F(MultiByteToWide, AcceptsPrecomposedAndRefusesFlagsItDoesNotProvide) {
  WCHAR out[4];
  EXPECT_EQ(MultiByteToWideChar(1251, MB_PRECOMPOSED, "\xC0", 1, out, 4), 1);
  EXPECT_EQ(out[0], u'\u0410');
  constexpr DWORD kComposite = 0x2, kGlyphChars = 0x4;
  for (DWORD flags : {kComposite, kGlyphChars, MB_PRECOMPOSED | 0x100u}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(MultiByteToWideChar(1251, flags, "\xC0", 1, out, 4), 0) << flags;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS) << flags;
  }
}

TEST_F(WideToMultiByte, LengthMinusOneIncludesTheTerminator) {
  char out[8];
  std::fill(std::begin(out), std::end(out), 'x');
  ASSERT_EQ(WideCharToMultiByte(932, 0, u"\u65E5a", -1, out, 8, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(out, 5), std::string("\x93\xFA"
                                             "a\0x",
                                             5));
}

TEST_F(WideToMultiByte, SizeQueryCountsWithoutWriting) {
  char out[2] = {'x', 'x'};
  EXPECT_EQ(WideCharToMultiByte(949, 0, u"\uD55C\uAD6D", -1, out, 0, nullptr, nullptr), 5);
  EXPECT_EQ(out[0], 'x');
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"abc", 3, nullptr, 0, nullptr, nullptr), 3);
}

TEST_F(WideToMultiByte, OutputTooSmallFailsWithInsufficientBuffer) {
  char out[4];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"abc", -1, out, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"abc", -1, out, 4, nullptr, nullptr), 4);

  // A double-byte character is never split.
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(932, 0, u"a\u65E5", 2, out, 2, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(WideCharToMultiByte(932, 0, u"a\u65E5", 2, out, 3, nullptr, nullptr), 3);
}

TEST_F(WideToMultiByte, BadArgumentsFailWithInvalidParameter) {
  char16_t text[8] = u"abc";
  char out[8];
  const auto fails = [](int result) { return result == 0 && GetLastError() == ERROR_INVALID_PARAMETER; };
  SetLastError(ERROR_SUCCESS);
  EXPECT_TRUE(fails(WideCharToMultiByte(1252, 0, nullptr, 3, out, 8, nullptr, nullptr)));
  EXPECT_TRUE(fails(WideCharToMultiByte(1252, 0, text, 0, out, 8, nullptr, nullptr)));
  EXPECT_TRUE(fails(WideCharToMultiByte(1252, 0, text, -2, out, 8, nullptr, nullptr)));
  EXPECT_TRUE(fails(WideCharToMultiByte(1252, 0, text, 3, out, -1, nullptr, nullptr)));
  EXPECT_TRUE(fails(WideCharToMultiByte(1252, 0, text, 3, nullptr, 8, nullptr, nullptr)));
  EXPECT_TRUE(
      fails(WideCharToMultiByte(1252, 0, text, 3, reinterpret_cast<LPSTR>(text + 1), 4, nullptr, nullptr)));
  EXPECT_TRUE(fails(WideCharToMultiByte(437, 0, text, 3, out, 8, nullptr, nullptr)));
  EXPECT_TRUE(fails(WideCharToMultiByte(1200, 0, text, 3, out, 8, nullptr, nullptr)));
}

TEST_F(WideToMultiByte, CharacterThePageLacksBecomesTheDefaultCharacterAndIsReported) {
  BOOL used = 7;
  EXPECT_EQ(Encode(1252, u"a\u0100b\u0416", &used), "a?b?");
  EXPECT_EQ(used, TRUE);
  used = 7;
  EXPECT_EQ(Encode(1252, u"a\u00E9\u20AC", &used), "a\xE9\x80");
  EXPECT_EQ(used, FALSE);
  used = 7;
  EXPECT_EQ(Encode(932, u"\u65E5\uD55C", &used), "\x93\xFA?");  // Hangul is not in 932
  EXPECT_EQ(used, TRUE);
  used = 7;
  EXPECT_EQ(Encode(936, u"\u0E01", &used), "?");  // nor Thai in 936
  EXPECT_EQ(used, TRUE);
}

TEST_F(WideToMultiByte, AppliesNoBestFitReplacements) {
  // Windows' best-fit tables would give 'A', 'A', 'c' and the yen sign's 0x5C here.
  EXPECT_EQ(Encode(1252, u"\u0100\uFF21\u0107"), "???");
  EXPECT_EQ(Encode(1252, u"\u0100", nullptr, nullptr, WC_NO_BEST_FIT_CHARS), "?");
  EXPECT_EQ(Encode(1251, u"\u00E9"), "?");
  EXPECT_EQ(Encode(932, u"\u00A5"), "?");
}

TEST_F(WideToMultiByte, UsesTheGivenDefaultCharacter) {
  BOOL used = FALSE;
  EXPECT_EQ(Encode(1252, u"x\u0100", &used, "*"), "x*");
  EXPECT_EQ(used, TRUE);
  // A lead byte gives a double-byte default character in a double-byte page; in 1252 only the first byte.
  EXPECT_EQ(Encode(932, u"\uD55C", nullptr, "\x81\x45"), "\x81\x45");
  EXPECT_EQ(Encode(1252, u"\u0416", nullptr, "\x81\x45"), "\x81");
}

TEST_F(WideToMultiByte, RefusesFlagsItDoesNotProvide) {
  char out[8];
  constexpr DWORD kCompositeCheck = 0x200, kDefaultChar = 0x40, kDiscardNonSpacing = 0x10;
  for (DWORD flags :
       {kCompositeCheck, kCompositeCheck | kDefaultChar, kDiscardNonSpacing, WC_ERR_INVALID_CHARS}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WideCharToMultiByte(1252, flags, u"a", 1, out, 8, nullptr, nullptr), 0) << flags;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS) << flags;
  }
}

TEST_F(WideToMultiByte, SurrogatesBecomeOneDefaultCharacterPerUnitInAnAnsiPage) {
  BOOL used = FALSE;
  EXPECT_EQ(Encode(1252, u"a\U0001F600b", &used), "a??b");
  EXPECT_EQ(used, TRUE);
  EXPECT_EQ(Encode(1252,
                   u"\xD800"
                   u"a"),
            "?a");
  EXPECT_EQ(Encode(1252, u"a\xDC00"), "a?");
  EXPECT_EQ(Encode(932, u"\xDBFF\xDFFF"), "??");
}

TEST_F(Utf8, EncodesEveryCharacterWithItsUtf8Bytes) {
  EXPECT_EQ(Encode(CP_UTF8, u"a\u00E9\u20AC\U0001F600\U0010FFFF"),
            "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(Decode(CP_UTF8, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"),
            u"a\u00E9\u20AC\U0001F600\U0010FFFF");
}

TEST_F(Utf8, EveryBasicMultilingualCharacterRoundTrips) {
  std::u16string all;
  for (char32_t c = 1; c < 0x10000; ++c) {
    if (c < 0xD800 || c > 0xDFFF) all += static_cast<char16_t>(c);
  }
  const std::string bytes = Encode(CP_UTF8, all);
  EXPECT_EQ(bytes.size(), 0x7Fu + 2 * 0x780u + 3 * (0xF800u - 0x800u));
  EXPECT_EQ(Decode(CP_UTF8, bytes, MB_ERR_INVALID_CHARS), all);
}

TEST_F(Utf8, LoneSurrogatesBecomeTheReplacementCharacter) {
  EXPECT_EQ(Encode(CP_UTF8, u"\xD800"), "\xEF\xBF\xBD");
  EXPECT_EQ(Encode(CP_UTF8,
                   u"\xDC00"
                   u"a"),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(Encode(CP_UTF8, u"\xD83D\xD83D\xDE00"), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
  EXPECT_EQ(Encode(CP_UTF8, u"a\xD83D"), "a\xEF\xBF\xBD");
}

TEST_F(Utf8, LoneSurrogateFailsTheCallWithErrInvalidChars) {
  char out[8];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, u"a\xD800", 2, out, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, u"a\U0001F600", 3, out, 8, nullptr, nullptr),
            5);
}

TEST_F(Utf8, IllFormedBytesBecomeOneReplacementPerMaximalPart) {
  EXPECT_EQ(Decode(CP_UTF8, "\x80"), u"\uFFFD");
  EXPECT_EQ(Decode(CP_UTF8,
                   "a\xFF"
                   "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Decode(CP_UTF8, "\xC0\x80"), u"\uFFFD\uFFFD");                      // overlong
  EXPECT_EQ(Decode(CP_UTF8, "\xE0\x80\x80"), u"\uFFFD\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(Decode(CP_UTF8, "\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // encoded surrogate
  EXPECT_EQ(Decode(CP_UTF8, "\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(Decode(CP_UTF8,
                   "\xE2\x82"
                   "A"),
            u"\uFFFDA");                                  // truncated, then ASCII
  EXPECT_EQ(Decode(CP_UTF8, "\xF0\x9F\x98"), u"\uFFFD");  // truncated at the end
  EXPECT_EQ(Decode(CP_UTF8, "\xF0\x9F\x98\xC3\xA9"), u"\uFFFD\u00E9");
}

TEST_F(Utf8, IllFormedBytesFailTheCallWithErrInvalidChars) {
  WCHAR out[8];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC3", 2, out, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC3", 2, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST_F(Utf8, SupplementaryCharacterNeedsRoomForBothUnits) {
  WCHAR out[2];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, out, 1), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, out, 2), 2);
  EXPECT_EQ(std::u16string(out, 2), u"\U0001F600");
  char bytes[4];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\U0001F600", 2, bytes, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(Utf8, RefusesTheArgumentsOfAnAnsiPage) {
  char out[8];
  WCHAR wide[8];
  BOOL used = FALSE;
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, out, 8, nullptr, &used), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, out, 8, "?", nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"a", 1, out, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

TEST_F(SystemAnsiCodePage, Is1252WhenTheMachineNamesNone) {
  const mivo::test::HiveSandbox hives;  // hive files that do not exist: the code page is absent
  EXPECT_EQ(GetACP(), 1252u);
  EXPECT_EQ(Decode(CP_ACP, "\x80\x81\xE9"), u"\u20AC\u0081\u00E9");
}

TEST_F(SystemAnsiCodePage, OverrideDecidesWhatCpAcpConvertsWith) {
  mivo::nls::SetAnsiCodePageForTesting(1251);
  EXPECT_EQ(GetACP(), 1251u);
  EXPECT_EQ(Decode(CP_ACP, "\xC0\xE0"), u"\u0410\u0430");
  EXPECT_EQ(Encode(CP_ACP, u"\u0410\u00E9"), "\xC0?");

  mivo::nls::SetAnsiCodePageForTesting(932);
  EXPECT_EQ(GetACP(), 932u);
  EXPECT_EQ(Decode(CP_ACP, "\x93\xFA"), u"\u65E5");

  mivo::nls::SetAnsiCodePageForTesting(0);
  mivo::nls::ResetForTesting();
  EXPECT_NE(GetACP(), 932u);
}

TEST_F(SystemAnsiCodePage, NumberThatIsNoAnsiCodePageGives1252) {
  for (UINT code_page : {CP_UTF8, 437u, 1200u, 12345u}) {
    mivo::nls::SetAnsiCodePageForTesting(code_page);
    EXPECT_EQ(GetACP(), 1252u) << code_page;
  }
  EXPECT_EQ(Decode(CP_ACP, "\x81"), u"\u0081");
}

}  // namespace
