// A refresh that meets a damaged, missing or locked database: RefreshLangDB and RefreshConfDB answer FALSE,
// the failure is reported, and the server goes on serving the texts and values it had before. A later
// refresh of a sound database takes its new contents.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "integration/server_fixture.h"
#include "support/ExclusiveLock.h"

namespace mivo::test {
namespace {

enum class Store { kLanguage, kConfiguration };
enum class Damage { kDeleted, kTruncated, kReplacedByText, kLocked };

struct RefreshFault {
  Store store;
  Damage damage;
};

std::string Name(const ::testing::TestParamInfo<RefreshFault>& info) {
  const char* store = info.param.store == Store::kLanguage ? "LanguageDb" : "ConfigurationDb";
  switch (info.param.damage) {
    case Damage::kDeleted:
      return std::string(store) + "Deleted";
    case Damage::kTruncated:
      return std::string(store) + "Truncated";
    case Damage::kReplacedByText:
      return std::string(store) + "ReplacedByText";
    case Damage::kLocked:
      return std::string(store) + "Locked";
  }
  return store;
}

void PrintTo(const RefreshFault& fault, std::ostream* os) {
  *os << Name(::testing::TestParamInfo<RefreshFault>(fault, 0));
}

class FailedRefresh : public ServerTest, public ::testing::WithParamInterface<RefreshFault> {
 protected:
  bool language() const { return GetParam().store == Store::kLanguage; }
  std::string File() const { return Db(language() ? "lang.db" : "conf.db"); }
  std::string FileName() const { return language() ? "lang.db" : "conf.db"; }

  bool Refresh() {
    return language() ? client().RefreshLangDB(kClassObjectPath) : client().RefreshConfDB(kClassObjectPath);
  }

  // What the server answers for the pair the test watches: the current language's greeting (the fallback
  // language would say "Hallo") or the configured host.
  CString Served() {
    return language() ? client().GetLanguageString(kClassObjectPath, u"Demo", u"Greeting")
                      : client().GetConfigString(kClassObjectPath, u"Server", u"Host");
  }
  CString Original() const { return language() ? u"Hello" : u"localhost"; }

  // Damages the database file; the lock is held by `holder`.
  void Damage(ExclusiveLockHolder& holder) {
    const std::string file = File();
    switch (GetParam().damage) {
      case Damage::kDeleted:
        ASSERT_EQ(::unlink(file.c_str()), 0);
        break;
      case Damage::kTruncated:
        ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(original_.size() / 2)), 0);
        break;
      case Damage::kReplacedByText: {
        const std::string text = file + ".new";
        std::ofstream(text) << "Module,Key,Text\nDemo,Greeting,replaced by a text file\n";
        ASSERT_EQ(std::rename(text.c_str(), file.c_str()), 0);
        break;
      }
      case Damage::kLocked:
        ASSERT_TRUE(holder.Hold(file)) << "the lock could not be taken";
        break;
    }
  }

  // Puts the sound database back.
  void Repair(ExclusiveLockHolder& holder) {
    holder.Release();
    std::ofstream(File(), std::ios::binary | std::ios::trunc) << original_;
  }

  std::string original_;
};

TEST_P(FailedRefresh, AnswersFalseReportsItAndKeepsServingWhatTheServerHad) {
  std::vector<std::string> reports;
  client().SubscribeMessages([&](const CString&, const CString& text) { reports.push_back(Utf8(text)); });
  ASSERT_EQ(Served(), Original());  // starts the server, which loads everything
  ASSERT_TRUE(reports.empty()) << reports.front();
  original_ = ReadFile(File());
  ASSERT_FALSE(original_.empty());

  ExclusiveLockHolder holder;
  ASSERT_NO_FATAL_FAILURE(Damage(holder));
  EXPECT_FALSE(Refresh());
  if (language() && GetParam().damage == Damage::kDeleted) {
    EXPECT_TRUE(reports.empty()) << "a missing language database is skipped silently: " << reports.front();
  } else {
    ASSERT_EQ(reports.size(), 1u) << "one report for the one failing database";
    EXPECT_NE(reports[0].find(FileName()), std::string::npos) << reports[0];
  }
  EXPECT_EQ(Served(), Original()) << "the failed refresh dropped what the server had";
  EXPECT_EQ(client().GetLanguageString(kClassObjectPath, u"Demo", u"OnlyGerman"), u"Nur Deutsch");
  EXPECT_EQ(client().GetConfigString(kClassObjectPath, u"Server", u"Port"), u"8080");
  if (GetParam().damage != Damage::kLocked) {  // each attempt on a locked file waits for the lock first
    EXPECT_FALSE(Refresh()) << "the damage is still there";
    EXPECT_EQ(Served(), Original());
  }

  // Once the database is sound again, a refresh takes its current contents.
  ASSERT_NO_FATAL_FAILURE(Repair(holder));
  ExecSql(File(), language() ? "UPDATE Messages SET String = 'Hello again' WHERE String = 'Hello'"
                             : "UPDATE Messages SET String = 'db-host' WHERE String = 'localhost'");
  reports.clear();
  EXPECT_TRUE(Refresh());
  EXPECT_TRUE(reports.empty()) << reports.front();
  EXPECT_EQ(Served(), language() ? u"Hello again" : u"db-host");
}

INSTANTIATE_TEST_SUITE_P(Damages, FailedRefresh,
                         ::testing::Values(RefreshFault{Store::kLanguage, Damage::kDeleted},
                                           RefreshFault{Store::kLanguage, Damage::kTruncated},
                                           RefreshFault{Store::kLanguage, Damage::kReplacedByText},
                                           RefreshFault{Store::kLanguage, Damage::kLocked},
                                           RefreshFault{Store::kConfiguration, Damage::kDeleted},
                                           RefreshFault{Store::kConfiguration, Damage::kTruncated},
                                           RefreshFault{Store::kConfiguration, Damage::kReplacedByText},
                                           RefreshFault{Store::kConfiguration, Damage::kLocked}),
                         Name);

// With two databases listed, one failing: the refresh keeps the whole previous contents, including the
// values of the sound database, rather than a mixture of old and new.
class TwoConfigurationDatabases : public ServerTest {};

TEST_F(TwoConfigurationDatabases, AFailedRefreshKeepsTheWholePreviousStore) {
  MakeStandardDb(Db("second.db"), {99}, {{"Second", "Key", 99, "from the second"}});
  SetRegString(true, kConfigListKey, "Second", Db("second.db"));
  ASSERT_EQ(client().GetConfigString(kClassObjectPath, u"Second", u"Key"), u"from the second");

  ExecSql(Db("second.db"), "UPDATE Messages SET String = 'changed'");
  ASSERT_EQ(::unlink(Db("conf.db").c_str()), 0);
  EXPECT_FALSE(client().RefreshConfDB(kClassObjectPath));
  EXPECT_EQ(client().GetConfigString(kClassObjectPath, u"Server", u"Host"), u"localhost");
  EXPECT_EQ(client().GetConfigString(kClassObjectPath, u"Second", u"Key"), u"from the second");

  // A value set meanwhile stays in memory through a failed refresh as well.
  EXPECT_TRUE(client().SetConfigString(kClassObjectPath, u"set", u"Second", u"New"));
  EXPECT_FALSE(client().RefreshConfDB(kClassObjectPath));
  EXPECT_EQ(client().GetConfigString(kClassObjectPath, u"Second", u"New"), u"set");
}

}  // namespace
}  // namespace mivo::test
