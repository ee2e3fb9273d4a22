// Hive files: where they are, when they are created, and that damaged or foreign files are refused and
// never modified.
#include <fcntl.h>

#include <thread>

#include "platform/win32/registry_test_support.h"

namespace mivo::test {
namespace {

using RegistryFiles = RegistryTest;

TEST_F(RegistryFiles, ReadsOfAMissingHiveFindNothingAndCreateNoFile) {
  RegKey key;
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, u"Software", KEY_READ), ERROR_FILE_NOT_FOUND);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(HKEY_CURRENT_USER, u"x", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  WCHAR name[16];
  DWORD chars = 16;
  EXPECT_EQ(RegEnumKeyExW(HKEY_CURRENT_USER, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumValueW(HKEY_CURRENT_USER, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  DWORD subkeys = 9;
  EXPECT_EQ(RegQueryInfoKeyW(HKEY_CURRENT_USER, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 0U);
  EXPECT_EQ(RegDeleteValueW(HKEY_CURRENT_USER, u"x"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"x"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"x"), ERROR_FILE_NOT_FOUND);
  RegKey root;
  EXPECT_EQ(root.Open(HKEY_CURRENT_USER, u"", KEY_READ), ERROR_SUCCESS);  // the root itself is there

  EXPECT_FALSE(FileExists(hives_.userHive()));
  EXPECT_FALSE(FileExists(hives_.File("user")));
}

TEST_F(RegistryFiles, FirstWriteCreatesTheFolderAndTheHiveAndNothingElse) {
  ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"first", 1), ERROR_SUCCESS);
  EXPECT_EQ(FolderEntries(hives_.File("user")), std::vector<std::string>{"user.hive"});
  mivo::reg::ResetForTesting();
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"first").status, ERROR_SUCCESS);
}

TEST_F(RegistryFiles, CreatingAKeyCreatesAMissingHive) {
  RegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, u"Software\\Mivotec"), ERROR_SUCCESS);
  EXPECT_TRUE(FileExists(hives_.machineHive()));
}

TEST_F(RegistryFiles, HiveIsAnSqliteDatabaseWithARollbackJournal) {
  ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"x", 1), ERROR_SUCCESS);
  const std::string bytes = ReadFile(hives_.userHive());
  ASSERT_GE(bytes.size(), 100U);
  EXPECT_EQ(bytes.substr(0, 16), std::string("SQLite format 3\0", 16));
  EXPECT_EQ(bytes[18], 1);  // file format versions: 1 is the rollback journal, 2 would be WAL
  EXPECT_EQ(bytes[19], 1);
  EXPECT_FALSE(FileExists(hives_.userHive() + "-wal"));
}

TEST_F(RegistryFiles, HivePathsComeFromTheEnvironmentWithDefaults) {
  EXPECT_EQ(mivo::reg::HiveFileOf(HKEY_LOCAL_MACHINE), hives_.machineHive());
  EXPECT_EQ(mivo::reg::HiveFileOf(HKEY_CURRENT_USER), hives_.userHive());
  EXPECT_EQ(mivo::reg::HiveFileOf(nullptr), "");

  ScopedEnv env;
  env.Unset("MIVODB_MACHINE_HIVE");
  env.Unset("MIVODB_USER_HIVE");
  env.Set("HOME", "/home/someone");
  env.Set("XDG_CONFIG_HOME", "/xdg/config");
  mivo::reg::ResetForTesting();
  EXPECT_EQ(mivo::reg::HiveFileOf(HKEY_LOCAL_MACHINE), "/etc/mivodb/machine.hive");
  EXPECT_EQ(mivo::reg::HiveFileOf(HKEY_CURRENT_USER), "/xdg/config/mivodb/user.hive");
  env.Unset("XDG_CONFIG_HOME");
  mivo::reg::ResetForTesting();
  EXPECT_EQ(mivo::reg::HiveFileOf(HKEY_CURRENT_USER), "/home/someone/.config/mivodb/user.hive");

  // Read when first used: a change without ResetForTesting is not seen.
  env.Set("MIVODB_USER_HIVE", hives_.File("other.hive"));
  EXPECT_EQ(mivo::reg::HiveFileOf(HKEY_CURRENT_USER), "/home/someone/.config/mivodb/user.hive");
}

TEST_F(RegistryFiles, HiveReplacedOnDiskIsSeenAndOldHandlesReportTheirKeyDeleted) {
  RegKey old;
  ASSERT_EQ(old.Create(HKEY_CURRENT_USER, u"k"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(old, u"v", 1), ERROR_SUCCESS);
  // Another hive with the same key path takes the file's place.
  ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"m", 1), ERROR_SUCCESS);
  {
    RegKey machineKey;
    ASSERT_EQ(machineKey.Create(HKEY_LOCAL_MACHINE, u"k"), ERROR_SUCCESS);
  }
  const std::string replacement = hives_.userHive() + ".replacement";
  WriteFile(replacement, ReadFile(hives_.machineHive()));
  ASSERT_EQ(::rename(replacement.c_str(), hives_.userHive().c_str()), 0);

  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"m").status, ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(old, u"v").status, ERROR_KEY_DELETED);
}

// The kinds of damaged or foreign files, each made from the bytes of a real hive or from scratch.
enum class Damage { kTextFile, kEmptyFile, kTruncated, kForeignSqlite, kNewerSchema, kGarbledPages };

