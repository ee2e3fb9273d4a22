// Query recordsets: stored queries by name, DFX bindings of output columns and parameters, moving, and
// typed values from declared column types.
#include <sqlite3.h>

#include "tests/platform/dao/dao_test_support.h"

namespace mivo::test {
namespace {

using QueryTest = LanguageDbTest;

TEST_F(QueryTest, EmptyResultIsBofAndEofAtOnce) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('M', 'K'); INSERT INTO Messages VALUES (1, 7, 'x');");
  LanguageRecordset rs(path_, 8);
  rs.Open();
  EXPECT_TRUE(rs.IsBOF());
  EXPECT_TRUE(rs.IsEOF());
  rs.MoveFirst();  // harmless on an empty result
  EXPECT_TRUE(rs.IsEOF());
  EXPECT_EQ(CatchDao([&] { rs.MoveNext(); }).EngineError(), 3021);
  EXPECT_EQ(CatchDao([&] { rs.GetFieldValue(0); }).EngineError(), 3021);
}

TEST_F(QueryTest, ScanVisitsEveryRowThenReportsEofAndRefusesToMoveOn) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('M', 'a'), ('M', 'b');"
      "INSERT INTO Messages VALUES (1, 7, 'A'), (2, 7, 'B');");
  LanguageRecordset rs(path_, 7);
  rs.Open();
  EXPECT_FALSE(rs.IsBOF());
  EXPECT_FALSE(rs.IsEOF());
  EXPECT_EQ(rs.m_strString, u"A");
  rs.MoveNext();
  EXPECT_EQ(rs.m_strString, u"B");
  EXPECT_FALSE(rs.IsBOF());
  rs.MoveNext();
  EXPECT_TRUE(rs.IsEOF());
  EXPECT_FALSE(rs.IsBOF());
  const CDaoException e = CatchDao([&] { rs.MoveNext(); });
  EXPECT_EQ(e.EngineError(), 3021);
  rs.MoveFirst();  // runs the query again
  EXPECT_FALSE(rs.IsEOF());
  EXPECT_EQ(rs.m_strKeyString, u"a");
}

TEST_F(QueryTest, MoveFirstSeesRowsAddedSinceTheLastRun) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('M', 'a'); INSERT INTO Messages VALUES (1, 7, 'A');");
  LanguageRecordset rs(path_, 7);
  rs.Open();
  rs.MoveNext();
  ASSERT_TRUE(rs.IsEOF());
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('M', 'b'); INSERT INTO Messages VALUES (2, 7, 'B');");
  rs.MoveFirst();
  rs.MoveNext();
  ASSERT_FALSE(rs.IsEOF());
  EXPECT_EQ(rs.m_strString, u"B");
}

TEST_F(QueryTest, TwoRowsForTheSameModuleAndKeyBothComeBackInQueryOrder) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('Mod', 'Key'), ('Other', 'x'), ('Mod', 'Key');"
      "INSERT INTO Messages VALUES (3, 7, 'second'), (2, 7, 'between'), (1, 7, 'first');");
  LanguageRecordset rs(path_, 7);
  EXPECT_EQ(ReadAll(rs), (std::vector<std::string>{"Mod|Key|first", "Other|x|between", "Mod|Key|second"}));
}

TEST_F(QueryTest, TextsLongerThan255CharactersComeBackWhole) {
  std::string longText;
  for (int i = 0; i < 1000; ++i) longText += static_cast<char>('a' + i % 26);
  const std::string russian = "Сообщение об ошибке: " + std::string(300, 'Z') + " конец";
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('M', 'long'), ('M', 'ru');"
      "INSERT INTO Messages VALUES (1, 7, '" +
      longText + "'), (2, 7, '" + russian + "');");
  LanguageRecordset rs(path_, 7);
  rs.Open();
  EXPECT_EQ(rs.m_strString.size(), 1000u);
  EXPECT_EQ(Utf8(rs.m_strString), longText);
  const COleVariant value = rs.GetFieldValue(2);
  EXPECT_EQ(value.vt(), VT_BSTR);
  EXPECT_EQ(value.bstrVal().size(), 1000u);
  rs.MoveNext();
  EXPECT_EQ(rs.m_strString, U(russian));
  rs.MoveNext();
  EXPECT_TRUE(rs.IsEOF());
}

