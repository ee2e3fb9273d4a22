// Several processes on one hive: concurrent writers lose nothing, a busy hive is waited for, and a key
// deleted by another process is reported as such.
#include <set>

#include "platform/afx/afx.h"
#include "platform/win32/registry_test_support.h"

namespace mivo::test {
namespace {

using RegistryProcesses = RegistryTest;

constexpr int kValuesPerWriter = 500;

// Forks a writer that stores kValuesPerWriter values "<tag><i>" = i below Shared; exit code = failures.
pid_t StartWriter(char16_t tag) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  mivo::reg::ResetForTesting();
  int failures = 0;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, u"Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    _exit(100);
  }
  for (int i = 0; i < kValuesPerWriter; ++i) {
    const std::u16string name = std::u16string(1, tag) + AfxFromUtf8(std::to_string(i));
    if (SetDword(key, name.c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS) ++failures;
  }
  RegCloseKey(key);
  _exit(failures > 99 ? 99 : failures);
}

int Wait(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(RegistryProcesses, TwoProcessesWritingOneNewHiveAtOnceLoseNothing) {
  mivo::reg::ResetForTesting();
  const pid_t first = StartWriter(u'a');
  const pid_t second = StartWriter(u'b');
  ASSERT_EQ(Wait(first), 0);
  ASSERT_EQ(Wait(second), 0);

  RegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, u"Shared", KEY_READ), ERROR_SUCCESS);
  const std::vector<std::u16string> names = ValueNames(key);
  ASSERT_EQ(names.size(), 2U * kValuesPerWriter);
  // Each writer's values keep its own order of creation, whatever the interleaving.
  int next[2] = {0, 0};
  for (const auto& name : names) {
    const int writer = name[0] == u'a' ? 0 : 1;
    ASSERT_EQ(AfxToUtf8(name.substr(1)), std::to_string(next[writer])) << AfxToUtf8(name);
    DWORD value = 0, size = sizeof value;
    ASSERT_EQ(RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, static_cast<DWORD>(next[writer]));
    ++next[writer];
  }
  EXPECT_EQ(FolderEntries(hives_.File("user")), std::vector<std::string>{"user.hive"});
}

TEST_F(RegistryProcesses, BusyHiveIsWaitedForNotReportedMissing) {
  ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"before", 1), ERROR_SUCCESS);
  mivo::reg::ResetForTesting();
  int locked[2], release[2];
  ASSERT_EQ(::pipe(locked), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    mivo::reg::ResetForTesting();
    {
      mivo::reg::HiveTransaction transaction(HKEY_CURRENT_USER);
      if (SetDword(HKEY_CURRENT_USER, u"held", 1) != ERROR_SUCCESS) _exit(1);
      char c = 'l';
      if (::write(locked[1], &c, 1) != 1) _exit(2);
      // Keep the write lock until the parent has started its own write, then a little longer.
      if (::read(release[0], &c, 1) != 1) _exit(3);
      ::usleep(300 * 1000);
      if (transaction.Commit() != ERROR_SUCCESS) _exit(4);
    }
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(locked[0], &c, 1), 1);
  // Reads go on while the other process holds the write lock, and see the hive as it was.
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"before").status, ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"held").status, ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(::write(release[1], &c, 1), 1);
  EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"waited", 1), ERROR_SUCCESS);
  EXPECT_EQ(Wait(holder), 0);
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"held").status, ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER), (std::vector<std::u16string>{u"before", u"held", u"waited"}));
  for (int fd : {locked[0], locked[1], release[0], release[1]}) ::close(fd);
}

TEST_F(RegistryProcesses, KeyDeletedByAnotherProcessGivesKeyDeletedThroughOldHandles) {
  RegKey key, child;
  ASSERT_EQ(child.Create(HKEY_CURRENT_USER, u"Doomed\\Child"), ERROR_SUCCESS);
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, u"Doomed"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, u"v", 1), ERROR_SUCCESS);

  const ChildResult other =
      RunInChild([](Report& report) { report("deleteTree", RegDeleteTreeW(HKEY_CURRENT_USER, u"Doomed")); });
  ASSERT_EQ(other.exitCode, 0);
  ASSERT_EQ(other["deleteTree"], ERROR_SUCCESS);

  EXPECT_EQ(ReadValue(key, u"v").status, ERROR_KEY_DELETED);
  EXPECT_EQ(SetDword(key, u"v", 2), ERROR_KEY_DELETED);
  WCHAR name[8];
  DWORD chars = 8;
  EXPECT_EQ(RegEnumValueW(child, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  RegKey sub;
  EXPECT_EQ(sub.Create(key, u"again"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);

  // A key made again under the same path is another key: the old handle stays dead.
  RegKey remade;
  ASSERT_EQ(remade.Create(HKEY_CURRENT_USER, u"Doomed"), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(key, u"v", 3), ERROR_KEY_DELETED);
  EXPECT_EQ(ReadValue(remade, u"v").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key.get()), ERROR_SUCCESS);  // a dead handle is still closed normally
  *key.out() = nullptr;
}

TEST_F(RegistryProcesses, ChangesOfAnotherProcessAreSeenAtTheNextCall) {
  RegKey key;
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, u"Seen"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, u"mine", 1), ERROR_SUCCESS);
  const ChildResult other = RunInChild([](Report& report) {
    HKEY k = nullptr;
    report("open", RegOpenKeyExW(HKEY_CURRENT_USER, u"Seen", 0, KEY_ALL_ACCESS, &k));
    report("set", SetDword(k, u"theirs", 2));
    RegCloseKey(k);
  });
  ASSERT_EQ(other["set"], ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(key), (std::vector<std::u16string>{u"mine", u"theirs"}));
}

}  // namespace
}  // namespace mivo::test
