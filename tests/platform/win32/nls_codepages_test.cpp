// The code-page tables: Windows' own decoding of every byte, texts of each language, and the round trip
// of a text's bytes through 1252 that the text stores rely on.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/nls_test_support.h"

namespace {

std::string AllBytes() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes;
}

constexpr UINT kSingleBytePages[] = {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258};
constexpr UINT kDoubleBytePages[] = {932, 936, 949, 950};

// Texts and their bytes in the language's ANSI code page.
struct Sample {
  UINT code_page;
  const char* bytes;
  const char16_t* text;
};
constexpr Sample kSamples[] = {
    {932, "\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x83\x65\x83\x4C\x83\x58\x83\x67",
     u"\u65E5\u672C\u8A9E\u306E\u30C6\u30AD\u30B9\u30C8"},  // Japanese
    {932, "\xB1\xB2\xB3", u"\uFF71\uFF72\uFF73"},           // half-width katakana
    {932, "C:\\a~b", u"C:\\a~b"},                           // ASCII as ASCII
    {936, "\xBC\xF2\xCC\xE5\xD6\xD0\xCE\xC4\xCE\xC4\xB1\xBE", u"\u7B80\u4F53\u4E2D\u6587\u6587\u672C"},
    {950, "\xC1\x63\xC5\xE9\xA4\xA4\xA4\xE5\xA4\xE5\xA6\x72", u"\u7E41\u9AD4\u4E2D\u6587\u6587\u5B57"},
    {949, "\xC7\xD1\xB1\xB9\xBE\xEE \xC5\xD8\xBD\xBA\xC6\xAE", u"\uD55C\uAD6D\uC5B4 \uD14D\uC2A4\uD2B8"},
    {949, "\x8C\x63\xB9\xE6\xB0\xA2\xC7\xCF", u"\uB620\uBC29\uAC01\uD558"},  // with extended Hangul
    {1251, "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0",
     u"\u041F\u0440\u0438\u0432\u0435\u0442, \u043C\u0438\u0440"},
    {874, "\xC0\xD2\xC9\xD2\xE4\xB7\xC2", u"\u0E20\u0E32\u0E29\u0E32\u0E44\u0E17\u0E22"},
    {1250, "\xAF\xF3\xB3\xE6", u"\u017B\u00F3\u0142\u0107"},
    {1253, "\xC5\xEB\xEB\xE7\xED\xE9\xEA\xDC", u"\u0395\u03BB\u03BB\u03B7\u03BD\u03B9\u03BA\u03AC"},
    {1254, "\xDE\xFE\xF0\xDD\xFD", u"\u015E\u015F\u011F\u0130\u0131"},
    {1255, "\xF9\xEC\xE5\xED", u"\u05E9\u05DC\u05D5\u05DD"},
    {1256, "\xE3\xD1\xCD\xC8\xC7", u"\u0645\u0631\u062D\u0628\u0627"},
    {1257, "\xCC\xEE\xF0\xE8", u"\u0122\u012B\u0161\u010D"},
    {1258, "Vi\xEA\xD2t", u"Vi\u00EA\u0309t"},
};

TEST(AnsiCodePage1252, EveryByteSurvivesDecodingAndEncodingBack) {
  const std::string bytes = AllBytes();
  const std::u16string text = Decode(1252, bytes, MB_ERR_INVALID_CHARS);
  ASSERT_EQ(text.size(), 256u);
  BOOL used = TRUE;
  EXPECT_EQ(Encode(1252, text, &used), bytes);
  EXPECT_EQ(used, FALSE);
}

TEST(AnsiCodePage1252, UnassignedBytesPassThroughAsTheirC1Controls) {
  EXPECT_EQ(Decode(1252, "\x81\x8D\x8F\x90\x9D"), u"\u0081\u008D\u008F\u0090\u009D");
  EXPECT_EQ(Encode(1252, u"\u0081\u008D\u008F\u0090\u009D"), "\x81\x8D\x8F\x90\x9D");
  // The other C1 controls are no characters of 1252.
  EXPECT_EQ(Encode(1252, u"\u0080\u009F"), "??");
}

TEST(AnsiCodePage1252, AssignedBytesAreTheWindowsCharacters) {
  EXPECT_EQ(Decode(1252, "\x80\x82\x83\x8A\x8C\x8E\x91\x96\x99\x9C\x9F"),
            u"\u20AC\u201A\u0192\u0160\u0152\u017D\u2018\u2013\u2122\u0153\u0178");
  std::string latin1;
  std::u16string latin1_text;
  for (int b = 0xA0; b < 0x100; ++b) {
    latin1 += static_cast<char>(b);
    latin1_text += static_cast<char16_t>(b);
  }
  EXPECT_EQ(Decode(1252, latin1), latin1_text);
}