TEST_F(QueryTest, TextsWithCharactersBeyondTheBmpAndEmbeddedZerosKeepTheirCodeUnits) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('M', 'k');"
      "INSERT INTO Messages VALUES (1, 7, 'a' || char(0) || 'b' || char(128512));");
  LanguageRecordset rs(path_, 7);
  rs.Open();
  EXPECT_EQ(rs.m_strString, CString(u"a\0b\U0001F600", 5));
}

// The recordset widens ASCII text of a UTF-8 database itself and has SQLite convert every other value:
// each must come out as sqlite3_column_text16 gives it, in a UTF-8 and in a UTF-16 database.
TEST(QueryTextReading, BoundTextsEqualSqlitesUtf16ForEveryKindOfValue) {
  const std::vector<std::string> values = {"'plain ASCII'",
                                           "''",
                                           "'a' || char(0) || 'b'",
                                           "char(1) || char(127)",
                                           "'caf' || char(233)",
                                           "char(128512)",
                                           "CAST(x'61ff62' AS TEXT)",
                                           "CAST(x'c0af' AS TEXT)",
                                           "CAST(x'80' AS TEXT)",
                                           "CAST(x'eda080' AS TEXT)",
                                           "CAST(x'00d8' AS TEXT)",
                                           "x'4142'",
                                           "42",
                                           "1.5",
                                           "NULL"};
  for (const char* encoding : {"UTF-8", "UTF-16le"}) {
    TempDir dir;
    const std::string path = dir.File("texts.db");
    ExecSql(path, std::string("PRAGMA encoding = '") + encoding + "'; CREATE TABLE Marker (x);");
    MakeStandardDb(path);
    for (const std::string& value : values) {
      ExecSql(path,
              "INSERT INTO Items (Module, KeyString) VALUES ('M', 'k');"
              "INSERT INTO Messages VALUES (last_insert_rowid(), 7, " +
                  value + ");");
    }
    std::vector<CString> expected;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT String FROM Messages ORDER BY ItemId", -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const auto* p = static_cast<const char16_t*>(sqlite3_column_text16(stmt, 0));
      expected.push_back(p ? CString(p, sqlite3_column_bytes16(stmt, 0) / 2) : CString());
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    ASSERT_EQ(expected.size(), values.size());
    LanguageRecordset rs(path, 7);
    rs.Open();
    for (std::size_t i = 0; i < values.size(); ++i, rs.MoveNext()) {
      ASSERT_FALSE(rs.IsEOF());
      EXPECT_EQ(rs.m_strString, expected[i]) << encoding << ": " << values[i];
    }
    EXPECT_TRUE(rs.IsEOF());
  }
}

TEST_F(QueryTest, NullTextsReadAsEmptyThroughDfxAndAsNullThroughGetFieldValue) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('M', NULL), ('M', 'k');"
      "INSERT INTO Messages VALUES (1, 7, NULL), (2, 7, 'text');");
  LanguageRecordset rs(path_, 7);
  rs.m_strString = u"left over";
  rs.Open();
  EXPECT_EQ(rs.m_strKeyString, u"");
  EXPECT_EQ(rs.m_strString, u"");
  EXPECT_EQ(rs.GetFieldValue(1).vt(), VT_NULL);
  EXPECT_EQ(rs.GetFieldValue(2).vt(), VT_NULL);
  EXPECT_TRUE(rs.GetFieldValue(0) == COleVariant(u"M"));
  rs.MoveNext();
  EXPECT_EQ(rs.m_strString, u"text");
  rs.MoveNext();
  EXPECT_TRUE(rs.IsEOF());
}

