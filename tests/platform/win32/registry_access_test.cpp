// Access rights: from the hive file's permissions (checked as the unprivileged user 65534, since root may
// write anything) and from the rights a handle was opened with.
#include "platform/win32/registry_test_support.h"

namespace mivo::test {
namespace {

class RegistryAccess : public RegistryTest {
 protected:
  // A user hive with Software\Mivotec holding "Lang" = 7 and a subkey "Sub", owned by root.
  void MakeUserHive(mode_t mode) {
    RegKey key, sub;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, u"Software\\Mivotec"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"Lang", 7), ERROR_SUCCESS);
    ASSERT_EQ(sub.Create(key, u"Sub"), ERROR_SUCCESS);
    key.Close();
    sub.Close();
    mivo::reg::ResetForTesting();
    ASSERT_EQ(::chmod(hives_.userHive().c_str(), mode), 0);
    ASSERT_EQ(::chmod(hives_.File("user").c_str(), 0755), 0);
  }
};

TEST_F(RegistryAccess, ReadOnlyHiveRefusesWriteAccessAndGrantsReadAccess) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to run a part as uid 65534";
  MakeUserHive(0644);
  const std::string before = ReadFile(hives_.userHive());

  const ChildResult child = RunInChild(
      [](Report& report) {
        HKEY key = nullptr;
        report("openAll", RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Mivotec", 0, KEY_ALL_ACCESS, &key));
        report("openAllHandleNull", key == nullptr);
        report("openWrite", RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Mivotec", 0, KEY_WRITE, &key));
        report("openSetValue", RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Mivotec", 0,
                                             KEY_QUERY_VALUE | KEY_SET_VALUE, &key));
        report("openRead", RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Mivotec", 0, KEY_READ, &key));
        DWORD value = 0, size = sizeof value, type = 0;
        report("query",
               RegQueryValueExW(key, u"Lang", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size));
        report("value", value);
        report("subkeys", static_cast<long long>(SubkeyNames(key).size()));
        report("setThroughReadHandle", SetDword(key, u"Lang", 8));
        report("deleteValue", RegDeleteValueW(key, u"Lang"));
        HKEY sub = nullptr;
        DWORD disposition = 0;
        report("createExistingForRead",
               RegCreateKeyExW(key, u"Sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, &disposition));
        report("disposition", disposition);
        RegCloseKey(sub);
        report("createExistingForAll",
               RegCreateKeyExW(key, u"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr));
        report("createNew", RegCreateKeyExW(key, u"New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
        report("deleteKey", RegDeleteKeyW(key, u"Sub"));
        report("deleteTree", RegDeleteTreeW(key, u"Sub"));
        report("deleteOwnTree", RegDeleteTreeW(key, nullptr));
        RegCloseKey(key);
        report("setOnRoot", SetDword(HKEY_CURRENT_USER, u"x", 1));
        report("maximumAllowed", RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, 0x02000000, &key));
        report("setThroughMaximumAllowed", SetDword(key, u"x", 1));
        RegCloseKey(key);
      },
      /*asNobody=*/true);

  ASSERT_EQ(child.exitCode, 0);
  EXPECT_EQ(child["openAll"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["openAllHandleNull"], 1);
  EXPECT_EQ(child["openWrite"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["openSetValue"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["openRead"], ERROR_SUCCESS);
  EXPECT_EQ(child["query"], ERROR_SUCCESS);
  EXPECT_EQ(child["value"], 7);
  EXPECT_EQ(child["subkeys"], 1);
  EXPECT_EQ(child["setThroughReadHandle"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["deleteValue"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["createExistingForRead"], ERROR_SUCCESS);
  EXPECT_EQ(child["disposition"], REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(child["createExistingForAll"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["createNew"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["deleteKey"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["deleteTree"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["deleteOwnTree"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["setOnRoot"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["maximumAllowed"], ERROR_SUCCESS);
  EXPECT_EQ(child["setThroughMaximumAllowed"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFile(hives_.userHive()), before);
  EXPECT_EQ(FolderEntries(hives_.File("user")), std::vector<std::string>{"user.hive"});
}

TEST_F(RegistryAccess, WritableFileInAFolderWithoutWriteAccessIsReadOnly) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to run a part as uid 65534";
  MakeUserHive(0666);  // the file is writable, but no rollback journal can be made beside it
  const ChildResult child = RunInChild(
      [](Report& report) {
        HKEY key = nullptr;
        report("openAll", RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Mivotec", 0, KEY_ALL_ACCESS, &key));
        report("openRead", RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Mivotec", 0, KEY_READ, &key));
        report("query", RegQueryValueExW(key, u"Lang", nullptr, nullptr, nullptr, nullptr));
        RegCloseKey(key);
      },
      true);
  ASSERT_EQ(child.exitCode, 0);
  EXPECT_EQ(child["openAll"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["openRead"], ERROR_SUCCESS);
  EXPECT_EQ(child["query"], ERROR_SUCCESS);
}

TEST_F(RegistryAccess, UnreadableHiveBehavesAsARootWithoutKeys) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to run a part as uid 65534";
  MakeUserHive(0600);
  const std::string before = ReadFile(hives_.userHive());
  const ChildResult child = RunInChild(
      [](Report& report) {
        HKEY key = nullptr;
        report("open", RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Mivotec", 0, KEY_READ, &key));
        report("create", RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Mivotec", 0, nullptr, 0, KEY_READ,
                                         nullptr, &key, nullptr));
        report("query", RegQueryValueExW(HKEY_CURRENT_USER, u"x", nullptr, nullptr, nullptr, nullptr));
        report("set", SetDword(HKEY_CURRENT_USER, u"x", 1));
        report("subkeys", static_cast<long long>(SubkeyNames(HKEY_CURRENT_USER).size()));
      },
      true);
  ASSERT_EQ(child.exitCode, 0);
  EXPECT_EQ(child["open"], ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(child["create"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["query"], ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(child["set"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["subkeys"], 0);
  EXPECT_EQ(ReadFile(hives_.userHive()), before);
}

TEST_F(RegistryAccess, MissingHiveInAFolderWithoutWriteAccessCannotBeCreated) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to run a part as uid 65534";
  ASSERT_EQ(::mkdir(hives_.File("user").c_str(), 0755), 0);
  const ChildResult child = RunInChild(
      [](Report& report) {
        HKEY key = nullptr;
        report("create", RegCreateKeyExW(HKEY_CURRENT_USER, u"Software", 0, nullptr, 0, KEY_ALL_ACCESS,
                                         nullptr, &key, nullptr));
        report("set", SetDword(HKEY_CURRENT_USER, u"x", 1));
        report("openRoot", RegOpenKeyExW(HKEY_CURRENT_USER, u"", 0, KEY_ALL_ACCESS, &key));
        RegCloseKey(key);
      },
      true);
  ASSERT_EQ(child.exitCode, 0);
  EXPECT_EQ(child["create"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["set"], ERROR_ACCESS_DENIED);
  EXPECT_EQ(child["openRoot"], ERROR_ACCESS_DENIED);
  EXPECT_FALSE(FileExists(hives_.userHive()));
}

TEST_F(RegistryAccess, HandleOpenedForReadRefusesWritesOnAWritableHive) {
  MakeUserHive(0644);
  RegKey read;
  ASSERT_EQ(read.Open(HKEY_CURRENT_USER, u"Software\\Mivotec", KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(read, u"Lang", 8), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(read, u"Lang"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(read, nullptr), ERROR_ACCESS_DENIED);
  RegKey created;
  EXPECT_EQ(created.Create(read, u"New"), ERROR_ACCESS_DENIED);
  RegKey existing;
  EXPECT_EQ(existing.Create(read, u"Sub"), ERROR_SUCCESS);  // opening an existing key needs no right on read
  const RegValue value = ReadValue(read, u"Lang");
  EXPECT_EQ(value.bytes, std::string("\x07\0\0\0", 4));
  RegKey check;
  EXPECT_EQ(check.Open(HKEY_CURRENT_USER, u"Software\\Mivotec\\New"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryAccess, HandleWithoutQueryRightCannotRead) {
  MakeUserHive(0644);
  RegKey writeOnly;
  ASSERT_EQ(writeOnly.Open(HKEY_CURRENT_USER, u"Software\\Mivotec", KEY_SET_VALUE), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(writeOnly, u"Lang", 9), ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(writeOnly, u"Lang").status, ERROR_ACCESS_DENIED);
  WCHAR name[8];
  DWORD chars = 8;
  EXPECT_EQ(RegEnumKeyExW(writeOnly, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegEnumValueW(writeOnly, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
}

TEST_F(RegistryAccess, HiveThatTurnsReadOnlyRefusesWritesThroughAFullAccessHandle) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to run a part as uid 65534";
  MakeUserHive(0666);
  ASSERT_EQ(::chown(hives_.File("user").c_str(), 65534, 65534), 0);  // the child may change its folder
  const ChildResult child = RunInChild(
      [folder = hives_.File("user")](Report& report) {
        HKEY key = nullptr;
        report("open", RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Mivotec", 0, KEY_ALL_ACCESS, &key));
        report("setBefore", SetDword(key, u"Lang", 8));
        report("chmod", ::chmod(folder.c_str(), 0555));
        report("setAfter", SetDword(key, u"Lang", 9));
        RegCloseKey(key);
      },
      true);
  ASSERT_EQ(child.exitCode, 0);
  EXPECT_EQ(child["open"], ERROR_SUCCESS);
  EXPECT_EQ(child["setBefore"], ERROR_SUCCESS);
  ASSERT_EQ(child["chmod"], 0);
  EXPECT_EQ(child["setAfter"], ERROR_ACCESS_DENIED);
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, u"Software\\Mivotec", KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(key, u"Lang").bytes, std::string("\x08\0\0\0", 4));
}

}  // namespace
}  // namespace mivo::test
