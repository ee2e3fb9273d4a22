// mivoctl db convert: every Access fixture converted and read back through the database classes, cell by
// cell against the contents an independent reader dumped; the bad inputs; the raw-byte decoders and the
// query rebuild rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "platform/dao/afxdao.h"
#include "support/TestEnv.h"
#include "tools/mivoctl/access_query.h"
#include "tools/mivoctl/access_values.h"

namespace mivo::test {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const std::string kFixtures = MIVODB_ACCESS_FIXTURES;

json Load(const std::string& path) {
  std::ifstream in(path);
  return json::parse(in);
}

std::string Base64(const std::string& bytes) {
  static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += k[v >> 18 & 63];
    out += k[v >> 12 & 63];
    out += i + 1 < bytes.size() ? k[v >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? k[v & 63] : '=';
  }
  return out;
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  unsigned v = 0;
  int bits = 0;
  for (char c : text) {
    const auto at = std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/").find(c);
    if (at == std::string::npos) continue;
    v = v << 6 | static_cast<unsigned>(at);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>(v >> bits & 0xff);
    }
  }
  return out;
}

// "1.50" and "1.5" are the same decimal.
std::string Decimal(std::string s) {
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  return s == "-0" ? "0" : s;
}

// The variant type each Access type reads back as.
VARTYPE VariantTypeOf(const std::string& accessType) {
  static const std::map<std::string, VARTYPE> k = {{"text", VT_BSTR},
                                                   {"memo", VT_BSTR},
                                                   {"long", VT_I4},
                                                   {"integer", VT_I2},
                                                   {"byte", VT_UI1},
                                                   {"boolean", VT_BOOL},
                                                   {"double", VT_R8},
                                                   {"float", VT_R4},
                                                   {"currency", VT_CY},
                                                   {"numeric", VT_DECIMAL},
                                                   {"datetime", VT_DATE},
                                                   {"datetimextended", VT_BSTR},
                                                   {"binary", VT_ARRAY | VT_UI1},
                                                   {"ole", VT_ARRAY | VT_UI1},
                                                   {"repid", VT_BSTR},
                                                   {"complex", VT_I4}};
  auto it = k.find(accessType);
  return it == k.end() ? VT_EMPTY : it->second;
}

// A cell as the expected file writes it: Null, numbers, texts, {"base64"}, lists of attachments.
json Cell(const COleVariant& v, const std::string& accessType, const std::string& db,
          const std::string& table, const std::string& column) {
  switch (v.vt()) {
    case VT_NULL:
      return nullptr;
    case VT_BSTR: {
      std::string s = Utf8(v.bstrVal());
      // Date/Time Extended "YYYY-MM-DD hh:mm:ss.fffffff" in the dump's "YYYY.MM.DD hh:mm:ss.fffffff00".
      if (accessType == "datetimextended")
        s = s.substr(0, 4) + "." + s.substr(5, 2) + "." + s.substr(8) + "00";
      return s;
    }
    case VT_I2:
    case VT_I4:
    case VT_UI1:
      if (accessType == "complex") {
        json files = json::array();
        const std::string where = "FROM _Attachments WHERE TableName = '" + table + "' AND ColumnName = '" +
                                  column + "' AND ComplexId = " + std::to_string(v.lVal()) + " ORDER BY Id";
        const auto names = QueryColumn(db, "SELECT FileName " + where);
        const auto types = QueryColumn(db, "SELECT FileType " + where);
        const auto data = QueryColumn(db, "SELECT hex(FileData) " + where);
        for (std::size_t i = 0; i < names.size(); ++i) {
          std::string bytes;
          for (std::size_t k = 0; k + 1 < data[i].size(); k += 2) {
            bytes += static_cast<char>(std::stoi(data[i].substr(k, 2), nullptr, 16));
          }
          files.push_back({{"name", names[i]}, {"type", types[i]}, {"data", {{"base64", Base64(bytes)}}}});
        }
        return files;
      }
      return v.vt() == VT_UI1 ? v.bVal() : v.lVal();
    case VT_BOOL:
      return v.lVal() != 0;
    case VT_R8:
    case VT_R4:
      return v.dblVal();
    case VT_CY: {
      const std::string digits = std::to_string(v.cyVal() < 0 ? -v.cyVal() : v.cyVal());
      const std::string padded = std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits;
      return Decimal((v.cyVal() < 0 ? "-" : "") + padded.substr(0, padded.size() - 4) + "." +
                     padded.substr(padded.size() - 4));
    }
    case VT_DECIMAL:
      return Decimal(v.decimalText());
    case VT_DATE: {
      // The dump's dates are ISO text in UTC, which is the file's wall-clock time.
      const auto text = mivo::dao::OleDateText(v.date());
      return text ? text->substr(0, 10) + "T" + text->substr(11) + ".000Z" : "<bad date>";
    }
    case VT_ARRAY | VT_UI1:
      return {{"base64", Base64(v.bytes())}};
    default:
      return "<variant type " + std::to_string(v.vt()) + ">";
  }
}

