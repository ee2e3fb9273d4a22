// The CSV importer of `mivoctl db import`: ParseCsv on any bytes, then, for input it accepts, the real
// import into a copy of a small standard database.
//
// Checked: records start on non-decreasing lines; what the parser accepted, written again with every field
// quoted, parses to the same records; CsvField output parses back to its field. After an import with --raw
// that reports success, every (module, key, language) holds the last text the file gave it.
#include <sqlite3.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/dao/afxdao.h"
#include "tests/fuzz/support.h"
#include "tools/mivoctl/csv.h"
#include "tools/mivoctl/mivoctl.h"

namespace {

using mivo::test::Check;
using mivoctl::CsvRecord;

constexpr std::size_t kMaxImportRecords = 40;

struct Env {
  mivo::test::HiveSandbox hives{"machine.hive", "user.hive", mivo::test::FuzzTempBase()};
  std::string templ = hives.File("template.db");
  std::string db = hives.File("work.db");
  std::string csv = hives.File("input.csv");
  Env() {
    mivo::test::Quiet quiet;
    mivo::dao::CreateStandardDatabase(templ, {0x0409, 0x0419});
  }
};

Env& TheEnv() { return mivo::test::TheOne<Env>(); }

std::string Quoted(const std::string& field) {
  std::string out = "\"";
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::vector<CsvRecord> Parse(const std::string& text, const char* what) {
  std::vector<CsvRecord> records;
  std::string error;
  Check(mivoctl::ParseCsv(text, &records, &error), what, error);
  return records;
}

void CheckRoundTrip(const std::vector<CsvRecord>& records) {
  std::string text;
  for (const auto& r : records) {
    for (std::size_t i = 0; i < r.fields.size(); ++i) text += (i ? "," : "") + Quoted(r.fields[i]);
    text += "\r\n";
  }
  const auto again = Parse(text, "quoted records parse again");
  Check(again.size() == records.size(), "quoted records keep their number");
  for (std::size_t i = 0; i < records.size(); ++i) {
    Check(again[i].fields == records[i].fields, "quoted records keep their fields", std::to_string(i));
  }
  for (const auto& r : records) {
    for (const auto& f : r.fields) {
      // After a first field, as export writes every record after its header line (a text that starts
      // with a byte order mark would lose it at the start of a file).
      const auto one = Parse("x," + mivoctl::CsvField(f) + "\n", "a written field parses");
      Check(one.size() == 1 && one[0].fields.size() == 2 && one[0].fields[1] == f,
            "a written field reads back");
    }
  }
}

std::optional<int> Language(const std::string& text) {
  int base = 10;
  std::size_t i = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) base = 16, i = 2;
  if (i == text.size()) return std::nullopt;
  long value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return std::nullopt;
    value = value * base + d;
    if (value > 0xFFFF) return std::nullopt;
  }
  return static_cast<int>(value);
}

// The texts in the database: (module, key, language) -> text, as UTF-8.
std::map<std::tuple<std::string, std::string, int>, std::string> Stored(const std::string& file) {
  std::map<std::tuple<std::string, std::string, int>, std::string> out;
  sqlite3* db = nullptr;
  Check(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK, "open for checking");
  sqlite3_stmt* stmt = nullptr;
  Check(
      sqlite3_prepare_v2(db,
                         "SELECT i.Module, i.KeyString, m.LanguageId, m.String FROM Items i JOIN Messages m "
                         "ON m.ItemId = i.ItemId ORDER BY m.rowid",
                         -1, &stmt, nullptr) == SQLITE_OK,
      "prepare", sqlite3_errmsg(db));
  auto text = [&](int c) {
    const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
    return std::string(t ? t : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)));
  };
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const auto key = std::make_tuple(text(0), text(1), sqlite3_column_int(stmt, 2));
    Check(out.count(key) == 0, "one text per item and language");
    out[key] = text(3);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return out;
}

void Import(const std::string& bytes, const std::vector<CsvRecord>& records, bool raw) {
  Env& env = TheEnv();
  mivo::test::CopyFileOver(env.templ, env.db);
  {
    std::ofstream out(env.csv, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  const mivoctl::Command* db = mivoctl::FindCommand("db");
  Check(db != nullptr, "the db command is linked in");
  std::vector<std::string> args{"import", env.db, env.csv};
  if (raw) args.push_back("--raw");
  int code = 0;
  {
    mivo::test::Quiet quiet;
    code = mivoctl::RunCommand(*db, args);
  }
  Check(code == mivoctl::kExitOk || code == mivoctl::kExitRefused, "import exit code", std::to_string(code));
  const auto stored = Stored(env.db);
  if (code != mivoctl::kExitOk) {
    Check(stored.empty(), "a refused import changes nothing");
    return;
  }
  // What the file asks for: the header line is skipped, the last text wins. AfxFromUtf8/AfxToUtf8 keep
  // valid UTF-8 as it is, and the parser accepted only valid UTF-8.
  std::map<std::tuple<std::string, std::string, int>, std::string> wanted;
  for (std::size_t r = 0; r < records.size(); ++r) {
    const auto& f = records[r].fields;
    if (r == 0 && f.size() == 4) {
      std::string joined;
      for (const auto& s : f) {
        for (char c : s) joined += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        joined += ',';
      }
      if (joined == "module,key,language,text,") continue;
    }
    Check(f.size() == 4, "an accepted record has 4 fields");
    const auto language = Language(f[2]);
    Check(language.has_value(), "an accepted record has a language", f[2]);
    wanted[{f[0], f[1], *language}] = f[3];
  }
  Check(stored.size() == wanted.size(), "one stored text per distinct item and language");
  if (!raw) return;  // converted texts depend on code pages; their count is checked above
  for (const auto& [key, text] : wanted) {
    const auto it = stored.find(key);
    Check(it != stored.end(), "an imported text is stored");
    Check(it->second == text, "an imported text is stored as given");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 64 * 1024) return -1;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<CsvRecord> records;
  std::string error;
  if (!mivoctl::ParseCsv(bytes, &records, &error)) {
    Check(error.rfind("line ", 0) == 0, "a refusal names a line", error);
    return 0;
  }
  int line = 1;
  for (const auto& r : records) {
    Check(r.line >= line && !r.fields.empty(), "records start on non-decreasing lines");
    line = r.line;
  }
  CheckRoundTrip(records);
  if (records.size() <= kMaxImportRecords) Import(bytes, records, size % 2 == 0);
  return 0;
}
