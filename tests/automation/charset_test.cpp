#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/winnls.h"
#include "support/TestEnv.h"
#include "textstore/StringMap.h"

namespace {

short CharsetOf(WORD id) {
  CStringMap store(kLanguageStore);
  store.m_wLanguageId = id;
  return store.GetCharsetCode();
}

TEST(CharsetCode, FollowsThePrimaryLanguageTable) {
  EXPECT_EQ(CharsetOf(0x0407), 0);
  EXPECT_EQ(CharsetOf(0x0409), 0);
  EXPECT_EQ(CharsetOf(0x0419), 204);
  EXPECT_EQ(CharsetOf(0x0411), 128);
  EXPECT_EQ(CharsetOf(0x040D), 177);
  EXPECT_EQ(CharsetOf(0x0408), 161);
  EXPECT_EQ(CharsetOf(0x041F), 162);
  EXPECT_EQ(CharsetOf(0x042A), 163);
  EXPECT_EQ(CharsetOf(0x0401), 178);
  EXPECT_EQ(CharsetOf(0x0429), 178);
  EXPECT_EQ(CharsetOf(0x0425), 186);
  EXPECT_EQ(CharsetOf(0x041E), 222);
  EXPECT_EQ(CharsetOf(0x0405), 238);
  EXPECT_EQ(CharsetOf(0x0438), 0);  // Faeroese, the last primary id of the table
  EXPECT_EQ(CharsetOf(0x0417), 1);  // listed as default
  EXPECT_EQ(CharsetOf(0x0439), 1);  // above 0x38
  EXPECT_EQ(CharsetOf(0x0400), 1);  // primary 0, sublanguage 1: not the thread locale
}

TEST(CharsetCode, ChineseKoreanAndSerbianDependOnTheSublanguage) {
  EXPECT_EQ(CharsetOf(0x0404), 136);
  EXPECT_EQ(CharsetOf(0x0804), 134);
  EXPECT_EQ(CharsetOf(0x0C04), 136);
  EXPECT_EQ(CharsetOf(0x1004), 134);
  EXPECT_EQ(CharsetOf(0x1404), 1);
  EXPECT_EQ(CharsetOf(0x0412), 129);
  EXPECT_EQ(CharsetOf(0x0812), 130);
  EXPECT_EQ(CharsetOf(0x0C12), 1);
  EXPECT_EQ(CharsetOf(0x041A), 1);
  EXPECT_EQ(CharsetOf(0x081A), 238);
  EXPECT_EQ(CharsetOf(0x0C1A), 204);
}

class WithLocale : public ::testing::Test {
 protected:
  void SetLocale(const char* name) {
    env_.Set("LC_ALL", name);
    mivo::nls::ResetForTesting();
  }
  void TearDown() override {
    env_.Restore();
    mivo::nls::SetAnsiCodePageForTesting(0);
    mivo::nls::ResetForTesting();
  }
  mivo::test::ScopedEnv env_;
};

TEST_F(WithLocale, UnloadedStoreAndFFFFReportTheThreadLocale) {
  SetLocale("ru_RU.UTF-8");
  EXPECT_EQ(CharsetOf(0), 204);
  EXPECT_EQ(CharsetOf(0xFFFF), 204);
  SetLocale("ja_JP.UTF-8");
  EXPECT_EQ(CharsetOf(0), 128);
}

// The text a database holds for `proper` written in code page `cp` and read through code page `reader`.
CString Mojibake(const CString& proper, UINT cp, UINT reader) {
  const int n = WideCharToMultiByte(cp, 0, proper.c_str(), static_cast<int>(proper.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(cp, 0, proper.c_str(), static_cast<int>(proper.size()), bytes.data(), n, nullptr,
                      nullptr);
  const int m = MultiByteToWideChar(reader, 0, bytes.data(), n, nullptr, 0);
  CString text(static_cast<std::size_t>(m), u'\0');
  MultiByteToWideChar(reader, 0, bytes.data(), n, text.data(), m);
  return text;
}

class ConvertText : public WithLocale {
 protected:
  void SetUp() override { mivo::nls::SetAnsiCodePageForTesting(1252); }
  CString Convert(WORD id, const CString& text) {
    CStringMap store(kLanguageStore);
    store.m_wLanguageId = id;
    return store.ConvertText(text);
  }
};

TEST_F(ConvertText, RedecodesTheSystemPageReadingOfTheLanguagesBytes) {
  const CString russian = u"\u041F\u0440\u0438\u0432\u0435\u0442, \u043C\u0438\u0440";
  const CString stored = Mojibake(russian, 1251, 1252);
  ASSERT_NE(stored, russian);
  EXPECT_EQ(Convert(0x0419, stored), russian);
}

TEST_F(ConvertText, DoubleByteTextsSurviveTheSystemPageRoundTrip) {
  struct Case {
    WORD id;
    UINT cp;
    CString text;
  } cases[] = {
      {0x0411, 932, u"\u65E5\u672C\u8A9E\u306E\u30C6\u30AD\u30B9\u30C8\uFF08\u8868\u793A\uFF09"},
      {0x0804, 936, u"\u7B80\u4F53\u4E2D\u6587\u6587\u672C"},
      {0x0404, 950, u"\u7E41\u9AD4\u4E2D\u6587\u6587\u672C"},
      {0x0412, 949, u"\uD55C\uAD6D\uC5B4 \uD14D\uC2A4\uD2B8"},
  };
  for (const Case& c : cases) {
    const CString stored = Mojibake(c.text, c.cp, 1252);
    EXPECT_EQ(Convert(c.id, stored), c.text) << "language " << std::hex << c.id;
  }
}

TEST_F(ConvertText, PlainAsciiComesBackUnchangedForEveryLanguage) {
  const CString ascii = u"Plain ASCII text: 0123456789 !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
  for (WORD id : {0x0407, 0x0409, 0x0419, 0x0411, 0x0804, 0x0404, 0x0412, 0x041E, 0x0408, 0x040D, 99, 0}) {
    EXPECT_EQ(Convert(id, ascii), ascii) << "language " << std::hex << id;
  }
}

TEST_F(ConvertText, ACharacterTheSystemPageLacksBecomesTheDefaultCharacter) {
  EXPECT_EQ(Convert(0x0407, u"Gr\u00FC\u00DF \u20AC \u4E2D"), u"Gr\u00FC\u00DF \u20AC ?");
}

TEST_F(ConvertText, KeepsTheTextWhenTheLanguageHasNoUsableCodePage) {
  // 99 is no locale (code page 0: the system page itself); 0x0439 has no ANSI code page.
  EXPECT_EQ(Convert(99, u"K\u00E4se"), u"K\u00E4se");
  EXPECT_EQ(Convert(0x0439, u"K\u00E4se"), u"K\u00E4se");
}

TEST_F(ConvertText, EmbeddedNulsAndLongTextsAreConvertedWhole) {
  const CString russian(u"\u0414\u0430\0\u041D\u0435\u0442", 6);
  const CString stored = Mojibake(russian, 1251, 1252);
  EXPECT_EQ(Convert(0x0419, stored), russian);
  CString longText;
  for (int i = 0; i < 5000; ++i) longText += u"\u0416";
  EXPECT_EQ(Convert(0x0419, Mojibake(longText, 1251, 1252)), longText);
}

TEST_F(ConvertText, UsesTheCodePageCachedFirstForAnId) {
  CStringMap store(kLanguageStore);
  store.m_wLanguageId = 0x0419;
  const CString russian = u"\u0416\u0443\u043A";
  EXPECT_EQ(store.ConvertText(Mojibake(russian, 1251, 1252)), russian);
  ASSERT_EQ(store.m_CodePages.count(0x0419), 1u);
  EXPECT_EQ(store.m_CodePages[0x0419], 1251u);
  // Whatever the locale data says later, the cached page stays in use for the store's lifetime.
  store.m_CodePages[0x0419] = 1253;
  EXPECT_EQ(store.ConvertText(Mojibake(u"\u03A9\u03B1", 1253, 1252)), u"\u03A9\u03B1");
  store.m_LanguageModules.RemoveAllEntries();
  EXPECT_EQ(store.m_CodePages.size(), 1u);
}

}  // namespace