TEST_F(QueryTest, ParametersSelectTheLanguageAndTheUserItems) {
  Sql("INSERT INTO Items (Module, KeyString, UserDefined) VALUES ('M', 'shipped', 0), ('M', 'mine', 1);"
      "INSERT INTO Messages VALUES (1, 7, 'de1'), (2, 7, 'de2'), (1, 9, 'en1');");
  LanguageRecordset user(path_, 7, 1);
  EXPECT_EQ(ReadAll(user), (std::vector<std::string>{"M|shipped|de1", "M|mine|de2"}));
  LanguageRecordset noUser(path_, 7, 0);
  EXPECT_EQ(ReadAll(noUser), (std::vector<std::string>{"M|shipped|de1"}));
  LanguageRecordset english(path_, 9, 1);
  EXPECT_EQ(ReadAll(english), (std::vector<std::string>{"M|shipped|en1"}));
}

TEST_F(QueryTest, MissingStoredQueryIsError3078NamingIt) {
  Sql("DELETE FROM StoredQueries;");
  LanguageRecordset rs(path_, 7);
  const CDaoException e = CatchDao([&] { rs.Open(); });
  EXPECT_EQ(e.EngineError(), 3078);
  EXPECT_TRUE(Mentions(e, "OfferKeyStrings"));
  EXPECT_FALSE(rs.IsOpen());
  EXPECT_EQ(rs.m_pDatabase, nullptr);  // its own database is closed again
}

TEST_F(QueryTest, FileWithoutStoredQueriesTableIsError3078) {
  Sql("DROP TABLE StoredQueries;");
  LanguageRecordset rs(path_, 7);
  EXPECT_EQ(CatchDao([&] { rs.Open(); }).EngineError(), 3078);
}

TEST_F(QueryTest, MissingTableBehindTheStoredQueryIsError3078NamingTheTable) {
  Sql("DROP TABLE Messages;");
  LanguageRecordset rs(path_, 7);
  const CDaoException e = CatchDao([&] { rs.Open(); });
  EXPECT_EQ(e.EngineError(), 3078);
  EXPECT_TRUE(Mentions(e, "Messages")) << Utf8(e.Message());
  EXPECT_TRUE(Mentions(e, path_));
}

TEST_F(QueryTest, TableOrViewOfTheNameServesWhenNoStoredQueryHasIt) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('M', 'k');"
      "CREATE VIEW OfferKeyStrings2 AS SELECT Module, KeyString, 'from view' AS String FROM Items;"
      "INSERT INTO StoredQueries VALUES ('Languages', 'SELECT ''stored'' AS Name');");
  CDaoDatabase db;
  db.Open(U(path_).c_str());
  CDaoRecordset view(&db);
  view.Open(dbOpenSnapshot, u"[OfferKeyStrings2]");
  EXPECT_TRUE(view.GetFieldValue(2) == COleVariant(u"from view"));
  CDaoRecordset table(&db);
  table.Open(dbOpenDynaset, u"[Items]");
  EXPECT_TRUE(table.GetFieldValue(1) == COleVariant(u"k"));
  // A stored query wins over a table of the same name.
  CDaoRecordset shadowed(&db);
  shadowed.Open(dbOpenDynaset, u"[Languages]");
  EXPECT_TRUE(shadowed.GetFieldValue(0) == COleVariant(u"stored"));
  EXPECT_FALSE(table.CanAppend());  // a query recordset is read-only
  EXPECT_EQ(CatchDao([&] { table.AddNew(); }).EngineError(), 3027);
}

TEST_F(QueryTest, MissingOutputColumnIsError3265NamingIt) {
  class Wrong : public LanguageRecordset {
   public:
    using LanguageRecordset::LanguageRecordset;
    void DoFieldExchange(CDaoFieldExchange* pFX) override {
      pFX->SetFieldType(CDaoFieldExchange::outputColumn);
      DFX_Text(pFX, u"[Module]", m_strModule);
      DFX_Text(pFX, u"[Text]", m_strString);
      pFX->SetFieldType(CDaoFieldExchange::param);
      DFX_Short(pFX, u"LanguageParameter", m_nLanguageParameter);
      DFX_Short(pFX, u"UserFlag", m_nUserFlag);
    }
  };
  Wrong rs(path_, 7);
  const CDaoException e = CatchDao([&] { rs.Open(); });
  EXPECT_EQ(e.EngineError(), 3265);
  EXPECT_TRUE(Mentions(e, "Text"));
  EXPECT_FALSE(rs.IsOpen());
}

