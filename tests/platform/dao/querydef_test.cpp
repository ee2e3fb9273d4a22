// Query definitions and Execute: statements run with named parameters, as the tool's import does.
#include "tests/platform/dao/dao_test_support.h"

namespace mivo::test {
namespace {

class QueryDefTest : public LanguageDbTest {
 protected:
  void SetUp() override {
    LanguageDbTest::SetUp();
    db_.Open(U(path_).c_str());
  }
  CDaoDatabase db_;
};

TEST_F(QueryDefTest, RunsOnePreparedStatementWithNewValuesEachTime) {
  CDaoQueryDef insert(&db_);
  insert.Create(nullptr,
                u"INSERT INTO Messages (ItemId, LanguageId, String) VALUES (:Item, :Language, :Text)");
  for (long i = 1; i <= 3; ++i) {
    insert.SetParamValue(u"Item", COleVariant::Long(i));
    insert.SetParamValue(u"language", COleVariant::Long(7));
    insert.SetParamValue(u"[Text]", COleVariant(u"text " + U(std::to_string(i))));
    insert.Execute();
    EXPECT_EQ(insert.GetRecordsAffected(), 1);
  }
  insert.SetParamValue(u"Text", COleVariant::Null());
  insert.Execute();  // the other values stay set
  EXPECT_EQ(Query("SELECT group_concat(ItemId || ':' || LanguageId || ':' || quote(String), ',') "
                  "FROM Messages"),
            "1:7:'text 1',2:7:'text 2',3:7:'text 3',3:7:NULL");
}

TEST_F(QueryDefTest, ParameterNotSetOrNotInTheStatementIsError3265) {
  CDaoQueryDef update(&db_);
  update.Create(nullptr, u"UPDATE Messages SET String = :Text WHERE ItemId = :Item");
  update.SetParamValue(u"Text", COleVariant(u"x"));
  const CDaoException missing = CatchDao([&] { update.Execute(); });
  EXPECT_EQ(missing.EngineError(), 3265);
  EXPECT_TRUE(Mentions(missing, "Item"));
  const CDaoException extra = CatchDao([&] { update.SetParamValue(u"Language", COleVariant::Long(1)); });
  EXPECT_EQ(extra.EngineError(), 3265);
  EXPECT_TRUE(Mentions(extra, "Language"));
}

TEST_F(QueryDefTest, ClosingTheDatabaseClosesItsQueryDefinitions) {
  CDaoQueryDef insert(&db_);
  insert.Create(nullptr, u"INSERT INTO Languages VALUES ('x', 1, 1)");
  db_.Close();
  EXPECT_FALSE(insert.IsOpen());
  EXPECT_EQ(CatchDao([&] { insert.Execute(); }).EngineError(), 3420);
}

TEST_F(QueryDefTest, QueryDefinitionsAreNotStoredAndHoldOneStatement) {
  CDaoQueryDef qd(&db_);
  EXPECT_EQ(CatchDao([&] { qd.Create(u"Saved", u"SELECT 1"); }).EngineError(), 3000);
  EXPECT_EQ(CatchDao([&] { qd.Create(nullptr, u"DELETE FROM Items; DELETE FROM Languages"); }).EngineError(),
            3000);
  EXPECT_EQ(CatchDao([&] { qd.Create(nullptr, u"SELEKT 1"); }).EngineError(), 3000);
  EXPECT_EQ(CatchDao([&] { qd.Create(nullptr, u"DELETE FROM Nowhere"); }).EngineError(), 3078);
}

TEST_F(QueryDefTest, ExecuteRunsStatementsWithoutParametersAndCountsTheChanges) {
  Sql("INSERT INTO Languages VALUES ('a', 1, 0), ('b', 2, 0), ('c', 3, 1);");
  db_.Execute(
      u"UPDATE Languages SET Active = 1 WHERE Active = 0; UPDATE Languages SET Name = 'z' WHERE LanguageId = "
      u"3");
  EXPECT_EQ(db_.GetRecordsAffected(), 1);
  EXPECT_EQ(Query("SELECT group_concat(Name || Active) FROM Languages"), "a1,b1,z1");
  EXPECT_EQ(CatchDao([&] { db_.Execute(u"DELETE FROM Languages WHERE LanguageId = :Id"); }).EngineError(),
            3265);
  EXPECT_EQ(Query("SELECT count(*) FROM Languages"), "3");
}

TEST_F(QueryDefTest, ChangesOnAReadOnlyDatabaseAreError3027) {
  CDaoDatabase readOnly;
  readOnly.Open(U(path_).c_str(), FALSE, TRUE, u"");
  EXPECT_EQ(CatchDao([&] { readOnly.Execute(u"DELETE FROM Items"); }).EngineError(), 3027);
}

}  // namespace
}  // namespace mivo::test
