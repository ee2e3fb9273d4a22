#include <gtest/gtest.h>

#include "textstore/StringMap.h"

namespace {

const CString kModule = u"Dialog";
const CString kKey = u"Title";

TEST(ModuleEntry, GetStringFailsWithTheKeyForMissingAndEmptyTexts) {
  CModuleEntry entry;
  entry.SetString(u"empty", u"");
  CString text = u"before";
  const CString missing = u"missing";
  EXPECT_FALSE(entry.GetString(text, &missing));
  EXPECT_EQ(text, u"missing");
  const CString empty = u"empty";
  text = u"before";
  EXPECT_FALSE(entry.GetString(text, &empty));
  EXPECT_EQ(text, u"empty");
}

TEST(ModuleEntry, LookupStringFindsAnEmptyTextWhereGetStringDoesNot) {
  CModuleEntry entry;
  entry.SetString(u"k", u"");
  const CString key = u"k";
  CString text = u"x";
  EXPECT_TRUE(entry.LookupString(text, &key));
  EXPECT_EQ(text, u"");
  EXPECT_FALSE(entry.GetString(text, &key));
  EXPECT_EQ(text, u"k");
}

TEST(ModuleEntry, NullKeyLeavesTheOutputAlone) {
  CModuleEntry entry;
  entry.SetString(u"", u"text under the empty key");
  CString text = u"untouched";
  EXPECT_FALSE(entry.GetString(text, nullptr));
  EXPECT_FALSE(entry.LookupString(text, nullptr));
  EXPECT_EQ(text, u"untouched");
}

TEST(ModuleEntry, TheLastTextStoredForAKeyWins) {
  CModuleEntry entry;
  entry.SetString(kKey, u"first");
  entry.SetString(kKey, u"second");
  CString text;
  EXPECT_TRUE(entry.GetString(text, &kKey));
  EXPECT_EQ(text, u"second");
  EXPECT_EQ(entry.m_Strings.GetCount(), 1u);
}

TEST(ModuleMap, OwnsEntriesAndRemovesThem) {
  CModuleMap map;
  CModuleEntry* a = map.GetOrAddEntry(u"A");
  EXPECT_EQ(map.GetOrAddEntry(u"A"), a);
  map.GetOrAddEntry(u"B");
  const CString nameA = u"A";
  EXPECT_EQ(map.FindEntry(&nameA), a);
  EXPECT_EQ(map.FindEntry(nullptr), nullptr);
  EXPECT_TRUE(map.RemoveEntry(u"A"));
  EXPECT_FALSE(map.RemoveEntry(u"A"));
  EXPECT_EQ(map.FindEntry(&nameA), nullptr);
  map.RemoveAllEntries();
  EXPECT_EQ(map.GetCount(), 0u);
  map.RemoveAllEntries();  // on an empty map: nothing happens
  EXPECT_EQ(map.GetCount(), 0u);
}

class LanguageStore : public ::testing::Test {
 protected:
  CStringMap store{kLanguageStore};
  void Put(const CString& module, const CString& key, const CString& text) {
    store.m_LanguageModules.GetOrAddEntry(module)->SetString(key, text);
  }
};

TEST_F(LanguageStore, FindsTextsAndYieldsTheKeyOtherwise) {
  Put(kModule, kKey, u"Hallo");
  CString text;
  EXPECT_TRUE(store.LookupLanguageString(text, &kModule, &kKey));
  EXPECT_EQ(text, u"Hallo");
  const CString other = u"Other";
  EXPECT_FALSE(store.LookupLanguageString(text, &other, &kKey));
  EXPECT_EQ(text, kKey);
}

TEST_F(LanguageStore, NullModuleNeverMatchesButEmptyModuleDoes) {
  Put(u"", kKey, u"in the unnamed module");
  CString text;
  EXPECT_FALSE(store.LookupLanguageString(text, nullptr, &kKey));
  EXPECT_EQ(text, kKey);
  const CString empty;
  EXPECT_TRUE(store.LookupLanguageString(text, &empty, &kKey));
  EXPECT_EQ(text, u"in the unnamed module");
}

TEST_F(LanguageStore, NullKeyLeavesTheOutputAsItWas) {
  Put(kModule, u"", u"under the empty key");
  CString text = u"";
  EXPECT_FALSE(store.LookupLanguageString(text, &kModule, nullptr));
  EXPECT_EQ(text, u"");
  EXPECT_FALSE(store.LookupLanguageString(text, nullptr, nullptr));
  EXPECT_EQ(text, u"");
  const CString emptyKey;
  EXPECT_TRUE(store.LookupLanguageString(text, &kModule, &emptyKey));
  EXPECT_EQ(text, u"under the empty key");
}

TEST_F(LanguageStore, NamesThatDifferOnlyInCaseOrTrailingBlanksAreDifferent) {
  Put(u"Dialog", u"Title", u"one");
  Put(u"dialog", u"Title", u"two");
  Put(u"Dialog", u"Title ", u"three");
  CString text;
  const CString lower = u"dialog", blank = u"Title ", upperKey = u"TITLE";
  EXPECT_TRUE(store.LookupLanguageString(text, &kModule, &kKey));
  EXPECT_EQ(text, u"one");
  EXPECT_TRUE(store.LookupLanguageString(text, &lower, &kKey));
  EXPECT_EQ(text, u"two");
  EXPECT_TRUE(store.LookupLanguageString(text, &kModule, &blank));
  EXPECT_EQ(text, u"three");
  EXPECT_FALSE(store.LookupLanguageString(text, &kModule, &upperKey));
}

TEST_F(LanguageStore, AnyCodeUnitsAreStoredAndComparedWhole) {
  // Characters outside the BMP, lone surrogates, embedded NULs and a long text.
  const CString module(u"M\0odule\U0001F600", 9);
  const CString key = CString(u"\xD800 lone") + CString(1, u'\0') + u"x";
  const CString text = CString(100000, u'\xDC00') + u"\U00010348";
  Put(module, key, text);
  CString out;
  EXPECT_TRUE(store.LookupLanguageString(out, &module, &key));
  EXPECT_EQ(out, text);
  const CString truncatedKey(u"\xD800 lone");
  EXPECT_FALSE(store.LookupLanguageString(out, &module, &truncatedKey));
  const CString truncatedModule(u"M");
  EXPECT_FALSE(store.LookupLanguageString(out, &truncatedModule, &key));
}

TEST_F(LanguageStore, AfterRemoveAllEntriesEveryLookupFails) {
  Put(kModule, kKey, u"x");
  store.m_LanguageModules.RemoveAllEntries();
  CString text;
  EXPECT_FALSE(store.LookupLanguageString(text, &kModule, &kKey));
  EXPECT_EQ(text, kKey);
}

class ConfigStore : public ::testing::Test {
 protected:
  CStringMap store{kConfigStore};
  void Put(const CString& module, const CString& key, const CString& text) {
    store.m_ConfigModules.GetOrAddEntry(module)->SetString(key, text);
  }
};

TEST_F(ConfigStore, EmptyOrNullNamesLookUpTheMarker) {
  Put(u"|EMPTY|", u"|EMPTY|", u"both empty");
  Put(u"|EMPTY|", u"Key", u"module empty");
  CString text;
  const CString empty, key = u"Key";
  EXPECT_TRUE(store.LookupConfigString(text, nullptr, nullptr));
  EXPECT_EQ(text, u"both empty");
  EXPECT_TRUE(store.LookupConfigString(text, &empty, &empty));
  EXPECT_EQ(text, u"both empty");
  EXPECT_TRUE(store.LookupConfigString(text, &empty, &key));
  EXPECT_EQ(text, u"module empty");
}

TEST_F(ConfigStore, MarkerValueReadsEmptyWithTrueAndEmptyValueWithFalse) {
  Put(u"M", u"marker", u"|EMPTY|");
  Put(u"M", u"empty", u"");
  Put(u"M", u"lower", u"|empty|");
  const CString m = u"M", marker = u"marker", empty = u"empty", lower = u"lower", missing = u"missing";
  CString text = u"x";
  EXPECT_TRUE(store.LookupConfigString(text, &m, &marker));
  EXPECT_EQ(text, u"");
  text = u"x";
  EXPECT_FALSE(store.LookupConfigString(text, &m, &empty));
  EXPECT_EQ(text, u"");
  EXPECT_TRUE(store.LookupConfigString(text, &m, &lower));
  EXPECT_EQ(text, u"|empty|");
  text = u"x";
  EXPECT_FALSE(store.LookupConfigString(text, &m, &missing));
  EXPECT_EQ(text, u"");
  const CString otherModule = u"N";
  text = u"x";
  EXPECT_FALSE(store.LookupConfigString(text, &otherModule, &marker));
  EXPECT_EQ(text, u"");
}

TEST(StringMap, KindsUseTheirOwnModuleMap) {
  CStringMap config(kConfigStore);
  config.m_ConfigModules.GetOrAddEntry(u"M")->SetString(u"K", u"config");
  const CString m = u"M", k = u"K";
  CString text;
  EXPECT_FALSE(config.LookupLanguageString(text, &m, &k));
  EXPECT_TRUE(config.LookupConfigString(text, &m, &k));
  EXPECT_STREQ(config.GetRuntimeClass()->m_lpszClassName, "CStringMap");
  EXPECT_TRUE(config.IsKindOf(RUNTIME_CLASS(CObject)));
}

}  // namespace