TEST_F(QueryTest, ParameterTheQueryHasButTheCallerDoesNotSetIsError3265) {
  class NoFlag : public LanguageRecordset {
   public:
    using LanguageRecordset::LanguageRecordset;
    void DoFieldExchange(CDaoFieldExchange* pFX) override {
      pFX->SetFieldType(CDaoFieldExchange::outputColumn);
      DFX_Text(pFX, u"[String]", m_strString);
      pFX->SetFieldType(CDaoFieldExchange::param);
      DFX_Short(pFX, u"LanguageParameter", m_nLanguageParameter);
    }
  };
  NoFlag rs(path_, 7);
  const CDaoException e = CatchDao([&] { rs.Open(); });
  EXPECT_EQ(e.EngineError(), 3265);
  EXPECT_TRUE(Mentions(e, "UserFlag")) << Utf8(e.Message());
}

TEST_F(QueryTest, ParameterTheCallerSetsButTheQueryLacksIsError3265) {
  class Extra : public LanguageRecordset {
   public:
    using LanguageRecordset::LanguageRecordset;
    void DoFieldExchange(CDaoFieldExchange* pFX) override {
      LanguageRecordset::DoFieldExchange(pFX);
      DFX_Short(pFX, u"Country", m_nUserFlag);
    }
  };
  Extra rs(path_, 7);
  const CDaoException e = CatchDao([&] { rs.Open(); });
  EXPECT_EQ(e.EngineError(), 3265);
  EXPECT_TRUE(Mentions(e, "Country"));
}

TEST_F(QueryTest, NamesOfColumnsAndParametersIgnoreLetterCase) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('M', 'k'); INSERT INTO Messages VALUES (1, 7, 'x');");
  class Lower : public LanguageRecordset {
   public:
    using LanguageRecordset::LanguageRecordset;
    void DoFieldExchange(CDaoFieldExchange* pFX) override {
      pFX->SetFieldType(CDaoFieldExchange::outputColumn);
      DFX_Text(pFX, u"[string]", m_strString);
      pFX->SetFieldType(CDaoFieldExchange::param);
      DFX_Short(pFX, u"languageparameter", m_nLanguageParameter);
      DFX_Short(pFX, u"USERFLAG", m_nUserFlag);
    }
  };
  Lower rs(path_, 7);
  rs.Open();
  EXPECT_EQ(rs.m_strString, u"x");
}

TEST_F(QueryTest, FieldPositionOutOfRangeIsError3265) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('M', 'k'); INSERT INTO Messages VALUES (1, 7, 'x');");
  LanguageRecordset rs(path_, 7);
  rs.Open();
  EXPECT_EQ(rs.GetFieldCount(), 3);
  EXPECT_EQ(CatchDao([&] { rs.GetFieldValue(3); }).EngineError(), 3265);
  EXPECT_EQ(CatchDao([&] { rs.GetFieldValue(-1); }).EngineError(), 3265);
}

TEST_F(QueryTest, StoredQueryThatIsNoSelectIsRefusedAndChangesNothing) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('M', 'k');"
      "INSERT INTO StoredQueries VALUES ('Wipe', 'DELETE FROM Items');"
      "INSERT INTO StoredQueries VALUES ('Two', 'SELECT 1 AS a; DELETE FROM Items');");
  CDaoDatabase db;
  db.Open(U(path_).c_str());
  CDaoRecordset wipe(&db);
  EXPECT_EQ(CatchDao([&] { wipe.Open(dbOpenDynaset, u"[Wipe]"); }).EngineError(), 3000);
  CDaoRecordset two(&db);
  EXPECT_EQ(CatchDao([&] { two.Open(dbOpenDynaset, u"[Two]"); }).EngineError(), 3000);
  EXPECT_EQ(Query("SELECT count(*) FROM Items"), "1");
}

