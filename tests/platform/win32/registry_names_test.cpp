// Key paths and names: ASCII case folding that keeps the case of creation, backslash handling, the
// default value, name limits and the order of subkeys.
#include "platform/win32/registry_test_support.h"

namespace mivo::test {
namespace {

using RegistryNames = RegistryTest;

TEST_F(RegistryNames, KeyOpensInAnyAsciiCaseAndKeepsTheCaseItWasCreatedWith) {
  RegKey created;
  ASSERT_EQ(created.Create(HKEY_CURRENT_USER, u"Software\\MixedCase"), ERROR_SUCCESS);
  RegKey opened;
  EXPECT_EQ(opened.Open(HKEY_CURRENT_USER, u"SOFTWARE\\mixedCASE"), ERROR_SUCCESS);

  RegKey again;
  DWORD disposition = 0;
  ASSERT_EQ(again.Create(HKEY_CURRENT_USER, u"software\\MIXEDCASE", KEY_ALL_ACCESS, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

  RegKey software;
  ASSERT_EQ(software.Open(HKEY_CURRENT_USER, u"software"), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(software), std::vector<std::u16string>{u"MixedCase"});
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER), std::vector<std::u16string>{u"Software"});
}

TEST_F(RegistryNames, HandlesOfOneKeyInDifferentCaseSeeTheSameValues) {
  RegKey lower, upper;
  ASSERT_EQ(lower.Create(HKEY_CURRENT_USER, u"a\\b"), ERROR_SUCCESS);
  ASSERT_EQ(upper.Open(HKEY_CURRENT_USER, u"A\\B"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(lower, u"n", 7), ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(upper, u"N").status, ERROR_SUCCESS);
}

TEST_F(RegistryNames, ValueNameMatchesInAnyCaseAndReplacingKeepsTheFirstSpelling) {
  RegKey key;
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, u"k"), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(key, u"UserLang", u"one"), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(key, u"USERLANG", u"two"), ERROR_SUCCESS);

  EXPECT_EQ(ValueNames(key), std::vector<std::u16string>{u"UserLang"});
  const RegValue read = ReadValue(key, u"userlang");
  ASSERT_EQ(read.status, ERROR_SUCCESS);
  EXPECT_EQ(read.bytes, SzBytes(u"two"));
  EXPECT_EQ(RegDeleteValueW(key, u"uSERlANG"), ERROR_SUCCESS);
  EXPECT_TRUE(ValueNames(key).empty());
}

TEST_F(RegistryNames, OnlyAsciiLettersFoldSoAccentedLettersOfDifferentCaseAreDifferentNames) {
  RegKey upper, lower;
  DWORD disposition = 0;
  ASSERT_EQ(upper.Create(HKEY_CURRENT_USER, u"\u00C9t\u00E9"), ERROR_SUCCESS);
  ASSERT_EQ(lower.Create(HKEY_CURRENT_USER, u"\u00E9T\u00C9", KEY_ALL_ACCESS, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER).size(), 2U);
  RegKey sameKey;
  EXPECT_EQ(sameKey.Open(HKEY_CURRENT_USER, u"\u00C9T\u00E9"), ERROR_SUCCESS);
}

TEST_F(RegistryNames, LeadingTrailingAndDoubledBackslashesAreIgnored) {
  RegKey created;
  ASSERT_EQ(created.Create(HKEY_CURRENT_USER, u"\\Software\\\\Mivotec\\"), ERROR_SUCCESS);
  RegKey opened;
  EXPECT_EQ(opened.Open(HKEY_CURRENT_USER, u"Software\\Mivotec"), ERROR_SUCCESS);
  RegKey software;
  ASSERT_EQ(software.Open(HKEY_CURRENT_USER, u"Software"), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(software), std::vector<std::u16string>{u"Mivotec"});
}

TEST_F(RegistryNames, CreatingADeepPathCreatesEveryMissingLevel) {
  RegKey deep;
  DWORD disposition = 0;
  ASSERT_EQ(deep.Create(HKEY_LOCAL_MACHINE, u"a\\b\\c\\d", KEY_ALL_ACCESS, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegKey middle;
  EXPECT_EQ(middle.Open(HKEY_LOCAL_MACHINE, u"a\\b"), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(middle), std::vector<std::u16string>{u"c"});
}

TEST_F(RegistryNames, EmptyPathOpensANewHandleOfTheSameKey) {
  RegKey parent;
  ASSERT_EQ(parent.Create(HKEY_CURRENT_USER, u"p"), ERROR_SUCCESS);
  RegKey same;
  ASSERT_EQ(same.Open(parent, u""), ERROR_SUCCESS);
  EXPECT_NE(same.get(), parent.get());
  ASSERT_EQ(SetDword(same, u"x", 1), ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(parent, u"x").status, ERROR_SUCCESS);
  RegKey nullPath;
  EXPECT_EQ(RegOpenKeyExW(parent, nullptr, 0, KEY_READ, nullPath.out()), ERROR_SUCCESS);
}

TEST_F(RegistryNames, NullAndEmptyValueNameAreBothTheDefaultValue) {
  RegKey key;
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, u"k"), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(key, nullptr, u"default"), ERROR_SUCCESS);
  const RegValue read = ReadValue(key, u"");
  ASSERT_EQ(read.status, ERROR_SUCCESS);
  EXPECT_EQ(read.bytes, SzBytes(u"default"));
  EXPECT_EQ(ValueNames(key), std::vector<std::u16string>{u""});
  EXPECT_EQ(RegDeleteValueW(key, u""), ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(key, nullptr).status, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryNames, SubkeysEnumerateInCaseInsensitiveOrder) {
  for (const char16_t* name : {u"delta", u"Bravo", u"alpha", u"Charlie", u"_under"}) {
    RegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, name), ERROR_SUCCESS);
  }
  // '_' (0x5F) sorts after the upper-case letters, as Windows compares upper-cased names.
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER),
            (std::vector<std::u16string>{u"alpha", u"Bravo", u"Charlie", u"delta", u"_under"}));
}

TEST_F(RegistryNames, KeyNameOf255CharactersIsAcceptedAnd256IsRefused) {
  const std::u16string longest(255, u'k');
  const std::u16string tooLong(256, u'k');
  RegKey ok, refused;
  EXPECT_EQ(ok.Create(HKEY_CURRENT_USER, longest.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(refused.Create(HKEY_CURRENT_USER, tooLong.c_str()), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(refused.get(), nullptr);
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER), std::vector<std::u16string>{longest});
}

TEST_F(RegistryNames, RootsAreSeparateHives) {
  RegKey machine;
  ASSERT_EQ(machine.Create(HKEY_LOCAL_MACHINE, u"OnlyMachine"), ERROR_SUCCESS);
  RegKey user;
  EXPECT_EQ(user.Open(HKEY_CURRENT_USER, u"OnlyMachine"), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(FileExists(hives_.machineHive()));
  EXPECT_FALSE(FileExists(hives_.userHive()));
}

TEST_F(RegistryNames, MissingKeyFailsWithFileNotFoundAndLeavesTheResultNull) {
  RegKey parent;
  ASSERT_EQ(parent.Create(HKEY_CURRENT_USER, u"a"), ERROR_SUCCESS);
  HKEY result = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"a\\missing", 0, KEY_READ, &result), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(result, nullptr);
}

}  // namespace
}  // namespace mivo::test
