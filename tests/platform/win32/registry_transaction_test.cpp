// HiveTransaction: a sequence of calls on one root is written all together or not at all.
#include "platform/win32/registry_test_support.h"

namespace mivo::test {
namespace {

using RegistryTransaction = RegistryTest;

TEST_F(RegistryTransaction, CommittedCallsAreWrittenTogether) {
  {
    mivo::reg::HiveTransaction transaction(HKEY_CURRENT_USER);
    ASSERT_EQ(transaction.status(), ERROR_SUCCESS);
    RegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, u"Import\\Sub"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"one", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"two", 2), ERROR_SUCCESS);
    // The transaction's own calls see its changes.
    EXPECT_EQ(ValueNames(key), (std::vector<std::u16string>{u"one", u"two"}));
    // Another process does not, until the commit.
    const ChildResult before = RunInChild([](Report& report) {
      HKEY k = nullptr;
      report("open", RegOpenKeyExW(HKEY_CURRENT_USER, u"Import\\Sub", 0, KEY_READ, &k));
    });
    EXPECT_EQ(before["open"], ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(transaction.Commit(), ERROR_SUCCESS);
    EXPECT_EQ(transaction.Commit(), ERROR_INVALID_PARAMETER);
  }
  mivo::reg::ResetForTesting();
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, u"Import\\Sub", KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(key), (std::vector<std::u16string>{u"one", u"two"}));
}

TEST_F(RegistryTransaction, WithoutCommitNothingIsWritten) {
  ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"existing", 1), ERROR_SUCCESS);
  {
    mivo::reg::HiveTransaction transaction(HKEY_CURRENT_USER);
    RegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, u"Import"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"one", 1), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(HKEY_CURRENT_USER, u"existing"), ERROR_SUCCESS);
  }
  RegKey key;
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, u"Import", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"existing").status, ERROR_SUCCESS);
}

TEST_F(RegistryTransaction, RolledBackTransactionOnAMissingHiveLeavesAnEmptyRoot) {
  {
    mivo::reg::HiveTransaction transaction(HKEY_CURRENT_USER);
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"x", 1), ERROR_SUCCESS);
  }
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"x").status, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(SubkeyNames(HKEY_CURRENT_USER).empty());
}

TEST_F(RegistryTransaction, AFailedCallInsideChangesNothingButTheOthersStay) {
  mivo::reg::HiveTransaction transaction(HKEY_CURRENT_USER);
  RegKey key, readOnly;
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, u"K"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, u"kept", 1), ERROR_SUCCESS);
  ASSERT_EQ(readOnly.Open(HKEY_CURRENT_USER, u"K", KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(readOnly, u"refused", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Missing"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(transaction.Commit(), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(key), std::vector<std::u16string>{u"kept"});
}

TEST_F(RegistryTransaction, OneRootsTransactionDoesNotCoverTheOtherRoot) {
  {
    mivo::reg::HiveTransaction transaction(HKEY_CURRENT_USER);
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"user", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"machine", 1), ERROR_SUCCESS);
  }
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"user").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, u"machine").status, ERROR_SUCCESS);
}

TEST_F(RegistryTransaction, SecondTransactionOnTheSameRootIsRefused) {
  mivo::reg::HiveTransaction first(HKEY_CURRENT_USER);
  mivo::reg::HiveTransaction second(HKEY_CURRENT_USER);
  EXPECT_EQ(second.status(), ERROR_BUSY);
  EXPECT_EQ(second.Commit(), ERROR_BUSY);
  ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"x", 1), ERROR_SUCCESS);
  EXPECT_EQ(first.Commit(), ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"x").status, ERROR_SUCCESS);

  mivo::reg::HiveTransaction other(reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000003U)));
  EXPECT_EQ(other.status(), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace mivo::test
