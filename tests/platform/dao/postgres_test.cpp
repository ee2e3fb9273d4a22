// The database classes on a PostgreSQL database (a private server of support/PgCluster.h): opening and
// its errors, typed values, stored queries with named parameters, table-type recordsets, transactions,
// read-only rights, and mivoctl's db commands on a URI.
#include "support/PgCluster.h"
#include "tests/platform/dao/dao_test_support.h"

namespace mivo::test {
namespace {

class PostgresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cluster_ = &PgCluster::Shared();
    name_ = cluster_->CreateDatabase("dao");
    uri_ = cluster_->Uri(name_);
    mivo::dao::CreateStandardDatabase(uri_, {7});
  }
  std::string Psql(const std::string& sql) { return cluster_->Psql(name_, sql); }
  void OpenTable(const char16_t* table) {
    db_.Open(U(uri_).c_str());
    td_.Open(table);
    rs_.Open(&td_, dbOpenTable, dbAppendOnly);
  }

  PgCluster* cluster_ = nullptr;
  std::string uri_, name_;
  CDaoDatabase db_{nullptr};
  CDaoTableDef td_{&db_};
  CDaoRecordset rs_{&db_};
};

TEST_F(PostgresTest, AMissingDatabaseOrServerIsError3151NamingTheUri) {
  for (const std::string& uri :
       {cluster_->Uri("no_such_db"), std::string("postgresql:///x?host=/nonexistent&connect_timeout=2")}) {
    CDaoDatabase db(nullptr);
    const CDaoException e = CatchDao([&] { db.Open(U(uri).c_str()); });
    EXPECT_EQ(e.EngineError(), 3151) << uri;
    EXPECT_TRUE(Mentions(e, "Could not connect to '" + uri + "': ")) << Utf8(e.Message());
  }
}

TEST_F(PostgresTest, AUriWithAPasswordIsRefusedAndThePasswordNeverShown) {
  const std::string socket = uri_.substr(uri_.find("host="));
  for (const std::string& uri : {"postgresql://postgres:s3cret@/" + name_ + "?" + socket,
                                 "postgres:///" + name_ + "?" + socket + "&password=s3cret"}) {
    CDaoDatabase db(nullptr);
    const CDaoException e = CatchDao([&] { db.Open(U(uri).c_str()); });
    EXPECT_EQ(e.EngineError(), 3000) << uri;
    EXPECT_FALSE(Mentions(e, "s3cret")) << Utf8(e.Message());
    EXPECT_TRUE(Mentions(e, ".pgpass")) << Utf8(e.Message());
  }
}

TEST_F(PostgresTest, ValuesAreTypedByTheirColumnsTypes) {
  struct Case {
    const char* sql;
    COleVariant expected;
  };
  const Case cases[] = {
      {"'x'::varchar", COleVariant(u"x")},
      {"'y'::char(2)", COleVariant(u"y ")},
      {"7::int2", COleVariant::Short(7)},
      {"true", COleVariant::Bool(true)},
      {"70000::int4", COleVariant::Long(70000)},
      {"70000::int8", COleVariant::Long(70000)},
      {"5000000000::int8", COleVariant::Double(5e9)},
      {"1.5::float8", COleVariant::Double(1.5)},
      {"12.50::numeric(6,2)", COleVariant::Decimal("12.50")},
      {"timestamp '1899-12-31 12:00:00'", COleVariant::Date(1.5)},
      {"'\\x41ff'::bytea", COleVariant::Binary("A\xff")},
      {"'1 day'::interval", COleVariant(u"1 day")},
  };
  db_.Open(U(uri_).c_str());
  for (const Case& c : cases) {
    CDaoRecordset rs(&db_);
    rs.Open(dbOpenSnapshot, U(std::string("SELECT ") + c.sql).c_str());
    EXPECT_EQ(rs.GetFieldValue(0), c.expected) << c.sql << " read as type " << rs.GetFieldValue(0).vt();
  }
  CDaoRecordset null(&db_);
  null.Open(dbOpenSnapshot, u"SELECT NULL::integer");
  EXPECT_EQ(null.GetFieldValue(0).vt(), VT_NULL);
  // The standard layout: Items (text, text, serial, boolean); the hidden row key of Languages not shown.
  OpenTable(u"Languages");
  EXPECT_EQ(rs_.GetFieldCount(), 3);
  EXPECT_EQ(rs_.GetFieldValue(0), COleVariant(u"0x0007"));
  EXPECT_EQ(rs_.GetFieldValue(1), COleVariant::Long(7));
  EXPECT_EQ(rs_.GetFieldValue(2), COleVariant::Bool(true));
}

