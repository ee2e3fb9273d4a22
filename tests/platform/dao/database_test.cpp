// Opening database files: never creating one, refusing foreign and damaged files, read-only files, and the
// lifetime of recordsets and table definitions when their database closes.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/platform/dao/dao_test_support.h"

namespace mivo::test {
namespace {

TEST(DatabaseOpen, MissingFileIsError3024NamingItAndNoFileIsCreated) {
  TempDir dir;
  const std::string path = dir.File("missing.db");
  CDaoDatabase db(nullptr);
  const CDaoException e = CatchDao([&] { db.Open(U(path).c_str(), FALSE, FALSE, u""); });
  EXPECT_EQ(static_cast<std::uint32_t>(e.m_scode), 0x800A0BD0u);
  EXPECT_TRUE(Mentions(e, path)) << Utf8(e.Message());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(db.IsOpen());
}

TEST(DatabaseOpen, MissingFolderIsFileNotFoundToo) {
  TempDir dir;
  const std::string path = dir.File("no/such/folder/x.db");
  CDaoDatabase db;
  EXPECT_EQ(CatchDao([&] { db.Open(U(path).c_str()); }).EngineError(), 3024);
  EXPECT_FALSE(std::filesystem::exists(dir.File("no")));
}

TEST(DatabaseOpen, TextFileIsNotADatabase) {
  TempDir dir;
  const std::string path = dir.File("notes.db");
  WriteFile(path, "Module,Key,Text\nThis is plain text, not a database at all.\n");
  CDaoDatabase db;
  const CDaoException e = CatchDao([&] { db.Open(U(path).c_str()); });
  EXPECT_EQ(e.EngineError(), 3343);
  EXPECT_TRUE(Mentions(e, path));
  EXPECT_EQ(ReadFile(path), "Module,Key,Text\nThis is plain text, not a database at all.\n");
}

TEST(DatabaseOpen, EmptyFileIsNotADatabaseAndStaysEmpty) {
  TempDir dir;
  const std::string path = dir.File("empty.db");
  WriteFile(path, "");
  CDaoDatabase db;
  EXPECT_EQ(CatchDao([&] { db.Open(U(path).c_str()); }).EngineError(), 3343);
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST(DatabaseOpen, TruncatedCopyIsNotADatabase) {
  TempDir dir;
  const std::string full = dir.File("full.db");
  MakeStandardDb(full);
  std::string rows = "BEGIN;";
  for (int i = 0; i < 400; ++i) {
    rows += "INSERT INTO Items (Module, KeyString) VALUES ('M', 'key " + std::to_string(i) + " " +
            std::string(100, 'x') + "');";
  }
  ExecSql(full, rows + "COMMIT;");
  const std::string bytes = ReadFile(full);
  ASSERT_GT(bytes.size(), 8192u);
  for (std::size_t cut : {bytes.size() / 2, std::size_t{4096} + 100, std::size_t{60}}) {
    SCOPED_TRACE(cut);
    const std::string path = dir.File("cut" + std::to_string(cut) + ".db");
    WriteFile(path, bytes.substr(0, cut));
    CDaoDatabase db;
    const CDaoException e = CatchDao([&] { db.Open(U(path).c_str()); });
    EXPECT_EQ(e.EngineError(), 3343);
    EXPECT_TRUE(Mentions(e, path));
  }
}

TEST(DatabaseOpen, DamagedPagesFoundWhileReadingAreNotADatabaseNeverACrash) {
  TempDir dir;
  const std::string path = dir.File("damaged.db");
  MakeStandardDb(path);
  std::string rows = "BEGIN;";
  for (int i = 0; i < 300; ++i) {
    rows += "INSERT INTO Items (Module, KeyString) VALUES ('M', '" + std::string(200, 'k') + "');";
    rows += "INSERT INTO Messages VALUES (" + std::to_string(i + 1) + ", 7, 'text');";
  }
  ExecSql(path, rows + "COMMIT;");
  // Overwrite everything after the first pages with garbage, keeping the size the header states.
  std::string bytes = ReadFile(path);
  for (std::size_t i = 4096 * 3; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xA5 ^ (i * 31));
  WriteFile(path, bytes);

  LanguageRecordset rs(path, 7);
  const CDaoException e = CatchDao([&] {
    rs.Open();
    while (!rs.IsEOF()) rs.MoveNext();
  });
  EXPECT_EQ(e.EngineError(), 3343) << Utf8(e.Message());
  EXPECT_TRUE(Mentions(e, path));
}

TEST(DatabaseOpen, DirectoryIsNotADatabase) {
  TempDir dir;
  CDaoDatabase db;
  EXPECT_EQ(CatchDao([&] { db.Open(U(dir.path()).c_str()); }).EngineError(), 3343);
}

TEST(DatabaseOpen, OpensSharedAndWritable) {
  TempDir dir;
  const std::string path = dir.File("lang.db");
  MakeStandardDb(path);
  CDaoDatabase first;
  CDaoDatabase second;
  first.Open(U(path).c_str(), FALSE, FALSE, u"");
  second.Open(U(path).c_str(), FALSE, FALSE, u"");
  EXPECT_TRUE(first.IsOpen());
  EXPECT_TRUE(second.IsOpen());
  EXPECT_TRUE(first.CanUpdate());
  EXPECT_EQ(first.GetName(), U(path));
}

TEST(DatabaseOpen, ReadOnlyRequestGivesReadOnlyRecordsets) {
  TempDir dir;
  const std::string path = dir.File("lang.db");
  MakeStandardDb(path);
  CDaoDatabase db;
  db.Open(U(path).c_str(), FALSE, TRUE, u"");
  EXPECT_FALSE(db.CanUpdate());
  CDaoTableDef items(&db);
  items.Open(u"Items");
  CDaoRecordset rs(&db);
  rs.Open(&items, dbOpenTable, dbAppendOnly);
  EXPECT_FALSE(rs.CanAppend());
  EXPECT_EQ(CatchDao([&] { rs.AddNew(); }).EngineError(), 3027);
}

// Runs `child` in a forked process as uid/gid 65534; returns its exit status (or -1).
int RunAsNobody(const std::function<int()>& child) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 100;
    if (::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
        ::setresuid(65534, 65534, 65534) == 0) {
      try {
        code = child();
      } catch (...) {
        code = 101;
      }
    }
    ::_exit(code);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(DatabaseOpen, FileTheProcessMayOnlyReadOpensReadOnly) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a child as uid 65534";
  TempDir dir;
  const std::string path = dir.File("lang.db");
  MakeStandardDb(path);
  ExecSql(path, "INSERT INTO Items (Module, KeyString) VALUES ('M', 'K');");
  ::chmod(path.c_str(), 0644);  // owned by root: others may read only

  const int status = RunAsNobody([&] {
    CDaoDatabase db;
    db.Open(U(path).c_str(), FALSE, FALSE, u"");
    if (db.CanUpdate()) return 1;
    CDaoTableDef items(&db);
    items.Open(u"Items");
    CDaoRecordset rs(&db);
    rs.Open(&items, dbOpenTable, dbAppendOnly);
    if (rs.CanAppend()) return 2;
    if (rs.IsEOF() || rs.GetFieldValue(0) != COleVariant(u"M")) return 3;  // still readable
    try {
      rs.AddNew();
      return 4;
    } catch (const CDaoException& e) {
      if (e.EngineError() != 3027) return 5;
    }
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM Items"), "1");
}

TEST(DatabaseOpen, FileInAFolderTheProcessMayNotWriteOpensReadOnly) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a child as uid 65534";
  TempDir dir;
  const std::string path = dir.File("lang.db");
  MakeStandardDb(path);
  ::chmod(path.c_str(), 0666);  // the file is writable, but its journal could not be created
  const int status = RunAsNobody([&] {
    CDaoDatabase db;
    db.Open(U(path).c_str());
    return db.CanUpdate() ? 1 : 0;
  });
  EXPECT_EQ(status, 0);
}

TEST(DatabaseOpen, FileTheProcessMayNotReadIsRefusedNamingIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a child as uid 65534";
  TempDir dir;
  const std::string path = dir.File("secret.db");
  MakeStandardDb(path);
  ::chmod(path.c_str(), 0600);
  const int status = RunAsNobody([&] {
    CDaoDatabase db;
    try {
      db.Open(U(path).c_str());
    } catch (const CDaoException& e) {
      return e.EngineError() == 3051 && Mentions(e, path) ? 0 : 1;
    }
    return 2;
  });
  EXPECT_EQ(status, 0);
}

TEST(DatabaseLifetime, ClosingTheDatabaseClosesItsRecordsetsAndTableDefs) {
  TempDir dir;
  const std::string path = dir.File("lang.db");
  MakeStandardDb(path);
  ExecSql(path, "INSERT INTO Items (Module, KeyString) VALUES ('M', 'K');");
  CDaoDatabase db;
  db.Open(U(path).c_str());
  CDaoTableDef items(&db);
  items.Open(u"Items");
  CDaoRecordset table(&db);
  table.Open(&items, dbOpenTable, dbAppendOnly);
  CDaoRecordset query(&db);
  query.Open(dbOpenSnapshot, u"SELECT Module FROM Items");
  ASSERT_TRUE(table.IsOpen());
  ASSERT_TRUE(query.IsOpen());

  db.Close();
  EXPECT_FALSE(table.IsOpen());
  EXPECT_FALSE(query.IsOpen());
  EXPECT_FALSE(items.IsOpen());
  EXPECT_EQ(CatchDao([&] { table.MoveNext(); }).EngineError(), 3420);
  EXPECT_EQ(CatchDao([&] { query.GetFieldValue(0); }).EngineError(), 3420);
  EXPECT_EQ(CatchDao([&] { (void)query.IsEOF(); }).EngineError(), 3420);
  EXPECT_EQ(CatchDao([&] { table.AddNew(); }).EngineError(), 3420);
  EXPECT_EQ(CatchDao([&] {
              CDaoRecordset again(&db);
              again.Open(&items);
            }).EngineError(),
            3420);
  table.Close();  // closing twice is harmless
}

TEST(DatabaseLifetime, RecordsetsMayOutliveTheirDatabaseObject) {
  TempDir dir;
  const std::string path = dir.File("lang.db");
  MakeStandardDb(path);
  auto rs = std::make_unique<CDaoRecordset>(nullptr);
  auto td = std::make_unique<CDaoTableDef>(nullptr);
  {
    CDaoDatabase db;
    db.Open(U(path).c_str());
    rs->m_pDatabase = &db;
    td->m_pDatabase = &db;
    td->Open(u"Languages");
    rs->Open(td.get());
  }
  EXPECT_FALSE(rs->IsOpen());
  EXPECT_FALSE(td->IsOpen());
  rs.reset();
  td.reset();
}

TEST(DatabaseLifetime, RecordsetWithoutDatabaseOpensAndClosesItsOwn) {
  TempDir dir;
  const std::string path = dir.File("lang.db");
  MakeStandardDb(path);
  LanguageRecordset rs(path, 7);
  rs.Open(AFX_DAO_USE_DEFAULT_TYPE, nullptr, 0);
  ASSERT_NE(rs.m_pDatabase, nullptr);
  EXPECT_TRUE(rs.m_pDatabase->IsOpen());
  EXPECT_EQ(rs.m_pDatabase->GetName(), U(path));
  rs.Close();
  EXPECT_EQ(rs.m_pDatabase, nullptr);
  // Opening again works, and a missing file fails at Open without leaving a database behind.
  rs.Open();
  rs.Close();
  std::filesystem::remove(path);
  EXPECT_EQ(CatchDao([&] { rs.Open(); }).EngineError(), 3024);
  EXPECT_EQ(rs.m_pDatabase, nullptr);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(TableDef, MissingTableIsError3078NamingIt) {
  TempDir dir;
  const std::string path = dir.File("lang.db");
  MakeStandardDb(path);
  CDaoDatabase db;
  db.Open(U(path).c_str());
  CDaoTableDef td(&db);
  const CDaoException e = CatchDao([&] { td.Open(u"Nachrichten"); });
  EXPECT_EQ(e.EngineError(), 3078);
  EXPECT_TRUE(Mentions(e, "Nachrichten"));
  EXPECT_FALSE(td.IsOpen());
  td.Open(u"messages");  // letter case does not matter; the stored name is kept
  EXPECT_EQ(td.GetName(), u"Messages");
}

TEST(StandardDatabase, RefusesAnExistingFileAndLeavesItAlone) {
  TempDir dir;
  const std::string path = dir.File("exists.db");
  WriteFile(path, "keep me");
  const CDaoException e = CatchDao([&] { mivo::dao::CreateStandardDatabase(path, {7}); });
  EXPECT_EQ(e.EngineError(), 3204);
  EXPECT_TRUE(Mentions(e, path));
  EXPECT_EQ(ReadFile(path), "keep me");
}

TEST(StandardDatabase, HasTheLayoutTheReadersAndWritersExpect) {
  TempDir dir;
  const std::string path = dir.File("new.db");
  mivo::dao::CreateStandardDatabase(path, {0x0407, 7, 0x0407});
  EXPECT_EQ(QueryText(path, "SELECT group_concat(LanguageId || ':' || Active, ',') FROM Languages"),
            "1031:1,7:1,99:1");
  EXPECT_EQ(QueryText(path,
                      "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND "
                      "tbl_name = 'Messages' AND sql LIKE '%ItemId%LanguageId%'"),
            "1");
  // Typed as the writers compare them.
  CDaoDatabase db;
  db.Open(U(path).c_str());
  CDaoTableDef languages(&db);
  languages.Open(u"Languages");
  CDaoRecordset rs(&db);
  rs.Open(&languages, dbOpenTable, dbAppendOnly);
  EXPECT_EQ(rs.GetFieldValue(1).vt(), VT_I4);
  EXPECT_TRUE(rs.GetFieldValue(2) == COleVariant::Bool(true));
  CDaoTableDef items(&db);
  items.Open(u"Items");
  CDaoRecordset itemRs(&db);
  itemRs.Open(&items, dbOpenTable, dbAppendOnly);
  itemRs.AddNew();
  EXPECT_TRUE(itemRs.GetFieldValue(2) == COleVariant::Long(1));
  EXPECT_TRUE(itemRs.GetFieldValue(3) == COleVariant::Bool(false));  // DEFAULT 0
}

TEST(StandardDatabase, StoredQueryLeavesOutUserItemsUnlessAskedAndKeepsItemOrder) {
  TempDir dir;
  const std::string path = dir.File("new.db");
  mivo::dao::CreateStandardDatabase(path, {7});
  ExecSql(path,
          "INSERT INTO Items (Module, KeyString, UserDefined) VALUES ('B', 'k1', 0), ('A', 'k2', 1), ('C', "
          "'k3', NULL);"
          "INSERT INTO Messages VALUES (3, 7, 'three'), (1, 7, 'one'), (2, 7, 'two'), (1, 99, 'config'),"
          " (1, 7, 'one again');");
  LanguageRecordset all(path, 7, 1);
  EXPECT_EQ(ReadAll(all), (std::vector<std::string>{"B|k1|one", "B|k1|one again", "A|k2|two", "C|k3|three"}));
  LanguageRecordset shipped(path, 7, 0);
  EXPECT_EQ(ReadAll(shipped), (std::vector<std::string>{"B|k1|one", "B|k1|one again", "C|k3|three"}));
  LanguageRecordset config(path, 99, 1);
  EXPECT_EQ(ReadAll(config), (std::vector<std::string>{"B|k1|config"}));
}

}  // namespace
}  // namespace mivo::test