std::string DamageName(const ::testing::TestParamInfo<Damage>& info) {
  switch (info.param) {
    case Damage::kTextFile:
      return "TextFile";
    case Damage::kEmptyFile:
      return "EmptyFile";
    case Damage::kTruncated:
      return "TruncatedDatabase";
    case Damage::kForeignSqlite:
      return "SqliteWithoutMarker";
    case Damage::kNewerSchema:
      return "NewerSchemaVersion";
    case Damage::kGarbledPages:
      return "GarbledPages";
  }
  return "Unknown";
}

class RegistryDamagedHive : public RegistryTest, public ::testing::WithParamInterface<Damage> {
 protected:
  // A valid hive of several pages, then damaged as the parameter says.
  void MakeDamagedUserHive() {
    mivo::reg::HiveTransaction transaction(HKEY_CURRENT_USER);  // one commit, not 200
    RegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, u"Software\\Mivotec"), ERROR_SUCCESS);
    for (int i = 0; i < 200; ++i) {
      const std::u16string name = u"value" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                                  std::u16string(static_cast<std::size_t>(i / 26 + 1), u'x');
      ASSERT_EQ(SetSz(key, name.c_str(), std::u16string(100, u'd')), ERROR_SUCCESS);
    }
    key.Close();
    ASSERT_EQ(transaction.Commit(), ERROR_SUCCESS);
    mivo::reg::ResetForTesting();
    std::string bytes = ReadFile(hives_.userHive());
    ASSERT_GT(bytes.size(), 8192U);
    switch (GetParam()) {
      case Damage::kTextFile:
        bytes = "[HKEY_CURRENT_USER\\Software]\n\"not\"=\"a database\"\n";
        break;
      case Damage::kEmptyFile:
        bytes.clear();
        break;
      case Damage::kTruncated:
        bytes.resize(bytes.size() / 2);
        break;
      case Damage::kForeignSqlite:
        std::fill(bytes.begin() + 68, bytes.begin() + 72, '\0');  // application_id of another program
        break;
      case Damage::kNewerSchema:
        bytes[63] = 9;  // user_version 9
        break;
      case Damage::kGarbledPages:
        for (std::size_t i = 4096; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31);
        break;
    }
    WriteFile(hives_.userHive(), bytes);
    original_ = bytes;
  }

  std::string original_;
};

TEST_P(RegistryDamagedHive, EveryCallFailsWithBadDbNamesTheFileAndLeavesItByteIdentical) {
  MakeDamagedUserHive();
  if (HasFatalFailure()) return;
  const std::vector<std::string> entriesBefore = FolderEntries(hives_.File("user"));
  EXPECT_EQ(mivo::reg::LastHiveProblem(), "");

  RegKey key;
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, u"Software\\Mivotec", KEY_READ), ERROR_BADDB);
  EXPECT_EQ(mivo::reg::LastHiveProblem(), hives_.userHive());
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, u"Software\\Mivotec", KEY_ALL_ACCESS), ERROR_BADDB);
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, u"", KEY_READ), ERROR_BADDB);
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, u"Nowhere", KEY_READ), ERROR_BADDB);
  EXPECT_EQ(key.Create(HKEY_CURRENT_USER, u"Software\\New"), ERROR_BADDB);
  EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"x", 1), ERROR_BADDB);
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"x").status, ERROR_BADDB);
  EXPECT_EQ(RegDeleteValueW(HKEY_CURRENT_USER, u"x"), ERROR_BADDB);
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software"), ERROR_BADDB);
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, nullptr), ERROR_BADDB);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Mivotec"), ERROR_BADDB);
  WCHAR name[16];
  DWORD chars = 16;
  EXPECT_EQ(RegEnumKeyExW(HKEY_CURRENT_USER, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_BADDB);
  {
    mivo::reg::HiveTransaction transaction(HKEY_CURRENT_USER);
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"x", 1), ERROR_BADDB);
    EXPECT_EQ(transaction.Commit(), ERROR_SUCCESS);  // it had nothing to write
  }
  EXPECT_EQ(key.get(), nullptr);

  EXPECT_EQ(ReadFile(hives_.userHive()), original_);
  EXPECT_EQ(FolderEntries(hives_.File("user")), entriesBefore);

  // The other root is not affected.
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"fine", 1), ERROR_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, RegistryDamagedHive,
                         ::testing::Values(Damage::kTextFile, Damage::kEmptyFile, Damage::kTruncated,
                                           Damage::kForeignSqlite, Damage::kNewerSchema,
                                           Damage::kGarbledPages),
                         DamageName);

TEST_F(RegistryFiles, DamagedHiveIsNamedForTheThreadThatMetIt) {
  ASSERT_EQ(::mkdir(hives_.File("machine").c_str(), 0755), 0);
  WriteFile(hives_.machineHive(), "not a hive");
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, u"Software", KEY_READ), ERROR_BADDB);
  EXPECT_EQ(mivo::reg::LastHiveProblem(), hives_.machineHive());
  std::string seenByOtherThread = "unset";
  std::thread([&] { seenByOtherThread = mivo::reg::LastHiveProblem(); }).join();
  EXPECT_EQ(seenByOtherThread, "");
}

TEST_F(RegistryFiles, HiveRepairedOnDiskIsUsedAgain) {
  ASSERT_EQ(::mkdir(hives_.File("user").c_str(), 0755), 0);
  WriteFile(hives_.userHive(), "garbage");
  EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"x", 1), ERROR_BADDB);
  ASSERT_EQ(::unlink(hives_.userHive().c_str()), 0);  // an administrator removes the damaged file
  EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"x", 1), ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"x").status, ERROR_SUCCESS);
}

}  // namespace
}  // namespace mivo::test
