// Workspace transactions over every open database, and waiting for databases that another connection has
// locked.
#include <sqlite3.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/platform/dao/dao_test_support.h"

namespace mivo::test {
namespace {

// Restores the default busy wait when a test that shortened it ends.
struct BusyTimeout {
  explicit BusyTimeout(int ms) { mivo::dao::SetBusyTimeoutForTesting(ms); }
  ~BusyTimeout() { mivo::dao::SetBusyTimeoutForTesting(5000); }
};

// Appends one Languages row through a table recordset on `db`.
void AppendLanguage(CDaoDatabase& db, const char16_t* name, long id) {
  CDaoTableDef td(&db);
  td.Open(u"Languages");
  CDaoRecordset rs(&db);
  rs.Open(&td, dbOpenTable, dbAppendOnly);
  rs.AddNew();
  rs.SetFieldValue(0, COleVariant(name));
  rs.SetFieldValue(1, COleVariant::Long(id));
  rs.SetFieldValue(2, COleVariant::Bool(true));
  rs.Update();
}

class TransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    first_ = dir_.File("first.db");
    second_ = dir_.File("second.db");
    MakeStandardDb(first_);
    MakeStandardDb(second_);
  }
  std::string Languages(const std::string& path) {
    return QueryText(path, "SELECT count(*) || ':' || ifnull(group_concat(Name), '') FROM Languages");
  }

  TempDir dir_;
  std::string first_;
  std::string second_;
};

TEST_F(TransactionTest, RolledBackTransactionOverTwoDatabasesLeavesBothUnchanged) {
  CDaoWorkspace ws;
  ws.Open();
  CDaoDatabase a(nullptr);
  CDaoDatabase b(nullptr);
  a.Open(U(first_).c_str());
  b.Open(U(second_).c_str());
  ws.BeginTrans();
  AppendLanguage(a, u"one", 7);
  AppendLanguage(b, u"two", 9);
  ws.Rollback();
  EXPECT_EQ(Languages(first_), "0:");
  EXPECT_EQ(Languages(second_), "0:");
  // Each database's own connection sees no change either, and no longer holds the write lock.
  for (CDaoDatabase* db : {&a, &b}) {
    CDaoTableDef td(db);
    td.Open(u"Languages");
    CDaoRecordset rs(db);
    rs.Open(&td);
    EXPECT_TRUE(rs.IsEOF()) << Utf8(db->GetName());
  }
  for (const std::string& path : {first_, second_}) {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "INSERT INTO Languages VALUES ('x', 1, 1)", nullptr, nullptr, nullptr),
              SQLITE_OK)
        << path;
    sqlite3_close(other);
  }
}

TEST_F(TransactionTest, CommittedTransactionChangesBoth) {
  CDaoWorkspace ws;
  ws.Open();
  CDaoDatabase a;
  CDaoDatabase b;
  a.Open(U(first_).c_str());
  b.Open(U(second_).c_str());
  ws.BeginTrans();
  AppendLanguage(a, u"one", 7);
  AppendLanguage(b, u"two", 9);
  EXPECT_EQ(Languages(first_), "0:");  // not visible to others before the commit
  ws.CommitTrans();
  EXPECT_EQ(Languages(first_), "1:one");
  EXPECT_EQ(Languages(second_), "1:two");
}

TEST_F(TransactionTest, TransactionHoldsTheWriteLockOfEveryDatabaseFromTheStart) {
  CDaoWorkspace ws;
  ws.Open();
  CDaoDatabase a;
  CDaoDatabase b;
  a.Open(U(first_).c_str());
  b.Open(U(second_).c_str());
  ws.BeginTrans();
  for (const std::string& path : {first_, second_}) {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "INSERT INTO Languages VALUES ('x', 1, 1)", nullptr, nullptr, nullptr),
              SQLITE_BUSY)
        << path;
    sqlite3_close(other);
  }
  ws.Rollback();
}

TEST_F(TransactionTest, DatabaseOpenedDuringATransactionJoinsIt) {
  CDaoWorkspace ws;
  ws.Open();
  CDaoDatabase a;
  a.Open(U(first_).c_str());
  ws.BeginTrans();
  CDaoDatabase late;
  late.Open(U(second_).c_str());
  AppendLanguage(late, u"late", 3);
  ws.Rollback();
  EXPECT_EQ(Languages(second_), "0:");
}

TEST_F(TransactionTest, RollbackWithNothingBegunSucceedsAndCommitIsRefused) {
  CDaoWorkspace ws;
  ws.Open();
  ws.Rollback();
  CDaoDatabase a;
  a.Open(U(first_).c_str());
  ws.Rollback();
  AppendLanguage(a, u"auto", 1);  // without a transaction each change stands at once
  ws.Rollback();
  EXPECT_EQ(Languages(first_), "1:auto");
  EXPECT_EQ(CatchDao([&] { ws.CommitTrans(); }).EngineError(), 3034);
}

TEST_F(TransactionTest, NestedBeginIsRefusedAndTheRunningTransactionGoesOn) {
  CDaoWorkspace ws;
  ws.Open();
  CDaoDatabase a;
  a.Open(U(first_).c_str());
  ws.BeginTrans();
  AppendLanguage(a, u"kept", 1);
  EXPECT_EQ(CatchDao([&] { ws.BeginTrans(); }).EngineError(), 3000);
  ws.CommitTrans();
  EXPECT_EQ(Languages(first_), "1:kept");
}

TEST_F(TransactionTest, ClosingTheWorkspaceRollsBackWhatItBegan) {
  CDaoDatabase a;
  a.Open(U(first_).c_str());
  {
    CDaoWorkspace ws;
    ws.Open();
    ws.BeginTrans();
    AppendLanguage(a, u"gone", 1);
  }
  EXPECT_EQ(Languages(first_), "0:");
  CDaoWorkspace next;  // and the next transaction can begin
  next.Open();
  next.BeginTrans();
  next.CommitTrans();
}

