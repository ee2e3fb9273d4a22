// Table-type recordsets: scanning in rowid order, editing, appending with the auto number shown before
// Update, defaults of unset columns, and the errors of misuse.
#include "tests/platform/dao/dao_test_support.h"

namespace mivo::test {
namespace {

class TableTest : public LanguageDbTest {
 protected:
  // Opens the database and a table recordset on `table` as the writers do.
  void OpenTable(const char16_t* table) {
    db_.Open(U(path_).c_str(), FALSE, FALSE, u"");
    td_.Open(table);
    rs_.Open(&td_, dbOpenTable, dbAppendOnly);
  }

  CDaoDatabase db_{nullptr};
  CDaoTableDef td_{&db_};
  CDaoRecordset rs_{&db_};
};

TEST_F(TableTest, ScansRowsInRowidOrder) {
  Sql("INSERT INTO Messages (rowid, ItemId, LanguageId, String) VALUES (30, 3, 7, 'c'), (10, 1, 7, 'a'),"
      " (20, 2, 7, 'b');");
  OpenTable(u"Messages");
  std::vector<CString> texts;
  rs_.MoveFirst();
  while (!rs_.IsEOF()) {
    texts.push_back(rs_.GetFieldValue(2).bstrVal());
    rs_.MoveNext();
  }
  EXPECT_EQ(texts, (std::vector<CString>{u"a", u"b", u"c"}));
  EXPECT_EQ(CatchDao([&] { rs_.MoveNext(); }).EngineError(), 3021);
  EXPECT_EQ(rs_.GetFieldCount(), 3);
}

TEST_F(TableTest, EmptyTableIsBofAndEof) {
  OpenTable(u"Languages");
  EXPECT_TRUE(rs_.IsBOF());
  EXPECT_TRUE(rs_.IsEOF());
  rs_.MoveFirst();
  EXPECT_TRUE(rs_.IsEOF());
  EXPECT_EQ(CatchDao([&] { rs_.GetFieldValue(0); }).EngineError(), 3021);
  EXPECT_EQ(CatchDao([&] { rs_.Edit(); }).EngineError(), 3021);
}

TEST_F(TableTest, AddNewShowsTheAutoNumberBeforeUpdate) {
  // AUTOINCREMENT never reuses a number, even after the highest row was deleted.
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('a', '1'), ('b', '2'), ('c', '3'); DELETE FROM Items "
      "WHERE "
      "ItemId = 3;");
  OpenTable(u"Items");
  rs_.AddNew();
  const COleVariant number = rs_.GetFieldValue(2);
  EXPECT_TRUE(number == COleVariant::Long(4));
  rs_.SetFieldValue(0, COleVariant(u"Mod"));
  rs_.SetFieldValue(1, COleVariant(u"Key"));
  EXPECT_TRUE(rs_.GetFieldValue(2) == number);  // still there after setting other columns
  rs_.Update();
  EXPECT_EQ(Query("SELECT ItemId FROM Items WHERE Module = 'Mod' AND KeyString = 'Key'"), "4");
  rs_.AddNew();
  EXPECT_TRUE(rs_.GetFieldValue(2) == COleVariant::Long(5));
  rs_.Update();
  EXPECT_EQ(Query("SELECT group_concat(ItemId) FROM Items"), "1,2,4,5");
}

TEST_F(TableTest, AddNewPredictsTheNumberOfAPlainIntegerPrimaryKey) {
  Sql("CREATE TABLE Plain (Name TEXT, Id INTEGER PRIMARY KEY);"
      "INSERT INTO Plain VALUES ('a', 1), ('b', 7), ('c', 8); DELETE FROM Plain WHERE Id = 8;");
  OpenTable(u"Plain");
  rs_.AddNew();
  EXPECT_TRUE(rs_.GetFieldValue(1) == COleVariant::Long(8));  // reused, as SQLite does without AUTOINCREMENT
  rs_.SetFieldValue(0, COleVariant(u"new"));
  rs_.Update();
  EXPECT_EQ(Query("SELECT Id FROM Plain WHERE Name = 'new'"), "8");
}

TEST_F(TableTest, AddNewOnAnEmptyTableNumbersFromOne) {
  OpenTable(u"Items");
  rs_.AddNew();
  EXPECT_TRUE(rs_.GetFieldValue(2) == COleVariant::Long(1));
  rs_.Update();
  EXPECT_EQ(Query("SELECT ItemId FROM Items"), "1");
}

TEST_F(TableTest, UnsetColumnsOfANewRowKeepTheirDefault) {
  Sql("CREATE TABLE Defaults (a TEXT DEFAULT 'dflt', b INTEGER DEFAULT 42, c TEXT, d BOOLEAN DEFAULT 1);");
  OpenTable(u"Defaults");
  rs_.AddNew();
  EXPECT_TRUE(rs_.GetFieldValue(0) == COleVariant(u"dflt"));
  EXPECT_TRUE(rs_.GetFieldValue(1) == COleVariant::Long(42));
  EXPECT_EQ(rs_.GetFieldValue(2).vt(), VT_NULL);
  EXPECT_TRUE(rs_.GetFieldValue(3) == COleVariant::Bool(true));
  rs_.SetFieldValue(2, COleVariant(u"set"));
  rs_.Update();
  EXPECT_EQ(Query("SELECT a || '/' || b || '/' || c || '/' || d FROM Defaults"), "dflt/42/set/1");
}

TEST_F(TableTest, NewRowWithNothingSetGetsDefaultValues) {
  OpenTable(u"Items");
  rs_.AddNew();
  rs_.SetFieldValue(2, COleVariant::Null());  // let SQLite number it
  rs_.Update();
  EXPECT_EQ(Query("SELECT ItemId || '/' || quote(Module) || '/' || UserDefined FROM Items"), "1/NULL/0");
}

TEST_F(TableTest, EditChangesTheCurrentRowAndTheScanGoesOn) {
  Sql("INSERT INTO Messages VALUES (1, 7, 'de'), (1, 99, 'old'), (2, 99, 'other'), (1, 99, 'old too');");
  OpenTable(u"Messages");
  int edited = 0;
  rs_.MoveFirst();
  while (!rs_.IsEOF()) {
    if (rs_.GetFieldValue(0) == COleVariant::Long(1) && rs_.GetFieldValue(1) == COleVariant::Long(99)) {
      rs_.Edit();
      rs_.SetFieldValue(2, COleVariant(u"new"));
      EXPECT_TRUE(rs_.GetFieldValue(2) == COleVariant(u"new"));  // the edit buffer
      rs_.Update();
      EXPECT_TRUE(rs_.GetFieldValue(2) == COleVariant(u"new"));  // the row as stored
      ++edited;
    }
    rs_.MoveNext();
  }
  EXPECT_EQ(edited, 2);
  EXPECT_EQ(Query("SELECT group_concat(String, ',') FROM Messages"), "de,new,other,new");
}

TEST_F(TableTest, ABookmarkIsTheRowidAndTheScanGoesOnFromTheRowItNames) {
  Sql("INSERT INTO Messages (rowid, ItemId, LanguageId, String) VALUES (10, 1, 7, 'a'), (20, 2, 7, 'b'),"
      " (30, 3, 7, 'c');");
  OpenTable(u"Messages");
  rs_.SetBookmark(COleVariant::Long(20));
  EXPECT_TRUE(rs_.GetFieldValue(2) == COleVariant(u"b"));
  EXPECT_TRUE(rs_.GetBookmark() == COleVariant::LongLong(20));
  rs_.Edit();
  rs_.SetFieldValue(2, COleVariant(u"B"));
  rs_.Update();
  rs_.MoveNext();
  EXPECT_TRUE(rs_.GetFieldValue(2) == COleVariant(u"c"));
  rs_.SetBookmark(COleVariant::Double(10));
  EXPECT_TRUE(rs_.GetFieldValue(2) == COleVariant(u"a"));
  EXPECT_EQ(CatchDao([&] { rs_.SetBookmark(COleVariant::Long(25)); }).EngineError(), 3159);
  EXPECT_TRUE(rs_.IsEOF());
  EXPECT_EQ(CatchDao([&] { rs_.SetBookmark(COleVariant(u"10")); }).EngineError(), 3159);
  EXPECT_EQ(Query("SELECT group_concat(String, ',') FROM Messages"), "a,B,c");
  CDaoRecordset query(&db_);
  query.Open(dbOpenSnapshot, u"SELECT rowid FROM Messages");
  EXPECT_EQ(CatchDao([&] { query.SetBookmark(COleVariant::Long(10)); }).EngineError(), 3251);
}

TEST_F(TableTest, RecordThatWasCurrentStaysCurrentAfterAppending) {
  Sql("INSERT INTO Languages VALUES ('a', 7, 1), ('b', 9, 0);");
  OpenTable(u"Languages");
  ASSERT_TRUE(rs_.GetFieldValue(0) == COleVariant(u"a"));
  rs_.AddNew();
  rs_.SetFieldValue(0, COleVariant(u"c"));
  rs_.SetFieldValue(1, COleVariant::Long(11));
  rs_.Update();
  EXPECT_TRUE(rs_.GetFieldValue(0) == COleVariant(u"a"));
  rs_.MoveNext();
  EXPECT_TRUE(rs_.GetFieldValue(0) == COleVariant(u"b"));
  rs_.MoveNext();
  EXPECT_TRUE(rs_.GetFieldValue(0) == COleVariant(u"c"));  // the new row comes at the end of the scan
  rs_.MoveNext();
  EXPECT_TRUE(rs_.IsEOF());
}

TEST_F(TableTest, CancelUpdateDiscardsTheEditBuffer) {
  Sql("INSERT INTO Languages VALUES ('a', 7, 1);");
  OpenTable(u"Languages");
  rs_.Edit();
  rs_.SetFieldValue(0, COleVariant(u"changed"));
  rs_.CancelUpdate();
  EXPECT_TRUE(rs_.GetFieldValue(0) == COleVariant(u"a"));
  rs_.AddNew();
  rs_.CancelUpdate();
  EXPECT_EQ(CatchDao([&] { rs_.Update(); }).EngineError(), 3020);
  EXPECT_EQ(Query("SELECT count(*) || Name FROM Languages"), "1a");
}

TEST_F(TableTest, SetFieldValueAndUpdateWithoutAddNewOrEditAreError3020) {
  Sql("INSERT INTO Languages VALUES ('a', 7, 1);");
  OpenTable(u"Languages");
  EXPECT_EQ(CatchDao([&] { rs_.SetFieldValue(0, COleVariant(u"x")); }).EngineError(), 3020);
  EXPECT_EQ(CatchDao([&] { rs_.Update(); }).EngineError(), 3020);
  EXPECT_EQ(Query("SELECT Name FROM Languages"), "a");
}

TEST_F(TableTest, SetValuesTakeTheColumnsTypeOrAreRefused) {
  Sql("CREATE TABLE Narrow (s SMALLINT, i INTEGER, t TEXT, b BOOLEAN);");
  OpenTable(u"Narrow");
  rs_.AddNew();
  rs_.SetFieldValue(0, COleVariant::Long(99));
  EXPECT_TRUE(rs_.GetFieldValue(0) == COleVariant::Short(99));
  rs_.SetFieldValue(2, COleVariant::Long(12));
  EXPECT_TRUE(rs_.GetFieldValue(2) == COleVariant(u"12"));
  rs_.SetFieldValue(3, COleVariant::Long(5));
  EXPECT_TRUE(rs_.GetFieldValue(3) == COleVariant::Bool(true));
  EXPECT_EQ(CatchDao([&] { rs_.SetFieldValue(0, COleVariant::Long(70000)); }).EngineError(), 3421);
  const CDaoException e = CatchDao([&] { rs_.SetFieldValue(1, COleVariant(u"abc")); });
  EXPECT_EQ(e.EngineError(), 3421);
  EXPECT_TRUE(Mentions(e, "abc"));
  EXPECT_EQ(CatchDao([&] { rs_.SetFieldValue(4, COleVariant(u"x")); }).EngineError(), 3265);
  rs_.Update();
  EXPECT_EQ(Query("SELECT s || '/' || quote(i) || '/' || t || '/' || b FROM Narrow"), "99/NULL/12/-1");
}

TEST_F(TableTest, DuplicatePrimaryKeyIsError3022AndNothingIsWritten) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('a', '1'), ('b', '2');");
  OpenTable(u"Items");
  rs_.AddNew();
  rs_.SetFieldValue(2, COleVariant::Long(1));
  EXPECT_EQ(CatchDao([&] { rs_.Update(); }).EngineError(), 3022);
  rs_.CancelUpdate();
  EXPECT_EQ(Query("SELECT count(*) FROM Items"), "2");
}