TEST_F(QueryTest, AHostileFileCannotLoadCodeAttachOtherFilesOrRewriteItsSchema) {
  const std::string other = path_ + ".other";
  ExecSql(other, "CREATE TABLE Secret (x TEXT); INSERT INTO Secret VALUES ('s');");
  Sql("CREATE VIEW Loader AS SELECT load_extension('/nonexistent/evil.so') AS String;"
      "INSERT INTO StoredQueries VALUES ('Load', 'SELECT load_extension(''/nonexistent/evil.so'') AS s');");
  CDaoDatabase db;
  db.Open(U(path_).c_str());
  for (const char16_t* source : {u"[Loader]", u"[Load]"}) {
    CDaoRecordset rs(&db);
    const CDaoException e = CatchDao([&] { rs.Open(dbOpenSnapshot, source); });
    EXPECT_NE(e.EngineError(), 0) << Utf8(source);
  }
  EXPECT_NE(
      CatchDao([&] { db.Execute(U("ATTACH DATABASE '" + other + "' AS other").c_str()); }).EngineError(), 0);
  try {
    db.Execute(u"PRAGMA writable_schema = ON");  // accepted or refused; either way it must not take effect
  } catch (const CDaoException&) {
  }
  EXPECT_NE(CatchDao([&] { db.Execute(u"UPDATE sqlite_master SET sql = 'x'"); }).EngineError(), 0);
  EXPECT_EQ(Query("SELECT count(*) FROM sqlite_master WHERE sql = 'x'"), "0");
}

TEST_F(QueryTest, SqlTextRunsAsGivenWithItsParameters) {
  Sql("INSERT INTO Items (Module, KeyString) VALUES ('A', 'k'), ('B', 'k');");
  class ByModule : public CDaoRecordset {
   public:
    using CDaoRecordset::CDaoRecordset;
    void DoFieldExchange(CDaoFieldExchange* pFX) override {
      pFX->SetFieldType(CDaoFieldExchange::outputColumn);
      DFX_Text(pFX, u"ItemId", id);
      pFX->SetFieldType(CDaoFieldExchange::param);
      DFX_Text(pFX, u"Module", module);
    }
    CString id, module = u"B";
  };
  CDaoDatabase db;
  db.Open(U(path_).c_str());
  ByModule rs(&db);
  rs.Open(dbOpenSnapshot, u"SELECT ItemId FROM Items WHERE Module = :Module");
  EXPECT_EQ(rs.id, u"2");  // DFX_Text of an integer column reads its text
  EXPECT_TRUE(rs.GetFieldValue(0) == COleVariant::Long(2));
}

class TypedValues : public QueryTest {
 protected:
  void SetUp() override {
    QueryTest::SetUp();
    Sql("CREATE TABLE Typed (t TEXT, vc VARCHAR(20), memo MEMO, s SMALLINT, sh SHORT, i2 INT2, b BOOLEAN,"
        " bit BIT, yn YESNO, lg LOGICAL, i INTEGER, l LONG, bi BIGINT, c COUNTER, r REAL, f FLOAT, d DOUBLE,"
        " untyped, other DATETIME);");
  }
  std::vector<COleVariant> Row(const std::string& where = "") {
    CDaoDatabase db;
    db.Open(U(path_).c_str());
    CDaoRecordset rs(&db);
    rs.Open(dbOpenSnapshot, U("SELECT * FROM Typed " + where).c_str());
    std::vector<COleVariant> row;
    for (int i = 0; i < rs.GetFieldCount(); ++i) row.push_back(rs.GetFieldValue(i));
    return row;
  }
};

