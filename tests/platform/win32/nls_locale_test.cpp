// The user's language from the POSIX locale variables.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/win32/winnls.h"
#include "support/TestEnv.h"

namespace {

// Each test starts with none of the locale variables set and ends with them as they were.
class UserLanguage : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) env_.Unset(name);
    mivo::nls::ResetForTesting();
  }
  void TearDown() override { mivo::nls::ResetForTesting(); }

  // The language for LANG=`value` alone, read anew.
  LANGID LanguageFor(const char* value) {
    setenv("LANG", value, 1);
    mivo::nls::ResetForTesting();
    return GetUserDefaultLangID();
  }

  mivo::test::ScopedEnv env_;
};

TEST_F(UserLanguage, IsUsEnglishWhenNoVariableIsSet) {
  EXPECT_EQ(GetUserDefaultLangID(), 0x0409);
  EXPECT_EQ(GetThreadLocale(), 0x0409u);
}

TEST_F(UserLanguage, IsUsEnglishForTheCAndPosixLocales) {
  for (const char* name : {"C", "C.UTF-8", "C.utf8", "POSIX"}) {
    EXPECT_EQ(LanguageFor(name), 0x0409) << name;
  }
}

TEST_F(UserLanguage, MapsLanguageAndCountryToTheWindowsId) {
  const struct {
    const char* name;
    LANGID id;
  } cases[] = {
      {"de_DE", 0x0407}, {"de_CH", 0x0807}, {"de_AT", 0x0C07}, {"en_US", 0x0409}, {"en_GB", 0x0809},
      {"fr_CA", 0x0C0C}, {"pt_BR", 0x0416}, {"pt_PT", 0x0816}, {"ru_RU", 0x0419}, {"ja_JP", 0x0411},
      {"ko_KR", 0x0412}, {"zh_CN", 0x0804}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_SG", 0x1004},
      {"th_TH", 0x041E}, {"he_IL", 0x040D}, {"hr_HR", 0x041A}, {"hi_IN", 0x0439},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LanguageFor(c.name), c.id) << c.name;
  }
}

TEST_F(UserLanguage, IgnoresTheCodesetWhetherOrNotTheLocaleIsInstalled) {
  EXPECT_EQ(LanguageFor("ru_RU.UTF-8"), 0x0419);
  EXPECT_EQ(LanguageFor("ru_RU.KOI8-R"), 0x0419);
  EXPECT_EQ(LanguageFor("ja_JP.SJIS"), 0x0411);
  EXPECT_EQ(LanguageFor("de_CH.ISO-8859-1"), 0x0807);
}

TEST_F(UserLanguage, TakesScriptModifiersIntoAccountAndIgnoresOthers) {
  EXPECT_EQ(LanguageFor("de_DE@euro"), 0x0407);
  EXPECT_EQ(LanguageFor("de_DE.ISO-8859-15@euro"), 0x0407);
  EXPECT_EQ(LanguageFor("sr_RS@latin"), 0x241A);
  EXPECT_EQ(LanguageFor("sr_RS.UTF-8@latin"), 0x241A);
  EXPECT_EQ(LanguageFor("uz_UZ@cyrillic"), 0x0843);
  EXPECT_EQ(LanguageFor("ca_ES@valencia"), 0x0803);
}

TEST_F(UserLanguage, CompletesANameThatGivesNoCountry) {
  EXPECT_EQ(LanguageFor("sr_RS"), 0x281A);  // Serbian in Serbia is written in Cyrillic
  EXPECT_EQ(LanguageFor("de"), 0x0407);
  EXPECT_EQ(LanguageFor("ru"), 0x0419);
  EXPECT_EQ(LanguageFor("zh"), 0x0804);
  EXPECT_EQ(LanguageFor("en_DK"), 0x0409);  // English with Danish conventions: no Windows locale of its own
  EXPECT_EQ(LanguageFor("sr@latin"), 0x241A);
}

TEST_F(UserLanguage, IsUsEnglishForNamesThatMapToNoLanguage) {
  for (const char* name : {"xx_YY", "tlh", "/usr/share/locale/de", "de DE", "_DE", "@euro", ".UTF-8"}) {
    EXPECT_EQ(LanguageFor(name), 0x0409) << name;
  }
}

TEST_F(UserLanguage, ComesFromLcAllThenLcMessagesThenLang) {
  setenv("LANG", "ru_RU.UTF-8", 1);
  setenv("LC_MESSAGES", "ja_JP.UTF-8", 1);
  setenv("LC_ALL", "de_CH.UTF-8", 1);
  mivo::nls::ResetForTesting();
  EXPECT_EQ(GetUserDefaultLangID(), 0x0807);

  setenv("LC_ALL", "", 1);  // set but empty: skipped
  mivo::nls::ResetForTesting();
  EXPECT_EQ(GetUserDefaultLangID(), 0x0411);

  unsetenv("LC_MESSAGES");
  mivo::nls::ResetForTesting();
  EXPECT_EQ(GetUserDefaultLangID(), 0x0419);
}

TEST_F(UserLanguage, ThreadLocaleIsTheLanguageWithTheDefaultSortOrder) {
  setenv("LANG", "ja_JP.UTF-8", 1);
  mivo::nls::ResetForTesting();
  EXPECT_EQ(GetThreadLocale(), MAKELCID(0x0411, SORT_DEFAULT));
  EXPECT_EQ(GetUserDefaultLangID(), 0x0411);
}

TEST_F(UserLanguage, IsReadOnceUntilReset) {
  setenv("LANG", "ru_RU.UTF-8", 1);
  mivo::nls::ResetForTesting();
  ASSERT_EQ(GetUserDefaultLangID(), 0x0419);

  setenv("LANG", "ja_JP.UTF-8", 1);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0419);
  EXPECT_EQ(GetThreadLocale(), 0x0419u);

  mivo::nls::ResetForTesting();
  EXPECT_EQ(GetUserDefaultLangID(), 0x0411);
}

}  // namespace
