// CRegKey on a machine hive the user may only read: the hive file's permissions, seen by a child process
// that runs as an unprivileged user (Linux only: it forks and needs root).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/RegKey.h"
#include "support/TestEnv.h"

namespace mivo::test {
namespace {

TEST(RegKeyOnAReadOnlyHive, IsOpenedForReading) {
  HiveSandbox hives;
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  SetRegString(true, "Software\\Mivotec\\DataBase", "", "3.1.1.0");
  SetRegString(true, "Software\\Mivotec\\DataBase\\LanguageDataBase's", "Base", "/srv/lang.db");
  mivo::reg::ResetForTesting();
  chmod(hives.machineHive().c_str(), 0644);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(10);
    mivo::reg::ResetForTesting();
    CRegKey key(HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase");
    if (!key.IsOpen() || !key.IsReadOnly()) _exit(11);
    CString version;
    if (!key.QueryStringValue(u"", version) || version != u"3.1.1.0") _exit(12);
    CRegKey list(key, u"LanguageDataBase's");
    CStringArray names;
    if (!list.EnumValueNames(names) || names != CStringArray{u"Base"}) _exit(13);
    if (key.SetStringValue(u"", u"9.9") || key.DeleteValue(u"")) _exit(14);
    CRegKey missing(key, u"NotThere");  // cannot be created: no handle
    _exit(missing.IsOpen() ? 15 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string version;
  EXPECT_TRUE(GetRegString(true, "Software\\Mivotec\\DataBase", "", version));
  EXPECT_EQ(version, "3.1.1.0");
}

}  // namespace
}  // namespace mivo::test
