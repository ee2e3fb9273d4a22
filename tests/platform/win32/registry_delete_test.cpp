// Deleting keys: RegDeleteKeyW only removes leaves, RegDeleteTreeW removes whole subtrees.
#include "platform/win32/registry_test_support.h"

namespace mivo::test {
namespace {

class RegistryDelete : public RegistryTest {
 protected:
  void SetUp() override {
    // Tree: Root\A\B\C, Root\A\B2, Root\AB (a sibling sharing A's prefix), each with a value.
    for (const char16_t* path : {u"Root\\A\\B\\C", u"Root\\A\\B2", u"Root\\AB"}) {
      RegKey key;
      ASSERT_EQ(key.Create(HKEY_CURRENT_USER, path), ERROR_SUCCESS);
      ASSERT_EQ(SetDword(key, u"v", 1), ERROR_SUCCESS);
    }
    RegKey a;
    ASSERT_EQ(a.Open(HKEY_CURRENT_USER, u"Root\\A"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(a, u"onA", 1), ERROR_SUCCESS);
  }
};

TEST_F(RegistryDelete, DeleteKeyRefusesAKeyWithSubkeysAndChangesNothing) {
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Root\\A"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Root\\A\\B\\C"));
  RegKey a;
  ASSERT_EQ(a.Open(HKEY_CURRENT_USER, u"Root\\A"), ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(a, u"onA").status, ERROR_SUCCESS);
}

TEST_F(RegistryDelete, DeleteKeyRemovesALeafWithItsValues) {
  RegKey b;
  ASSERT_EQ(b.Open(HKEY_CURRENT_USER, u"Root\\A\\B"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(b, u"c"), ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Root\\A\\B\\C"));
  EXPECT_TRUE(SubkeyNames(b).empty());
  RegKey recreated;
  ASSERT_EQ(recreated.Create(HKEY_CURRENT_USER, u"Root\\A\\B\\C"), ERROR_SUCCESS);
  EXPECT_TRUE(ValueNames(recreated).empty());
}

TEST_F(RegistryDelete, DeleteKeyOfAMissingKeyIsFileNotFound) {
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Root\\Nope"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryDelete, RootKeyCannotBeDeleted) {
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);
  ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"m", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, u"m").status, ERROR_SUCCESS);
}

TEST_F(RegistryDelete, DeleteKeyWithAnEmptyPathDeletesTheHandlesOwnKey) {
  RegKey c;
  ASSERT_EQ(c.Open(HKEY_CURRENT_USER, u"Root\\A\\B\\C"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(c, u""), ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Root\\A\\B\\C"));
  EXPECT_EQ(ReadValue(c, u"v").status, ERROR_KEY_DELETED);
}

TEST_F(RegistryDelete, DeleteTreeRemovesTheSubtreeAndLeavesSiblings) {
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"root\\a"), ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Root\\A"));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Root\\A\\B\\C"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Root\\AB"));
  RegKey root;
  ASSERT_EQ(root.Open(HKEY_CURRENT_USER, u"Root"), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(root), std::vector<std::u16string>{u"AB"});
  // The values of the deleted keys are gone too: a recreated key starts empty.
  RegKey again;
  ASSERT_EQ(again.Create(HKEY_CURRENT_USER, u"Root\\A\\B2"), ERROR_SUCCESS);
  EXPECT_TRUE(ValueNames(again).empty());
}

TEST_F(RegistryDelete, DeleteTreeWithoutSubkeyEmptiesTheKeyButKeepsIt) {
  RegKey a;
  ASSERT_EQ(a.Open(HKEY_CURRENT_USER, u"Root\\A"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeW(a, nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Root\\A"));
  EXPECT_TRUE(SubkeyNames(a).empty());
  EXPECT_TRUE(ValueNames(a).empty());
  EXPECT_EQ(SetDword(a, u"stillUsable", 1), ERROR_SUCCESS);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Root\\AB"));
}

TEST_F(RegistryDelete, DeleteTreeOfAMissingKeyIsFileNotFound) {
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Root\\Missing"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryDelete, EnumerationClosesTheGapOfADeletedSubkey) {
  RegKey a;
  ASSERT_EQ(a.Open(HKEY_CURRENT_USER, u"Root\\A"), ERROR_SUCCESS);
  ASSERT_EQ(SubkeyNames(a), (std::vector<std::u16string>{u"B", u"B2"}));
  ASSERT_EQ(RegDeleteTreeW(a, u"B"), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(a), std::vector<std::u16string>{u"B2"});
}

}  // namespace
}  // namespace mivo::test
