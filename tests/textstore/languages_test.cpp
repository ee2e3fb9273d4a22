#include <gtest/gtest.h>

#include <filesystem>

#include "platform/win32/winnls.h"
#include "support/AppFixture.h"

namespace mivo::test {
namespace {

class Languages : public AppTest {
 protected:
  void SetUp() override {
    mivo::nls::SetAnsiCodePageForTesting(1252);
    langDb = dbs().File("lang.db");
    MakeStandardDb(langDb, {0x0407, 0x0409},
                   {{"Main", "Hello", 0x0407, "Hallo"},
                    {"Main", "Hello", 0x0409, "Hello"},
                    {"Main", "OnlyGerman", 0x0407, "Nur deutsch"},
                    {"Main", "EmptyEnglish", 0x0407, "Leer auf englisch"},
                    {"Main", "EmptyEnglish", 0x0409, ""},
                    {"Main", "OnlyFrench", 0x040C, "Seulement"}});
    ListLanguageDb(true, "Base", langDb);
  }
  void TearDown() override { mivo::nls::SetAnsiCodePageForTesting(0); }
  bool UserValue(const std::string& name, std::string* text = nullptr, unsigned* dword = nullptr) {
    std::string s;
    unsigned d = 0;
    const bool ok = text ? GetRegString(false, kSettings, name, s) : GetRegDword(false, kSettings, name, d);
    if (text) *text = s;
    if (dword) *dword = d;
    return ok;
  }
  std::string langDb;
};

TEST_F(Languages, MissingOrEmptyTextsComeFromTheFallbackLanguage) {
  SetRegDword(false, kSettings, "FallBackLanguageId", 0x0407);
  SetRegDword(false, kSettings, "LanguageId", 0x0409);
  StartStores();
  bool found = false;
  EXPECT_EQ(Text("Main", "Hello", &found), "Hello");
  EXPECT_TRUE(found);
  EXPECT_EQ(Text("Main", "OnlyGerman", &found), "Nur deutsch");
  EXPECT_TRUE(found);
  EXPECT_EQ(Text("Main", "EmptyEnglish", &found), "Leer auf englisch");
  EXPECT_TRUE(found);
  EXPECT_EQ(Text("Main", "OnlyFrench", &found), "OnlyFrench");
  EXPECT_FALSE(found);
  EXPECT_EQ(Text("Nowhere", "Key", &found), "Key");
  EXPECT_FALSE(found);
}

TEST_F(Languages, WithoutFallbackAnIdWithoutPrimaryLanguageAnswersEveryLookupWithTheKey) {
  SetRegDword(false, kSettings, "LanguageId", 0x0409);
  StartStores();
  EXPECT_EQ(Text("Main", "Hello"), "Hello");
  EXPECT_TRUE(app().SetLanguage(0x0400, TRUE));
  bool found = true;
  EXPECT_EQ(Text("Main", "OnlyGerman", &found), "OnlyGerman");
  EXPECT_FALSE(found);
  EXPECT_EQ(app().m_pLanguageStrings->m_wLanguageId, 0x0409);  // the store keeps its language
}

TEST_F(Languages, StartUpTakesLanguageIdBeforeLanguageBeforeTheUserDefault) {
  SetRegString(false, kSettings, "Language", "00000407");
  StartStores();
  EXPECT_EQ(app().m_wCurLanguageId, 0x0407);
  EXPECT_EQ(Text("Main", "Hello"), "Hallo");
}

TEST_F(Languages, LanguageIdWinsOverLanguage) {
  SetRegString(false, kSettings, "Language", "00000407");
  SetRegDword(false, kSettings, "LanguageId", 0x10409);  // only the low 16 bits count
  StartStores();
  EXPECT_EQ(app().m_wCurLanguageId, 0x0409);
}

TEST_F(Languages, ALanguageTextThatIsNotHexadecimalLeavesTheDefault) {
  SetRegString(false, kSettings, "Language", "German");
  StartStores();
  EXPECT_EQ(app().m_wCurLanguageId, 0x0409);
}

TEST_F(Languages, WithoutSettingsStartUpTakesTheUserDefaultLanguageAndWritesIt) {
  {
    ScopedEnv env;
    env.Set("LC_ALL", "de_DE.UTF-8");
    mivo::nls::ResetForTesting();
    StartStores();
  }
  mivo::nls::ResetForTesting();
  EXPECT_EQ(app().m_wCurLanguageId, 0x0407);
  unsigned id = 0;
  std::string text;
  EXPECT_TRUE(UserValue("LanguageId", nullptr, &id));
  EXPECT_EQ(id, 0x0407u);
  EXPECT_TRUE(UserValue("Language", &text));
  EXPECT_EQ(text, "00000407");
}

TEST_F(Languages, CurrentLanguageOfTheFallbacksPrimaryLanguageLoadsAndWritesNothing) {
  SetRegDword(false, kSettings, "FallBackLanguageId", 0x0407);
  SetRegDword(false, kSettings, "LanguageId", 0x0807);
  StartStores();
  EXPECT_EQ(app().m_pLanguageStrings->m_LanguageModules.GetCount(), 0u);
  EXPECT_EQ(app().m_pLanguageStrings->m_wLanguageId, 0);
  std::string language;
  EXPECT_FALSE(UserValue("Language", &language));
  EXPECT_FALSE(UserValue("UserLang"));
  EXPECT_EQ(Text("Main", "Hello"), "Hallo");
}

TEST_F(Languages, ACurrentIdOfZeroLoadsAndWritesNothing) {
  SetRegDword(false, kSettings, "LanguageId", 0);
  SetRegDword(false, kSettings, "FallBackLanguageId", 0x0407);
  StartStores();
  EXPECT_EQ(app().m_pLanguageStrings->m_LanguageModules.GetCount(), 0u);
  std::string text;
  EXPECT_FALSE(UserValue("Language", &text));
}

TEST_F(Languages, SetLanguageWithANewIdWritesTheChoiceAndLoads) {
  SetRegDword(false, kSettings, "LanguageId", 0x0409);
  StartStores();
  EXPECT_TRUE(app().SetLanguage(0x0407, FALSE));
  std::string text;
  unsigned id = 0, flag = 7;
  EXPECT_TRUE(UserValue("Language", &text));
  EXPECT_EQ(text, "00000407");
  EXPECT_TRUE(UserValue("LanguageId", nullptr, &id));
  EXPECT_EQ(id, 0x0407u);
  EXPECT_TRUE(UserValue("UserLang", nullptr, &flag));
  EXPECT_EQ(flag, 0u);
  EXPECT_EQ(Text("Main", "Hello"), "Hallo");
}

TEST_F(Languages, SetLanguageWithTheCurrentIdChangesNothingWhateverTheFlag) {
  SetRegDword(false, kSettings, "LanguageId", 0x0409);
  SetRegDword(false, kSettings, "UserLang", 1);
  StartStores();
  ExecSql(langDb, "UPDATE Messages SET String = 'changed' WHERE LanguageId = 1033");
  SetRegDword(false, kSettings, "UserLang", 5);
  EXPECT_TRUE(app().SetLanguage(0x0409, FALSE));
  unsigned flag = 0;
  EXPECT_TRUE(UserValue("UserLang", nullptr, &flag));
  EXPECT_EQ(flag, 5u);
  EXPECT_EQ(Text("Main", "Hello"), "Hello");
}

TEST_F(Languages, AMissingDatabaseFailsSilentlyWhileTheOthersLoad) {
  ListLanguageDb(true, "Gone", dbs().File("missing.db"));
  SetRegDword(false, kSettings, "LanguageId", 0x0409);
  StartStores();
  EXPECT_FALSE(app().SetLanguage(0x0407, TRUE));
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(Text("Main", "Hello"), "Hallo");
  EXPECT_TRUE(app().SetLanguage(0x0407, TRUE));  // already switched: TRUE at once
  EXPECT_FALSE(std::filesystem::exists(dbs().File("missing.db")));
}

TEST_F(Languages, UserListOverridesMachineListAndLaterDatabasesOverrideEarlierOnes) {
  const std::string second = dbs().File("second.db"), user = dbs().File("user.db");
  MakeStandardDb(second, {0x0409},
                 {{"Main", "Hello", 0x0409, "Hello from second"},
                  {"Main", "Twice", 0x0409, "first row"},
                  {"Main", "Twice", 0x0409, "second row"}});
  MakeStandardDb(user, {0x0409}, {{"Main", "Bye", 0x0409, "Bye from user"}});
  ListLanguageDb(false, "AUser", user);  // enumerated before the machine list's names, read after them
  ListLanguageDb(true, "A-Second", second);
  MakeStandardDb(dbs().File("user2.db"), {0x0409}, {{"Main", "Hello", 0x0409, "Hello from user"}});
  ListLanguageDb(false, "B", dbs().File("user2.db"));
  SetRegDword(false, kSettings, "LanguageId", 0x0409);
  StartStores();
  EXPECT_EQ(Text("Main", "Hello"), "Hello from user");
  EXPECT_EQ(Text("Main", "Twice"), "second row");
  EXPECT_EQ(Text("Main", "Bye"), "Bye from user");
}

TEST_F(Languages, RefreshRereadsTheCurrentLanguageButNotTheFallback) {
  SetRegDword(false, kSettings, "FallBackLanguageId", 0x0407);
  SetRegDword(false, kSettings, "LanguageId", 0x0409);
  StartStores();
  ExecSql(langDb,
          "UPDATE Messages SET String = 'Hello again' WHERE LanguageId = 1033 AND String = 'Hello';"
          "UPDATE Messages SET String = 'Neu' WHERE String = 'Nur deutsch'");
  EXPECT_TRUE(app().RefreshLangDB());
  EXPECT_EQ(Text("Main", "Hello"), "Hello again");
  EXPECT_EQ(Text("Main", "OnlyGerman"), "Nur deutsch");
}

TEST_F(Languages, ACorruptDatabaseIsReportedAndTheDatabasesAfterItStillLoad) {
  const std::string corrupt = dbs().File("b-corrupt.db"), after = dbs().File("c-after.db");
  FILE* f = fopen(corrupt.c_str(), "w");
  fputs("this is not a database, just some text\n", f);
  fclose(f);
  MakeStandardDb(after, {0x0409}, {{"Main", "After", 0x0409, "loaded after"}});
  ListLanguageDb(true, "B", corrupt);
  ListLanguageDb(true, "C", after);
  SetRegDword(false, kSettings, "LanguageId", 0x0409);
  StartStores();
  EXPECT_EQ(reports.size(), 1u);
  ASSERT_FALSE(reports.empty());
  EXPECT_NE(reports[0].find("b-corrupt.db"), std::string::npos) << reports[0];
  EXPECT_EQ(Text("Main", "Hello"), "Hello");
  EXPECT_EQ(Text("Main", "After"), "loaded after");
  EXPECT_FALSE(app().m_pLanguageStrings->Reload());
}

TEST_F(Languages, UnreadableListValuesAreSkipped) {
  MakeStandardDb(dbs().File("x.db"), {0x0409}, {{"Main", "X", 0x0409, "from x"}});
  SetRegString(true, kLanguageList, "Expand", dbs().File("x.db"), 2 /*REG_EXPAND_SZ*/);
  SetRegString(true, kLanguageList, "Percent", dbs().File("50%x.db"));
  SetRegString(true, kLanguageList, "Placeholder", "%Base%/x.db");
  SetRegDword(false, kSettings, "LanguageId", 0x0409);
  StartStores();
  EXPECT_EQ(Text("Main", "X"), "X");  // neither the expand string nor the single percent sign was read
  EXPECT_TRUE(reports.empty());
  SetRegString(true, kVersionKey, "Base", dbs().path());
  EXPECT_TRUE(app().RefreshLangDB());
  EXPECT_EQ(Text("Main", "X"), "from x");
}

TEST_F(Languages, NullNamesAndLongTextsFromTheQueryAreStored) {
  const std::string odd = dbs().File("odd.db");
  MakeStandardDb(odd, {0x0409}, {{"Main", "Long", 0x0409, std::string(5000, 'x')}});
  ExecSql(odd,
          "INSERT INTO Items (Module, KeyString) VALUES (NULL, NULL);"
          "INSERT INTO Messages VALUES (last_insert_rowid(), 1033, NULL);");
  ListLanguageDb(true, "Odd", odd);
  SetRegDword(false, kSettings, "LanguageId", 0x0409);
  StartStores();
  EXPECT_EQ(Text("Main", "Long"), std::string(5000, 'x'));
  EXPECT_EQ(Text("Main", "Hello"), "Hello");
  EXPECT_TRUE(reports.empty());
}

TEST_F(Languages, TextsAreRedecodedForTheLanguagesCodePage) {
  // "Привет" written in code page 1251 and read through 1252.
  const std::string stored = "\xC3\x8F\xC3\xB0\xC3\xA8\xC3\xA2\xC3\xA5\xC3\xB2";
  const std::string ru = dbs().File("ru.db");
  MakeStandardDb(ru, {0x0419}, {{"Main", "Hello", 0x0419, stored}});
  ListLanguageDb(true, "Ru", ru);
  SetRegDword(false, kSettings, "LanguageId", 0x0419);
  StartStores();
  EXPECT_EQ(Text("Main", "Hello"), "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
}

TEST(FallbackRule, ComparesOnlyThePrimaryLanguage) {
  HiveSandbox hives;
  CMivoDBApp app;
  app.m_wFallbackLanguageId = 0x0407;
  EXPECT_TRUE(app.IsFallbackLanguage(0x0407));
  EXPECT_TRUE(app.IsFallbackLanguage(0x0807));
  EXPECT_FALSE(app.IsFallbackLanguage(0x0409));
  app.m_wFallbackLanguageId = 0;
  EXPECT_TRUE(app.IsFallbackLanguage(0x0400));
  EXPECT_FALSE(app.IsFallbackLanguage(0x0409));
}

}  // namespace
}  // namespace mivo::test