TEST_F(PostgresTest, TheStoredQueryBindsItsNamedParametersByName) {
  Psql(
      "INSERT INTO \"Items\" (\"Module\", \"KeyString\", \"UserDefined\") VALUES ('M', 'a', false), "
      "('M', 'user', true), ('M', 'b', NULL);"
      "INSERT INTO \"Messages\" (\"ItemId\", \"LanguageId\", \"String\") VALUES (3, 7, 'b1'), (1, 7, 'a'), "
      "(2, 7, 'u'), (3, 7, 'b2'), (1, 9, 'other'), (2, 7, ':UserFlag '' -- not a parameter')");
  LanguageRecordset all(uri_, 7, 1), notUser(uri_, 7, 0);
  EXPECT_EQ(ReadAll(all),
            (std::vector<std::string>{"M|a|a", "M|user|u", "M|user|:UserFlag ' -- not a parameter", "M|b|b1",
                                      "M|b|b2"}));
  EXPECT_EQ(ReadAll(notUser), (std::vector<std::string>{"M|a|a", "M|b|b1", "M|b|b2"}));

  // A parameter the query lacks, or one it has and is not given.
  Psql(
      "INSERT INTO \"StoredQueries\" (\"Name\", \"SQL\") VALUES ('OneParam', "
      "'SELECT \"Module\", \"KeyString\", \"Module\" AS \"String\" FROM \"Items\" WHERE \"ItemId\"::int2 = "
      ":languageparameter')");
  struct OneParam : LanguageRecordset {
    using LanguageRecordset::LanguageRecordset;
    CString GetDefaultSQL() override { return u"[OneParam]"; }
  } extra(uri_, 1, 1);
  EXPECT_EQ(CatchDao([&] { ReadAll(extra); }).EngineError(), 3265);
  struct Missing : LanguageRecordset {
    using LanguageRecordset::LanguageRecordset;
    void DoFieldExchange(CDaoFieldExchange* pFX) override {
      pFX->SetFieldType(CDaoFieldExchange::outputColumn);
      DFX_Text(pFX, u"[Module]", m_strModule);
      DFX_Text(pFX, u"[KeyString]", m_strKeyString);
      DFX_Text(pFX, u"[String]", m_strString);
    }
  } missing(uri_);
  const CDaoException e = CatchDao([&] { ReadAll(missing); });
  EXPECT_EQ(e.EngineError(), 3265);
  EXPECT_TRUE(Mentions(e, "LanguageParameter")) << Utf8(e.Message());
  // Anything but one SELECT is refused before it runs.
  CDaoDatabase db(nullptr);
  db.Open(U(uri_).c_str());
  for (const char* sql :
       {"DELETE FROM \"Items\"", "SELECT 1; DELETE FROM \"Items\"", "SELECT * INTO t FROM \"Items\""}) {
    CDaoRecordset rs(&db);
    EXPECT_EQ(CatchDao([&] { rs.Open(dbOpenSnapshot, U(sql).c_str()); }).EngineError(), 3000) << sql;
  }
  EXPECT_EQ(Psql("SELECT count(*) FROM \"Items\""), "3");
}