TEST_F(TransactionTest, ClosingADatabaseDropsItsPartOfTheTransaction) {
  CDaoWorkspace ws;
  ws.Open();
  CDaoDatabase a;
  CDaoDatabase b;
  a.Open(U(first_).c_str());
  b.Open(U(second_).c_str());
  ws.BeginTrans();
  AppendLanguage(a, u"a", 1);
  AppendLanguage(b, u"b", 2);
  b.Close();
  ws.CommitTrans();
  EXPECT_EQ(Languages(first_), "1:a");
  EXPECT_EQ(Languages(second_), "0:");
}

TEST_F(TransactionTest, WorkspaceMustBeOpenForTransactions) {
  CDaoWorkspace ws;
  EXPECT_EQ(CatchDao([&] { ws.BeginTrans(); }).EngineError(), 3420);
  EXPECT_EQ(CatchDao([&] { ws.Open(u"Other"); }).EngineError(), 3000);
}

// The writer's whole sequence: a new item and a message row for each flagged language, in one
// transaction; the language-99 row carries the text.
TEST_F(TransactionTest, AddingAnItemWithItsMessagesCommitsAllOfIt) {
  ExecSql(first_,
          "INSERT INTO Items (Module, KeyString) VALUES ('Old', 'old');"
          "INSERT INTO Languages VALUES ('de', 7, 1), ('en', 9, 0), ('cfg', 99, 1);");
  CDaoWorkspace ws;
  CDaoDatabase db(nullptr);
  ws.Open();
  db.Open(U(first_).c_str(), FALSE, FALSE, u"");
  CDaoTableDef itemsDef(&db), messagesDef(&db), languagesDef(&db);
  itemsDef.Open(u"Items");
  messagesDef.Open(u"Messages");
  languagesDef.Open(u"Languages");
  CDaoRecordset items(&db), messages(&db), languages(&db);
  items.Open(&itemsDef, dbOpenTable, dbAppendOnly);
  messages.Open(&messagesDef, dbOpenTable, dbAppendOnly);
  languages.Open(&languagesDef, dbOpenTable, dbAppendOnly);
  ASSERT_TRUE(items.CanAppend());
  ws.BeginTrans();
  items.AddNew();
  items.SetFieldValue(0, COleVariant(u"Mod"));
  items.SetFieldValue(1, COleVariant(u"Key"));
  const COleVariant number = items.GetFieldValue(2);
  items.Update();
  languages.MoveFirst();
  while (!languages.IsEOF()) {
    if (languages.GetFieldValue(2) == COleVariant::Bool(true)) {
      messages.AddNew();
      messages.SetFieldValue(0, number);
      const COleVariant language = languages.GetFieldValue(1);
      messages.SetFieldValue(1, language);
      if (language == COleVariant::Long(99)) messages.SetFieldValue(2, COleVariant(u"value"));
      messages.Update();
    }
    languages.MoveNext();
  }
  ws.CommitTrans();
  items.Close();
  db.Close();
  EXPECT_EQ(QueryText(first_,
                      "SELECT group_concat(ItemId || ':' || LanguageId || ':' || quote(String), ',') "
                      "FROM Messages"),
            "2:7:NULL,2:99:'value'");
  EXPECT_EQ(QueryText(first_, "SELECT ItemId FROM Items WHERE Module = 'Mod' AND KeyString = 'Key'"), "2");
}

TEST_F(TransactionTest, LockedDatabaseIsWaitedFor) {
  std::mutex mutex;
  std::condition_variable cv;
  bool locked = false;
  std::thread other([&] {
    sqlite3* db = nullptr;
    sqlite3_open(first_.c_str(), &db);
    sqlite3_exec(db, "BEGIN IMMEDIATE; INSERT INTO Languages VALUES ('other', 1, 1);", nullptr, nullptr,
                 nullptr);
    {
      std::lock_guard<std::mutex> lock(mutex);
      locked = true;
    }
    cv.notify_one();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return locked; });
  }
  BusyTimeout wait(60000);
  CDaoDatabase db;
  db.Open(U(first_).c_str());
  AppendLanguage(db, u"mine", 2);  // waits until the other connection commits
  other.join();
  EXPECT_EQ(Languages(first_), "2:other,mine");
}

TEST_F(TransactionTest, DatabaseThatStaysLockedForWritingIsAnEngineError) {
  BusyTimeout shortWait(50);
  CDaoDatabase db;
  db.Open(U(first_).c_str());
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(first_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const CDaoException e = CatchDao([&] { AppendLanguage(db, u"mine", 2); });
  EXPECT_EQ(e.EngineError(), 3218);
  EXPECT_TRUE(Mentions(e, first_));
  CDaoWorkspace ws;
  ws.Open();
  EXPECT_EQ(CatchDao([&] { ws.BeginTrans(); }).EngineError(), 3218);
  ws.Rollback();  // nothing was begun
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  AppendLanguage(db, u"after", 3);  // works once the lock is gone
  EXPECT_EQ(Languages(first_), "1:after");
}

TEST_F(TransactionTest, DatabaseThatStaysLockedForReadingIsAnEngineError) {
  BusyTimeout shortWait(50);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(first_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  CDaoDatabase db;
  const CDaoException e = CatchDao([&] { db.Open(U(first_).c_str()); });
  EXPECT_EQ(e.EngineError(), 3260);
  EXPECT_TRUE(Mentions(e, first_));
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
}

}  // namespace
}  // namespace mivo::test
