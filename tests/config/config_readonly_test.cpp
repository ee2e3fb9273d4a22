// Configuration writes to a database the user may only read: the file's permissions, seen by a child
// process that runs as an unprivileged user (Linux only: it forks and needs root).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/win32/winnls.h"
#include "platform/win32/winreg.h"
#include "tests/config/ConfigFixture.h"

namespace mivo::test {
namespace {

using ReadOnlyConfiguration = ConfigurationTest;

TEST_F(ReadOnlyConfiguration, AnItemsTableThatCannotAppendChangesNothingAndReportsNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  const std::string a = dbs().File("a.db");
  MakeStandardDb(a, {99}, {{"M", "Old", 99, "old"}});
  ListConfigDb("1", a);
  SetRegDword(false, kSettings, "LanguageId", 0x0409);
  chmod(a.c_str(), 0644);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // As a user who may read the database and the hives but write neither.
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(10);
    mivo::reg::ResetForTesting();
    StartStores();
    if (Config("M", "Old") != "old") _exit(11);
    if (!Write("new", "M", "New") || !Write("changed", "M", "Old")) _exit(12);
    _exit(reports.empty() ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(QueryColumn(a, "SELECT count(*) FROM Items"), std::vector<std::string>{"1"});
  EXPECT_EQ(QueryColumn(a, "SELECT String FROM Messages"), std::vector<std::string>{"old"});
}

}  // namespace
}  // namespace mivo::test