TEST_F(PostgresTest, TableRecordsetsScanInRowKeyOrderAppendEditAndKeepBookmarks) {
  Psql("INSERT INTO \"Items\" (\"Module\", \"KeyString\", \"ItemId\") VALUES ('M', 'c', 30), ('M', 'a', 10)");
  OpenTable(u"Items");
  EXPECT_EQ(rs_.GetFieldValue(1), COleVariant(u"a"));
  rs_.AddNew();
  rs_.SetFieldValue(0, COleVariant(u"N"));
  rs_.SetFieldValue(1, COleVariant(u"new"));
  EXPECT_EQ(rs_.GetFieldValue(2), COleVariant::Long(31));  // past the numbers taken, before Update
  EXPECT_EQ(rs_.GetFieldValue(3), COleVariant::Bool(false));
  rs_.Update();
  EXPECT_EQ(rs_.GetFieldValue(1), COleVariant(u"a"));  // the current record stays current
  const COleVariant first = rs_.GetBookmark();
  std::vector<std::string> keys;
  for (rs_.MoveFirst(); !rs_.IsEOF(); rs_.MoveNext()) keys.push_back(Utf8(rs_.GetFieldValue(1).bstrVal()));
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "c", "new"}));
  rs_.SetBookmark(first);
  rs_.Edit();
  rs_.SetFieldValue(1, COleVariant(u"edited"));
  rs_.Update();
  EXPECT_EQ(rs_.GetFieldValue(1), COleVariant(u"edited"));
  rs_.MoveNext();
  EXPECT_EQ(rs_.GetFieldValue(2), COleVariant::Long(30));
  EXPECT_EQ(CatchDao([&] { rs_.SetBookmark(COleVariant::LongLong(11)); }).EngineError(), 3159);
  EXPECT_EQ(Psql("SELECT string_agg(\"KeyString\" || \"ItemId\", ',' ORDER BY \"ItemId\") FROM \"Items\""),
            "edited10,c30,new31");

  // A hundred thousand rows: scanned in batches, in row-key order.
  Psql(
      "INSERT INTO \"Messages\" (\"ItemId\", \"LanguageId\", \"String\") SELECT 100000 - g, 7, g::text "
      "FROM generate_series(1, 100000) g");
  CDaoTableDef messagesDef(&db_);
  messagesDef.Open(u"Messages");
  CDaoRecordset messages(&db_);
  messages.Open(&messagesDef, dbOpenTable, dbAppendOnly);
  EXPECT_EQ(messages.GetFieldCount(), 3);
  long rows = 0;
  bool ordered = true;
  for (; !messages.IsEOF(); messages.MoveNext()) {
    ordered = ordered && messages.GetFieldValue(0) == COleVariant::Long(100000 - (++rows));
  }
  EXPECT_EQ(rows, 100000);
  EXPECT_TRUE(ordered);
}

TEST_F(PostgresTest, ARolledBackTransactionLeavesNothingAndAFailedStatementDoesNotEndIt) {
  CDaoWorkspace ws;
  ws.Open();
  OpenTable(u"Items");
  ws.BeginTrans();
  rs_.AddNew();
  rs_.SetFieldValue(1, COleVariant(u"gone"));
  rs_.Update();
  CDaoRecordset bad(&db_);
  EXPECT_EQ(CatchDao([&] { bad.Open(dbOpenSnapshot, u"SELECT nothing FROM \"Items\""); }).EngineError(),
            3265);
  EXPECT_EQ(CatchDao([&] { bad.Open(dbOpenSnapshot, u"SELECT 1 FROM \"NoTable\""); }).EngineError(), 3078);
  CDaoRecordset count(&db_);
  count.Open(dbOpenSnapshot, u"SELECT count(*) FROM \"Items\"");
  EXPECT_EQ(count.GetFieldValue(0), COleVariant::Long(1));
  ws.Rollback();
  EXPECT_EQ(Psql("SELECT count(*) FROM \"Items\""), "0");
}