TEST_F(TypedValues, DeclaredTypesGiveTheirVariantTypes) {
  Sql("INSERT INTO Typed VALUES ('a', 'b', 'c', 1, 2, 3, 1, 0, 1, 1, 4, 5, 6, 7, 1.5, 2.5, 3, 8, 9);");
  const std::vector<COleVariant> row = Row();
  const std::vector<VARTYPE> expected = {VT_BSTR, VT_BSTR, VT_BSTR, VT_I2, VT_I2, VT_I2, VT_BOOL,
                                         VT_BOOL, VT_BOOL, VT_BOOL, VT_I4, VT_I4, VT_I4, VT_I4,
                                         VT_R8,   VT_R8,   VT_R8,   VT_I4, VT_I4};
  ASSERT_EQ(row.size(), expected.size());
  for (std::size_t i = 0; i < row.size(); ++i) EXPECT_EQ(row[i].vt(), expected[i]) << "column " << i;
  EXPECT_TRUE(row[6] == COleVariant::Bool(true));
  EXPECT_EQ(row[6].lVal(), -1);
  EXPECT_TRUE(row[7] == COleVariant::Bool(false));
  EXPECT_TRUE(row[3] == COleVariant::Short(1));
  EXPECT_TRUE(row[10] == COleVariant::Long(4));
  EXPECT_TRUE(row[16] == COleVariant::Double(3.0));  // an integer stored in a DOUBLE column
}

TEST_F(TypedValues, ColumnsWithoutAKnownTypeReadByStorageClass) {
  Sql("INSERT INTO Typed (untyped, other) VALUES (12, 'text'); INSERT INTO Typed (untyped, other) VALUES "
      "(1.25, NULL);");
  std::vector<COleVariant> first = Row("WHERE rowid = 1");
  EXPECT_TRUE(first[17] == COleVariant::Long(12));
  EXPECT_TRUE(first[18] == COleVariant(u"text"));
  std::vector<COleVariant> second = Row("WHERE rowid = 2");
  EXPECT_TRUE(second[17] == COleVariant::Double(1.25));
  EXPECT_EQ(second[18].vt(), VT_NULL);
}

TEST_F(TypedValues, SqlNullReadsAsNullWhateverTheDeclaredType) {
  Sql("INSERT INTO Typed DEFAULT VALUES;");
  for (const COleVariant& v : Row()) EXPECT_EQ(v.vt(), VT_NULL);
}

TEST_F(TypedValues, ValuesTheDeclaredTypeCannotHoldReadAsWhatTheyAre) {
  Sql("INSERT INTO Typed (s, i, b) VALUES (70000, 'abc', 'maybe'); INSERT INTO Typed (i) VALUES "
      "(5000000000);");
  std::vector<COleVariant> first = Row("WHERE rowid = 1");
  EXPECT_TRUE(first[3] == COleVariant::Double(70000));  // not cut to 16 bits
  EXPECT_TRUE(first[10] == COleVariant(u"abc"));
  EXPECT_TRUE(first[6] == COleVariant(u"maybe"));
  EXPECT_TRUE(Row("WHERE rowid = 2")[10] == COleVariant::Double(5000000000.0));
}

TEST_F(QueryTest, SmallintLanguageIdDoesNotEqualThe32BitInteger99) {
  TempDir other;
  const std::string path = other.File("short.db");
  MakeStandardDb(path, {}, {}, "SMALLINT");
  ExecSql(path, "INSERT INTO Messages VALUES (1, 99, 'config');");
  CDaoDatabase db;
  db.Open(U(path).c_str());
  CDaoTableDef messages(&db);
  messages.Open(u"Messages");
  CDaoRecordset rs(&db);
  rs.Open(&messages, dbOpenTable, dbAppendOnly);
  const COleVariant language = rs.GetFieldValue(1);
  EXPECT_EQ(language.vt(), VT_I2);
  EXPECT_EQ(language.lVal(), 99);
  EXPECT_FALSE(language == COleVariant::Long(99));
  EXPECT_TRUE(language == COleVariant::Short(99));
  // Through a query the origin column's type holds as well.
  CDaoRecordset query(&db);
  query.Open(dbOpenSnapshot, u"SELECT LanguageId AS Lang FROM Messages");
  EXPECT_EQ(query.GetFieldValue(0).vt(), VT_I2);
}

}  // namespace
}  // namespace mivo::test