struct Difference {
  const char* file;
  const char* table;
  const char* column;
  const char* reason;
  const char* same_as;  // the column whose converted value this column's must equal instead
};

// Cells where the converted value is right and the dump is not.
const Difference kDifferences[] = {
    {"extDateTestV2019.accdb", "Table1", "DateNormalCalc",
     "a calculated column: the dump reads its 16-byte header as the date (1899-12-30); the converter "
     "unwraps the stored result, which Access computes from DateNormal",
     "DateNormal"},
};

struct Fixture {
  const char* file;
  const char* format;
  std::vector<const char*> schema;  // pieces the converted schema must hold
};

const Fixture kFixtureTable[] = {
    {"test2V1997.mdb",
     "Jet 3",
     {"\"PROJ_NAME\" VARCHAR(255)", "\"RESERVED_BINARY_DATA\" OLEOBJECT",
      "UNIQUE INDEX \"MSP_PROJECTS_I_PROJ_NAME\""}},
    {"testUnicodeCompV2003.mdb",
     "Jet 4",
     {"\"ID\" INTEGER PRIMARY KEY AUTOINCREMENT", "INDEX \"Table_Unicode\""}},
    {"node-adodb.mdb",
     "Jet 4",
     {"\"UserName\" VARCHAR(255) NOT NULL", "\"UserBirthday\" DATETIME", "\"UserMarried\" BOOLEAN"}},
    {"fixedNumericTestV2003.mdb", "Jet 4", {"\"col2\" DECIMAL(18,0)", "\"col1\" MEMO"}},
    {"queryTestV2003.mdb", "Jet 4", {"\"col1\" VARCHAR(50)"}},
    {"longtext.accdb", "ACE 12", {"\"LongText\" MEMO"}},
    {"attachments.accdb", "ACE 12", {"\"Attachments\" INTEGER", "CREATE TABLE _Attachments"}},
    {"extDateTestV2019.accdb", "ACE 17", {"\"DateExt\" DATETIME2(7)", "\"DateExt\" DESC"}},
};