TEST(SingleByteCodePages, DecodeEveryByteToADistinctCharacterAndBack) {
  const std::string bytes = AllBytes();
  for (UINT code_page : kSingleBytePages) {
    const std::u16string text = Decode(code_page, bytes, MB_ERR_INVALID_CHARS);
    ASSERT_EQ(text.size(), 256u) << code_page;
    EXPECT_EQ(std::set<char16_t>(text.begin(), text.end()).size(), 256u) << code_page;
    EXPECT_EQ(text.substr(0, 0x80), Decode(1252, bytes.substr(0, 0x80))) << code_page;  // ASCII
    BOOL used = TRUE;
    EXPECT_EQ(Encode(code_page, text, &used), bytes) << code_page;
    EXPECT_EQ(used, FALSE) << code_page;
  }
}

TEST(SingleByteCodePages, UnassignedBytesInTheC1RangePassThrough) {
  const struct {
    UINT code_page;
    std::vector<int> bytes;
  } cases[] = {
      {874, {0x81, 0x82, 0x83, 0x84, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D,
             0x8E, 0x8F, 0x90, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E, 0x9F}},
      {1250, {0x81, 0x83, 0x88, 0x90, 0x98}},
      {1251, {0x98}},
      {1253, {0x81, 0x88, 0x8A, 0x8C, 0x8D, 0x8E, 0x8F, 0x90, 0x98, 0x9A, 0x9C, 0x9D, 0x9E, 0x9F}},
      {1254, {0x81, 0x8D, 0x8E, 0x8F, 0x90, 0x9D, 0x9E}},
      {1255, {0x81, 0x8A, 0x8C, 0x8D, 0x8E, 0x8F, 0x90, 0x9A, 0x9C, 0x9D, 0x9E, 0x9F}},
      {1257, {0x81, 0x83, 0x88, 0x8A, 0x8C, 0x90, 0x98, 0x9A, 0x9C, 0x9F}},
      {1258, {0x81, 0x8A, 0x8D, 0x8E, 0x8F, 0x90, 0x9A, 0x9D, 0x9E}},
  };
  for (const auto& c : cases) {
    for (int b : c.bytes) {
      const std::string byte(1, static_cast<char>(b));
      EXPECT_EQ(Decode(c.code_page, byte), std::u16string(1, static_cast<char16_t>(b)))
          << c.code_page << " byte " << std::hex << b;
      EXPECT_EQ(Encode(c.code_page, std::u16string(1, static_cast<char16_t>(b))), byte)
          << c.code_page << " byte " << std::hex << b;
    }
  }
}

TEST(SingleByteCodePages, UnassignedBytesAboveTheC1RangeDecodeToWindowsPrivateUseCharacters) {
  EXPECT_EQ(Decode(874, "\xDB\xDE\xFC\xFF"), u"\uF8C1\uF8C4\uF8C5\uF8C8");
  EXPECT_EQ(Decode(1253, "\xAA\xD2\xFF"), u"\uF8F9\uF8FA\uF8FB");
  EXPECT_EQ(Decode(1255, "\xD9\xDF\xFB\xFC\xFF"), u"\uF88D\uF893\uF894\uF895\uF896");
  EXPECT_EQ(Decode(1257, "\xA1\xA5"), u"\uF8FC\uF8FD");
}

TEST(CodePages, DecodeAndEncodeTextsOfTheirLanguages) {
  for (const Sample& sample : kSamples) {
    EXPECT_EQ(Decode(sample.code_page, sample.bytes, MB_ERR_INVALID_CHARS), sample.text) << sample.code_page;
    BOOL used = TRUE;
    EXPECT_EQ(Encode(sample.code_page, sample.text, &used), sample.bytes) << sample.code_page;
    EXPECT_EQ(used, FALSE) << sample.code_page;
  }
}

TEST(CodePages, BytesOfATextReadThrough1252AreRecoveredExactly) {
  // A text stored as if it were 1252: each byte of its own code page became one character.
  for (const Sample& sample : kSamples) {
    const std::u16string as_read = Decode(1252, sample.bytes);
    ASSERT_EQ(as_read.size(), std::string_view(sample.bytes).size()) << sample.code_page;

    // Encoded back with the terminator, as a text store re-decodes it, and decoded with its own page.
    mivo::nls::SetAnsiCodePageForTesting(1252);
    char bytes[128];
    const int n = WideCharToMultiByte(CP_ACP, 0, as_read.c_str(), -1, bytes, sizeof bytes, nullptr, nullptr);
    mivo::nls::SetAnsiCodePageForTesting(0);
    ASSERT_EQ(n, static_cast<int>(as_read.size()) + 1) << sample.code_page;
    EXPECT_EQ(std::string(bytes, n - 1), sample.bytes) << sample.code_page;

    WCHAR text[128];
    const int m = MultiByteToWideChar(sample.code_page, MB_PRECOMPOSED, bytes, -1, text, 128);
    ASSERT_GT(m, 0) << sample.code_page;
    EXPECT_EQ(std::u16string(text, m - 1), sample.text) << sample.code_page;
  }
}

