// Reading all texts of one language from a standard database of 1,000,000 message rows (250,000 items in
// four languages): through the language reader's recordset (CDaoLanguage), beside a bare
// sqlite3_prepare_v2 / sqlite3_step loop over the same stored query on the same file that reads the three
// texts as UTF-16 into std::u16string. Both open the file, run the query and read every row in each
// iteration.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/dao/afxdao.h"
#include "textstore/db/DaoRecordsets.h"

namespace {

constexpr int kItems = 250000;
constexpr int kLanguages[] = {7, 9, 0x0419, 99};
constexpr short kReadLanguage = 0x0419;

struct Setup {
  std::string dir;
  std::string file;
  std::string sql;
  Setup() {
    char tmpl[] = "/tmp/mivo-bench-dao-XXXXXX";
    dir = ::mkdtemp(tmpl);
    file = dir + "/lang.db";
    mivo::dao::CreateStandardDatabase(file, {7, 9, 0x0419});
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) std::abort();
    sqlite3_exec(db, "PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* item = nullptr;
    sqlite3_stmt* message = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Items (Module, KeyString) VALUES (?1, ?2)", -1, &item, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO Messages VALUES (?1, ?2, ?3)", -1, &message, nullptr);
    for (int i = 1; i <= kItems; ++i) {
      const std::string module = "Module" + std::to_string(i % 400);
      const std::string key = "IDS_MESSAGE_" + std::to_string(i);
      sqlite3_bind_text(item, 1, module.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(item, 2, key.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(item);
      sqlite3_reset(item);
      for (int language : kLanguages) {
        const std::string text = language == 0x0419
                                     ? "Сообщение номер " + std::to_string(i) + ": файл не найден"
                                     : "Message number " + std::to_string(i) + " in language " +
                                           std::to_string(language) + ": file not found";
        sqlite3_bind_int(message, 1, i);
        sqlite3_bind_int(message, 2, language);
        sqlite3_bind_text(message, 3, text.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(message);
        sqlite3_reset(message);
      }
    }
    sqlite3_finalize(item);
    sqlite3_finalize(message);
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT SQL FROM StoredQueries WHERE Name = 'OfferKeyStrings'", -1, &query,
                       nullptr);
    if (sqlite3_step(query) != SQLITE_ROW) std::abort();
    sql = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
    sqlite3_finalize(query);
    sqlite3_close(db);
  }
  ~Setup() { std::filesystem::remove_all(dir); }
};

Setup& TheSetup() {
  static Setup setup;
  return setup;
}

void BM_RecordsetReadsOneLanguage(benchmark::State& state) {
  Setup& setup = TheSetup();
  const CString path = AfxFromUtf8(setup.file);
  std::size_t rows = 0;
  std::size_t units = 0;
  for (auto _ : state) {
    CDaoLanguage rs(path);
    rs.SetParameters(kReadLanguage, TRUE);
    rs.Open(AFX_DAO_USE_DEFAULT_TYPE, nullptr, 0);
    if (!rs.IsBOF()) rs.MoveFirst();
    rows = 0;
    units = 0;
    while (!rs.IsEOF()) {
      units += rs.m_strModule.size() + rs.m_strKeyString.size() + rs.m_strString.size();
      ++rows;
      rs.MoveNext();
    }
    rs.Close();
    benchmark::DoNotOptimize(units);
  }
  if (rows != kItems) state.SkipWithError("wrong number of rows");
  state.counters["rows"] = static_cast<double>(rows);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows));
}
BENCHMARK(BM_RecordsetReadsOneLanguage)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_BareSqliteReadsOneLanguage(benchmark::State& state) {
  Setup& setup = TheSetup();
  std::size_t rows = 0;
  std::size_t units = 0;
  std::u16string module, key, text;
  auto read = [](sqlite3_stmt* stmt, int col, std::u16string& out) {
    const void* p = sqlite3_column_text16(stmt, col);
    if (p == nullptr) {
      out.clear();
    } else {
      out.assign(static_cast<const char16_t*>(p),
                 static_cast<std::size_t>(sqlite3_column_bytes16(stmt, col)) / 2);
    }
  };
  for (auto _ : state) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(setup.file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, setup.sql.c_str(), -1, &stmt, nullptr);
    sqlite3_bind_int(stmt, sqlite3_bind_parameter_index(stmt, ":LanguageParameter"), kReadLanguage);
    sqlite3_bind_int(stmt, sqlite3_bind_parameter_index(stmt, ":UserFlag"), 1);
    rows = 0;
    units = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      read(stmt, 0, module);
      read(stmt, 1, key);
      read(stmt, 2, text);
      units += module.size() + key.size() + text.size();
      ++rows;
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    benchmark::DoNotOptimize(units);
  }
  if (rows != kItems) state.SkipWithError("wrong number of rows");
  state.counters["rows"] = static_cast<double>(rows);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows));
}
BENCHMARK(BM_BareSqliteReadsOneLanguage)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