TEST(DbConvert, EveryFixtureReadsBackAsItsDump) {
  if (!fs::exists(kFixtures)) GTEST_SKIP() << "no Access fixtures at " << kFixtures;
  TempDir dir;
  for (const Fixture& fx : kFixtureTable) {
    SCOPED_TRACE(fx.file);
    const std::string db = dir.File(std::string(fx.file) + ".db");
    const ProcessResult r = RunTool({"db", "convert", "--quiet", kFixtures + "/" + fx.file, db});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(fx.format), std::string::npos) << r.out;
    // None of them has the standard layout or OfferKeyStrings: both are warned about, the standard query
    // is written.
    EXPECT_NE(r.err.find("the server will not find texts"), std::string::npos) << r.err;
    if (std::string(fx.file) == "queryTestV2003.mdb") {
      EXPECT_NE(r.err.find("saved queries not converted: SelectQuery (select), UpdateQuery (update)"),
                std::string::npos)
          << r.err;
    }
    EXPECT_EQ(QueryText(db, "SELECT SQL FROM StoredQueries WHERE Name = 'OfferKeyStrings'"),
              mivo::dao::StandardOfferKeyStringsSql());
    const std::string schema = QueryText(db, "SELECT group_concat(sql, ';') FROM sqlite_master");
    for (const char* piece : fx.schema)
      EXPECT_NE(schema.find(piece), std::string::npos) << piece << " in " << schema;

    const json expected = Load(kFixtures + "/" + fx.file + ".expected.json");
    CDaoDatabase dao(nullptr);
    dao.Open(U(db).c_str(), FALSE, TRUE, u"");
    for (const json& table : expected["tables"]) {
      const std::string name = table["name"];
      SCOPED_TRACE(name);
      std::vector<std::string> types;
      std::map<std::string, std::size_t> position;
      for (const json& c : table["columns"]) {
        position[c["name"]] = types.size();
        types.push_back(c["type"]);
      }
      std::vector<json> got;
      CDaoRecordset rs(&dao);
      rs.Open(dbOpenSnapshot, U("SELECT * FROM \"" + name + "\"").c_str());
      ASSERT_EQ(static_cast<std::size_t>(rs.GetFieldCount()), types.size());
      for (; !rs.IsEOF(); rs.MoveNext()) {
        json row = json::array();
        for (std::size_t i = 0; i < types.size(); ++i) {
          const COleVariant v = rs.GetFieldValue(static_cast<int>(i));
          if (v.vt() != VT_NULL) {
            EXPECT_EQ(v.vt(), VariantTypeOf(types[i])) << "column " << i << " " << types[i];
          }
          row.push_back(Cell(v, types[i], db, name, table["columns"][i]["name"]));
        }
        got.push_back(row);
      }
      std::vector<json> want(table["rows"].begin(), table["rows"].end());
      for (const Difference& d : kDifferences) {
        if (fx.file != std::string(d.file) || name != d.table) continue;
        for (std::size_t i = 0; i < want.size() && i < got.size(); ++i) {
          want[i][position[d.column]] = nullptr;
          EXPECT_EQ(got[i][position[d.column]], got[i][position[d.same_as]]) << d.reason;
          got[i][position[d.column]] = nullptr;
        }
      }
      // The converted table is in key order, the dump in physical order: compare the rows as sets.
      auto byText = [](const json& a, const json& b) { return a.dump() < b.dump(); };
      std::sort(got.begin(), got.end(), byText);
      std::sort(want.begin(), want.end(), byText);
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], want[i]) << "row " << i;
    }
  }
}