TEST(DoubleByteCodePages, EveryCharacterEncodesToACodeThatDecodesToIt) {
  for (UINT code_page : kDoubleBytePages) {
    int characters = 0;
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
      for (int trail = 0x40; trail <= 0xFE; ++trail) {
        const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        WCHAR unit = 0;
        if (MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, pair, 2, &unit, 1) != 1) continue;
        ++characters;
        const std::string code = Encode(code_page, std::u16string(1, unit));
        EXPECT_EQ(Decode(code_page, code), std::u16string(1, unit))
            << code_page << " pair " << std::hex << lead << trail;
      }
    }
    // Lower bounds from the sizes of the character sets (JIS X 0208, GBK, Unified Hangul Code, Big5).
    const int minimum = code_page == 932 ? 7000 : code_page == 936 ? 21000 : code_page == 949 ? 17000 : 13000;
    EXPECT_GT(characters, minimum) << code_page;
  }
}

TEST(DoubleByteCodePages, EverySingleByteThatIsNoLeadByteIsACharacter) {
  for (UINT code_page : kDoubleBytePages) {
    std::set<char16_t> seen;
    for (int b = 0; b < 256; ++b) {
      const char byte = static_cast<char>(b);
      WCHAR unit = 0;
      const int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, &byte, 1, &unit, 1);
      if (n == 0) continue;  // a lead byte alone
      EXPECT_TRUE(seen.insert(unit).second) << code_page << " byte " << std::hex << b;
      EXPECT_EQ(Encode(code_page, std::u16string(1, unit)), std::string(1, byte)) << code_page;
    }
    EXPECT_GE(seen.size(), 129u) << code_page;  // ASCII and at least 0x80 and 0xFF
  }
}

TEST(DoubleByteCodePages, SingleBytesAreTheWindowsCharacters) {
  std::string ascii;
  std::u16string ascii_text;
  for (int b = 0; b < 0x80; ++b) {
    ascii += static_cast<char>(b);
    ascii_text += static_cast<char16_t>(b);
  }
  for (UINT code_page : kDoubleBytePages) {
    EXPECT_EQ(Decode(code_page, ascii), ascii_text) << code_page;
  }
  EXPECT_EQ(Decode(932, "\x80\xA0\xA1\xDF\xFD\xFE\xFF"), u"\u0080\uF8F0\uFF61\uFF9F\uF8F1\uF8F2\uF8F3");
  EXPECT_EQ(Decode(936, "\x80\xFF"), u"\u20AC\uF8F5");
  EXPECT_EQ(Decode(949, "\x80\xFF"), u"\u0080\uF8F7");
  EXPECT_EQ(Decode(950, "\x80\xFF"), u"\u0080\uF8F8");
  EXPECT_EQ(Encode(936, u"\u20AC"), "\x80");
}

TEST(DoubleByteCodePages, SharedCharactersEncodeToTheCodesWindowsWrites) {
  // 932 has NEC and IBM extensions that repeat characters; Windows writes one code for each.
  EXPECT_EQ(Decode(932, "\x87\x90\x81\xE0"), u"\u2252\u2252");
  EXPECT_EQ(Encode(932, u"\u2252"), "\x81\xE0");
  EXPECT_EQ(Decode(932, "\xEE\xEF\xFA\x40"), u"\u2170\u2170");
  EXPECT_EQ(Encode(932, u"\u2170"), "\xFA\x40");
  EXPECT_EQ(Decode(932, "\xED\x40\xFA\x5C"), u"\u7E8A\u7E8A");
  EXPECT_EQ(Encode(932, u"\u7E8A"), "\xFA\x5C");
  EXPECT_EQ(Decode(932, "\x81\xCA\xEE\xF9\xFA\x54"), u"\uFFE2\uFFE2\uFFE2");
  EXPECT_EQ(Encode(932, u"\uFFE2"), "\x81\xCA");
  EXPECT_EQ(Encode(932, u"\u2235"), "\x81\xE6");
}

TEST(DoubleByteCodePages, InvalidSequencesDecodeToTheUnicodeDefaultCharacter) {
  EXPECT_EQ(Decode(932, "a\x82"), u"a\u30FB");      // lead byte at the end
  EXPECT_EQ(Decode(932, "\x82 b"), u"\u30FB b");    // followed by a byte that cannot trail
  EXPECT_EQ(Decode(932, "\x85\x40z"), u"\u30FBz");  // an unassigned pair is one character
  EXPECT_EQ(Decode(936, "\xD6"), u"?");
  EXPECT_EQ(Decode(949, "\xC7\x0A"), u"?\n");
  EXPECT_EQ(Decode(950, "\xA4"), u"?");
}

TEST(DoubleByteCodePages, LeadByteBeforeTheTerminatorLeavesTheTerminator) {
  WCHAR out[4] = {u'x', u'x', u'x', u'x'};
  ASSERT_EQ(MultiByteToWideChar(932, MB_PRECOMPOSED, "a\x82", -1, out, 4), 3);
  EXPECT_EQ(std::u16string(out, 3), std::u16string(u"a\u30FB\0", 3));
}

TEST(DoubleByteCodePages, InvalidSequencesFailTheCallWithErrInvalidChars) {
  WCHAR out[4];
  for (UINT code_page : kDoubleBytePages) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, "a\x81", 2, out, 4), 0) << code_page;
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION) << code_page;
  }
}

}  // namespace