TEST_F(TableTest, EditedRowDeletedMeanwhileIsError3167) {
  Sql("INSERT INTO Languages VALUES ('a', 7, 1);");
  OpenTable(u"Languages");
  rs_.Edit();
  rs_.SetFieldValue(0, COleVariant(u"b"));
  Sql("DELETE FROM Languages;");
  EXPECT_EQ(CatchDao([&] { rs_.Update(); }).EngineError(), 3167);
  EXPECT_EQ(Query("SELECT count(*) FROM Languages"), "0");
}

TEST_F(TableTest, BoundMembersFollowTheTableScan) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('m1', 'k1'), ('m2', NULL);");
  class Bound : public CDaoRecordset {
   public:
    using CDaoRecordset::CDaoRecordset;
    void DoFieldExchange(CDaoFieldExchange* pFX) override {
      DFX_Text(pFX, u"[KeyString]", key);
      DFX_Short(pFX, u"[ItemId]", id);
    }
    CString key;
    short id = 0;
  };
  db_.Open(U(path_).c_str());
  td_.Open(u"Items");
  Bound rs(&db_);
  rs.Open(&td_);
  EXPECT_EQ(rs.key, u"k1");
  EXPECT_EQ(rs.id, 1);
  rs.MoveNext();
  EXPECT_EQ(rs.key, u"");
  EXPECT_EQ(rs.id, 2);
}

TEST_F(TableTest, TableTypeOnAMissingTableIsError3078) {
  db_.Open(U(path_).c_str());
  CDaoRecordset rs(&db_);
  const CDaoException e = CatchDao([&] { rs.Open(dbOpenTable, u"[Strings]"); });
  EXPECT_EQ(e.EngineError(), 3078);
  EXPECT_TRUE(Mentions(e, "Strings"));
  rs.Open(dbOpenTable, u"[Items]");  // a table by name opens as a table
  EXPECT_TRUE(rs.CanAppend());
}

TEST_F(TableTest, TableWithoutRowNumbersIsRefusedWithAMessage) {
  Sql("CREATE TABLE Keyed (k TEXT PRIMARY KEY, v TEXT) WITHOUT ROWID;");
  db_.Open(U(path_).c_str());
  td_.Open(u"Keyed");
  const CDaoException e = CatchDao([&] { rs_.Open(&td_); });
  EXPECT_EQ(e.EngineError(), 3000);
  EXPECT_TRUE(Mentions(e, "Keyed"));
}

}  // namespace
}  // namespace mivo::test