TEST(DbConvert, BadInputFailsAndLeavesNoFile) {
  if (!fs::exists(kFixtures)) GTEST_SKIP() << "no Access fixtures at " << kFixtures;
  TempDir dir;
  const std::string jet4 = ReadFile(kFixtures + "/node-adodb.mdb");
  WriteFile(dir.File("cut.mdb"), jet4.substr(0, 5000));
  WriteFile(dir.File("cut-at-page.mdb"), jet4.substr(0, 20 * 4096));
  WriteFile(dir.File("text.mdb"), "module,key,language,text\n");
  WriteFile(dir.File("empty.accdb"), "");
  WriteFile(dir.File("existing.db"), "keep me");
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const Case cases[] = {
      {{dir.File("cut.mdb")}, "truncated"},
      {{dir.File("cut-at-page.mdb")}, "damaged"},
      {{kFixtures + "/V2010_with-password.accdb"}, "is encrypted"},
      {{dir.File("text.mdb")}, "not an Access database"},
      {{dir.File("empty.accdb")}, "not an Access database"},
      {{dir.File("missing.mdb")}, "does not exist"},
      {{kFixtures + "/node-adodb.mdb", "--strict"}, "(--strict)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> args = {"db", "convert", c.args[0], dir.File("out.db")};
    args.insert(args.end(), c.args.begin() + 1, c.args.end());
    const ProcessResult r = RunTool(args);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("mivoctl: ", 0), 0u) << r.err;
  }
  // Nothing was left behind: no output, no temporary file.
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path())) names.insert(e.path().filename().string());
  EXPECT_EQ(names,
            (std::set<std::string>{"cut.mdb", "cut-at-page.mdb", "text.mdb", "empty.accdb", "existing.db"}));

  // An existing target is refused, and replaced with --force.
  const std::string source = kFixtures + "/node-adodb.mdb";
  ProcessResult r = RunTool({"db", "convert", "--quiet", source, dir.File("existing.db")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir.File("existing.db")), "keep me");
  r = RunTool({"db", "convert", "--quiet", "--force", source, dir.File("existing.db")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(QueryText(dir.File("existing.db"), "SELECT count(*) FROM Users"), "3");
}

TEST(DbConvert, DecodersReadTheRawBytesAsAccessDoes) {
  namespace av = mivoctl::access;
  // Jet 3 text through the code page, bytes without a character as Windows gives them.
  EXPECT_EQ(av::DecodeText("\xa3\x81\x9d", true, 1252), u"\u00a3\u0081\u009d");
  // Jet 4 compressed Unicode: one-byte runs and UTF-16 runs switched by 00; a non-BMP character.
  EXPECT_EQ(av::DecodeText(std::string("\xff\xfe"
                                       "ab\0\x3d\xd8\x01\xde\0c",
                                       11),
                           false, 0),
            u"ab\U0001F601c");
  EXPECT_EQ(av::DecodeText(std::string("\x3d\xd8\x00\xde", 4), false, 0), u"\U0001F600");
  EXPECT_EQ(av::DecodeNumeric(std::string("\x80\0\0\0\0\0\0\0\0\0\0\0\0\x39\x30\0\0", 17), 2), "-123.45");
  EXPECT_EQ(av::DecodeNumeric(std::string("\x00\0\0\0\0\0\0\0\0\0\0\0\0\x05\0\0\0", 17), 3), "0.005");
  EXPECT_EQ(av::DecodeNumeric(std::string(16, '\0'), 0), std::nullopt);
  EXPECT_EQ(
      av::DecodeGuid(std::string("\x6a\x27\x39\x8e\xa8\xbc\xc4\x4a\x89\x1e\x49\x91\x1d\x84\x38\xdd", 16)),
      "{8E39276A-BCA8-4AC4-891E-49911D8438DD}");
  // Dates before 1899-12-30 with a time: the whole days count back, the time still runs forward.
  double before = -1.25;
  EXPECT_EQ(av::DecodeDateTime(std::string(reinterpret_cast<const char*>(&before), 8)),
            "1899-12-29 06:00:00");
  EXPECT_EQ(mivo::dao::OleDateFromText("1899-12-29 06:00:00"), -1.25);
  EXPECT_EQ(av::DecodeDateTimeExtended("0000000000000000000:0000000000000000001:7"),
            "0001-01-01 00:00:00.0000001");
  EXPECT_EQ(av::DecodeDateTimeExtended("0000000000000737954:0000000864000000000:7"), std::nullopt);
  EXPECT_EQ(av::DecodeCurrency(std::string("\x10\x27\0\0\0\0\0\0", 8)), 10000);
}

// OfferKeyStrings as an Access designer saves it; the rebuilt SQL gives what the standard query gives.
TEST(DbConvert, OfferKeyStringsIsRebuiltWithTheServersParameters) {
  using mivoctl::access::QueryRow;
  mivoctl::access::SavedQuery q{"OfferKeyStrings", {}};
  auto row = [&](int attribute, int order, std::optional<int> flag, const char* n1, const char* n2,
                 const char* e) {
    QueryRow r;
    r.attribute = attribute, r.order = order, r.flag = flag;
    if (n1) r.name1 = n1;
    if (n2) r.name2 = n2;
    if (e) r.expression = e;
    q.rows.push_back(r);
  };
  row(1, 1, 1, nullptr, nullptr, nullptr);
  row(2, 1, 4, "Language", nullptr, nullptr);
  row(2, 2, 3, "UserFlag", nullptr, nullptr);
  row(5, 1, std::nullopt, "Items", nullptr, nullptr);
  row(5, 2, std::nullopt, "Messages", nullptr, nullptr);
  row(6, 1, 0, nullptr, nullptr, "Items.Module");
  row(6, 2, 0, nullptr, nullptr, "Items.KeyString");
  row(6, 3, 0, nullptr, nullptr, "Messages.String");
  row(7, 1, 1, "Items", "Messages", "Items.ItemId = Messages.ItemId");
  row(8, 1, std::nullopt, nullptr, nullptr,
      "((Messages.LanguageId)=[Language]) AND ([UserFlag]<>0 Or Nz(Items.UserDefined,False)=False)");
  row(11, 1, std::nullopt, nullptr, nullptr, "Items.ItemId");
  const std::set<std::string> columns = {"Module",     "KeyString", "ItemId", "UserDefined",
                                         "LanguageId", "String",    "Name",   "Active"};
  const auto rebuilt = mivoctl::access::RebuildOfferKeyStrings(q, columns);
  ASSERT_TRUE(rebuilt.ok) << rebuilt.why;
  EXPECT_EQ(rebuilt.parameters, (std::vector<std::string>{"LanguageParameter", "UserFlag"}));

  TempDir dir;
  const std::string db = dir.File("std.db");
  MakeStandardDb(db, {1031}, {{"M", "A", 1031, "eins"}, {"M", "B", 1031, "zwei"}, {"M", "A", 99, "x"}});
  ExecSql(db, "UPDATE Items SET UserDefined = 1 WHERE KeyString = 'B'");
  for (const char* flag : {"0", "1"}) {
    auto run = [&](const std::string& sql) {
      std::string s = sql;
      for (auto [from, to] :
           {std::pair<std::string, std::string>{":LanguageParameter", "1031"}, {":UserFlag", flag}}) {
        for (auto at = s.find(from); at != std::string::npos; at = s.find(from))
          s.replace(at, from.size(), to);
      }
      return QueryColumn(db, "SELECT group_concat(String, '|') FROM (" + s + ")");
    };
    EXPECT_EQ(run(rebuilt.sql), run(kOfferKeyStringsSql)) << rebuilt.sql;
  }
  // The saved queries of the fixture, from its raw MSysQueries rows: the select query is rebuilt as the
  // Jackcess reference renders it, and SQLite runs it on the converted tables; the others are refused.
  if (fs::exists(kFixtures)) {
    const json expected = Load(kFixtures + "/queryTestV2003.mdb.expected.json");
    std::map<std::string, mivoctl::access::SavedQuery> saved;
    for (const json& r : expected["msys_queries"]["rows"]) {
      QueryRow qr;
      qr.attribute = r[2];
      for (unsigned char b : Base64Decode(r[3]["base64"])) qr.order = qr.order << 8 | b;
      if (!r[7].is_null()) qr.flag = r[7].get<int>();
      if (!r[4].is_null()) qr.name1 = r[4].get<std::string>();
      if (!r[5].is_null()) qr.name2 = r[5].get<std::string>();
      if (!r[6].is_null()) qr.expression = r[6].get<std::string>();
      saved[r[0]].name = r[0];
      saved[r[0]].rows.push_back(qr);
    }
    const auto select = mivoctl::access::RebuildSelect(saved["SelectQuery"], {"col1", "col2", "col3"},
                                                       [](const std::string&) { return std::string(); });
    ASSERT_TRUE(select.ok) << select.why;
    EXPECT_EQ(
        select.sql,
        "SELECT DISTINCT \"Table1\".*, \"Table2\".\"col1\", \"Table2\".\"col2\", \"Table3\".\"col3\" FROM "
        "(\"Table1\" LEFT JOIN \"Table3\" ON \"Table1\".\"col1\" = \"Table3\".\"col1\") INNER JOIN "
        "\"Table2\" "
        "ON (\"Table3\".\"col1\" = \"Table2\".\"col1\") AND (\"Table3\".\"col1\" = \"Table2\".\"col2\") "
        "WHERE "
        "(((\"Table2\".\"col2\")='foo' OR (\"Table2\".\"col2\") IN ('buzz','bazz'))) ORDER BY "
        "\"Table2\".\"col1\"");
    const std::string converted = dir.File("queries.db");
    ASSERT_EQ(RunTool({"db", "convert", "--quiet", kFixtures + "/queryTestV2003.mdb", converted}).code, 0);
    EXPECT_EQ(QueryText(converted, "SELECT count(*) FROM (" + select.sql + ")"), "0");
    for (const char* other : {"UpdateQuery", "AppendQuery", "CrosstabQuery", "UnionQuery"}) {
      EXPECT_FALSE(mivoctl::access::RebuildOfferKeyStrings(saved[other], columns).ok) << other;
    }
  }

  // A function the rules do not translate makes it not rebuildable, with the reason.
  q.rows.back().expression = "Format(Items.ItemId)";
  const auto refused = mivoctl::access::RebuildOfferKeyStrings(q, columns);
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.why.find("Format"), std::string::npos) << refused.why;
}