TEST_F(PostgresTest, ARoleThatMayOnlyReadCannotAppendAndItsWritesAre3027) {
  Psql(
      "DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'reader') THEN CREATE ROLE reader "
      "LOGIN; END IF; END $$; GRANT SELECT ON ALL TABLES IN SCHEMA public TO reader");
  Psql("INSERT INTO \"Items\" (\"Module\", \"KeyString\") VALUES ('M', 'k')");
  uri_ = cluster_->Uri(name_, "reader");
  OpenTable(u"Items");
  EXPECT_FALSE(rs_.CanAppend());
  EXPECT_FALSE(rs_.CanUpdate());
  EXPECT_EQ(rs_.GetFieldValue(1), COleVariant(u"k"));
  EXPECT_EQ(CatchDao([&] { rs_.AddNew(); }).EngineError(), 3027);
  EXPECT_EQ(CatchDao([&] { rs_.Edit(); }).EngineError(), 3027);
  EXPECT_EQ(CatchDao([&] { db_.Execute(u"DELETE FROM \"Items\""); }).EngineError(), 3027);
}

TEST_F(PostgresTest, AChangeWhoseItemTheTriggerCannotNameStillCommits) {
  // The change trigger reads Items to name the item; a role that may not read it changes Messages all the
  // same (and the change is told as a change of everything).
  Psql(
      "DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'writer') THEN CREATE ROLE writer; "
      "END IF; END $$; GRANT SELECT, UPDATE ON \"Messages\" TO writer");
  cluster_->AddTexts(name_, {{"M", "k", 7, "before"}});
  Psql("SET ROLE writer; UPDATE \"Messages\" SET \"String\" = 'after'");
  EXPECT_EQ(Psql("SELECT \"String\" FROM \"Messages\""), "after");
}

TEST_F(PostgresTest, TheChangeTriggersAreMadeThroughExecuteOnTablesMadeElsewhere) {
  // As `mivoctl db convert` makes them on the tables it converted: only on the standard ones.
  const std::string name = cluster_->CreateDatabase("plain");
  cluster_->Psql(
      name, "CREATE TABLE \"Items\" (\"Module\" text, \"KeyString\" text, \"ItemId\" serial PRIMARY KEY)");
  CDaoDatabase db(nullptr);
  db.Open(U(cluster_->Uri(name)).c_str());
  db.Execute(U(mivo::dao::ChangeNotificationsSql(mivo::dao::Engine::kPostgres, {"Items", "Other"})).c_str());
  EXPECT_EQ(cluster_->Psql(name, "SELECT string_agg(tgname, ' ' ORDER BY tgname) FROM pg_trigger"),
            "ItemsDeleted ItemsInserted ItemsTruncated ItemsUpdated");
  cluster_->Psql(name, "INSERT INTO \"Items\" (\"Module\", \"KeyString\") VALUES ('M', 'K')");
}

TEST_F(PostgresTest, MivoctlCreatesImportsExportsAndListsAUri) {
  const std::string uri = cluster_->Uri(cluster_->CreateDatabase("tool"));
  ASSERT_EQ(RunTool({"db", "create", uri, "--language", "0x0409"}).code, 0);
  EXPECT_NE(RunTool({"db", "create", uri}).code, 0);  // 3204: it exists
  const std::string csv =
      "module,key,language,text\nMain,Hello,1033,Hello\nMain,Hello,99,cfg\nMain,\"a,b\",1033,\"x\"\"y\"\n";
  const ProcessResult imported = RunTool({"db", "import", uri, "-", "--raw"}, csv);
  ASSERT_EQ(imported.code, 0) << imported.err;
  const ProcessResult again = RunTool({"db", "import", uri, "-", "--raw"}, csv);
  EXPECT_NE(again.out.find("0 added, 3 replaced"), std::string::npos) << again.out << again.err;
  const ProcessResult exported = RunTool({"db", "export", uri, "--raw"});
  EXPECT_EQ(exported.out, csv) << exported.err;
  const ProcessResult listed = RunTool({"db", "list", uri});
  EXPECT_NE(listed.out.find("items: 2"), std::string::npos) << listed.out << listed.err;
  EXPECT_NE(listed.out.find("0x0409 (1033)    yes"), std::string::npos) << listed.out;
  const ProcessResult indexed = RunTool({"db", "index", uri});
  EXPECT_NE(indexed.out.find("has the standard indexes already"), std::string::npos)
      << indexed.out << indexed.err;
}

}  // namespace
}  // namespace mivo::test
