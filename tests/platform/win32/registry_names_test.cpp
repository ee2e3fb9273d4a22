// Key paths and names: ASCII case folding that keeps the case of creation, backslash handling, the
// default value, name limits and the order of subkeys.
#include "platform/win32/registry_test_support.h"

namespace registry_test {
namespace {

using RegistryNames = RegistryTest;

TEST_F(RegistryNames, KeyOpensInAnyAsciiCaseAndKeepsTheCaseItWasCreatedWith) {
  Key created;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\MixedCase", created), ERROR_SUCCESS);
  Key opened;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"SOFTWARE\\mixedCASE", opened), ERROR_SUCCESS);

  Key again;
  DWORD disposition = 0;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"software\\MIXEDCASE", again, KEY_ALL_ACCESS, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

  Key software;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"software", software), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(software), std::vector<std::u16string>{u"MixedCase"});
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER), std::vector<std::u16string>{u"Software"});
}

TEST_F(RegistryNames, HandlesOfOneKeyInDifferentCaseSeeTheSameValues) {
  Key lower, upper;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"a\\b", lower), ERROR_SUCCESS);
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"A\\B", upper), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(lower, u"n", 7), ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(upper, u"N").status, ERROR_SUCCESS);
}

TEST_F(RegistryNames, ValueNameMatchesInAnyCaseAndReplacingKeepsTheFirstSpelling) {
  Key key;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"k", key), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(key, u"UserLang", u"one"), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(key, u"USERLANG", u"two"), ERROR_SUCCESS);

  EXPECT_EQ(ValueNames(key), std::vector<std::u16string>{u"UserLang"});
  const Read read = ReadValue(key, u"userlang");
  ASSERT_EQ(read.status, ERROR_SUCCESS);
  EXPECT_EQ(read.bytes, SzBytes(u"two"));
  EXPECT_EQ(RegDeleteValueW(key, u"uSERlANG"), ERROR_SUCCESS);
  EXPECT_TRUE(ValueNames(key).empty());
}

TEST_F(RegistryNames, OnlyAsciiLettersFoldSoAccentedLettersOfDifferentCaseAreDifferentNames) {
  Key upper, lower;
  DWORD disposition = 0;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"\u00C9t\u00E9", upper), ERROR_SUCCESS);
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"\u00E9T\u00C9", lower, KEY_ALL_ACCESS, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER).size(), 2U);
  Key sameKey;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"\u00C9T\u00E9", sameKey), ERROR_SUCCESS);
}

TEST_F(RegistryNames, LeadingTrailingAndDoubledBackslashesAreIgnored) {
  Key created;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"\\Software\\\\Mivotec\\", created), ERROR_SUCCESS);
  Key opened;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Mivotec", opened), ERROR_SUCCESS);
  Key software;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software", software), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(software), std::vector<std::u16string>{u"Mivotec"});
}

TEST_F(RegistryNames, CreatingADeepPathCreatesEveryMissingLevel) {
  Key deep;
  DWORD disposition = 0;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"a\\b\\c\\d", deep, KEY_ALL_ACCESS, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  Key middle;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"a\\b", middle), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(middle), std::vector<std::u16string>{u"c"});
}

TEST_F(RegistryNames, EmptyPathOpensANewHandleOfTheSameKey) {
  Key parent;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"p", parent), ERROR_SUCCESS);
  Key same;
  ASSERT_EQ(Open(parent, u"", same), ERROR_SUCCESS);
  EXPECT_NE(same.get(), parent.get());
  ASSERT_EQ(SetDword(same, u"x", 1), ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(parent, u"x").status, ERROR_SUCCESS);
  Key nullPath;
  EXPECT_EQ(RegOpenKeyExW(parent, nullptr, 0, KEY_READ, nullPath.out()), ERROR_SUCCESS);
}

TEST_F(RegistryNames, NullAndEmptyValueNameAreBothTheDefaultValue) {
  Key key;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"k", key), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(key, nullptr, u"default"), ERROR_SUCCESS);
  const Read read = ReadValue(key, u"");
  ASSERT_EQ(read.status, ERROR_SUCCESS);
  EXPECT_EQ(read.bytes, SzBytes(u"default"));
  EXPECT_EQ(ValueNames(key), std::vector<std::u16string>{u""});
  EXPECT_EQ(RegDeleteValueW(key, u""), ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(key, nullptr).status, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryNames, SubkeysEnumerateInCaseInsensitiveOrder) {
  for (const char16_t* name : {u"delta", u"Bravo", u"alpha", u"Charlie", u"_under"}) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, name, key), ERROR_SUCCESS);
  }
  // '_' (0x5F) sorts after the upper-case letters, as Windows compares upper-cased names.
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER),
            (std::vector<std::u16string>{u"alpha", u"Bravo", u"Charlie", u"delta", u"_under"}));
}

TEST_F(RegistryNames, KeyNameOf255CharactersIsAcceptedAnd256IsRefused) {
  const std::u16string longest(255, u'k');
  const std::u16string tooLong(256, u'k');
  Key ok, refused;
  EXPECT_EQ(Create(HKEY_CURRENT_USER, longest.c_str(), ok), ERROR_SUCCESS);
  EXPECT_EQ(Create(HKEY_CURRENT_USER, tooLong.c_str(), refused), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(refused.get(), nullptr);
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER), std::vector<std::u16string>{longest});
}

TEST_F(RegistryNames, RootsAreSeparateHives) {
  Key machine;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"OnlyMachine", machine), ERROR_SUCCESS);
  Key user;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"OnlyMachine", user), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Exists(machineHive_));
  EXPECT_FALSE(Exists(userHive_));
}

TEST_F(RegistryNames, MissingKeyFailsWithFileNotFoundAndLeavesTheResultNull) {
  Key parent;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"a", parent), ERROR_SUCCESS);
  HKEY result = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"a\\missing", 0, KEY_READ, &result), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(result, nullptr);
}

}  // namespace
}  // namespace registry_test