// A listed database that is an Access file: the engine's report (what the server shows, at most 255
// characters with the terminator) names the file and the command that converts it, for short and long paths.
TEST(DbConvert, OpeningAnAccessFileReportsTheConvertCommand) {
  TempDir dir;
  const std::string deep = dir.File(std::string(120, 'd') + "/" + std::string(100, 'e'));
  fs::create_directories(deep);
  for (const std::string& file :
       {dir.File("texts.mdb"), deep + "/texte.accdb", deep + "/" + std::string(200, 'n') + ".mdb"}) {
    SCOPED_TRACE(file);
    WriteFile(file, std::string("\0\1\0\0Standard Jet DB\0", 20) + std::string(4076, '\0'));
    try {
      CDaoDatabase db(nullptr);
      db.Open(U(file).c_str(), FALSE, FALSE, u"");
      ADD_FAILURE() << "opened";
    } catch (const CDaoException& e) {
      EXPECT_EQ(e.EngineError(), 3343);
      WCHAR buffer[256] = {};
      EXPECT_TRUE(e.GetErrorMessage(buffer, 255)) << "the report was cut: " << Utf8(e.Message());
      const std::string report = Utf8(buffer);
      EXPECT_NE(report.find("Access database"), std::string::npos) << report;
      EXPECT_NE(report.find("mivoctl db convert"), std::string::npos) << report;
      const std::string name = fs::path(file).filename().string();
      if (name.size() < 100) {
        // The whole command: the file, then the new database beside it.
        const auto command = report.find("mivoctl db convert '");
        ASSERT_NE(command, std::string::npos) << report;
        const std::string tail = report.substr(command);
        EXPECT_NE(tail.find(name + "' '"), std::string::npos) << report;
        EXPECT_EQ(tail.substr(tail.size() - fs::path(file).stem().string().size() - 4),
                  fs::path(file).stem().string() + ".db'")
            << report;
      }
    }
  }
}

}  // namespace
}  // namespace mivo::test
