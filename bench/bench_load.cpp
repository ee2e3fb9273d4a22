// The start-up load of the current-language store from three databases of 1,000,000 texts in all, beside
// the bare sqlite3_step loop over the same rows; the store's memory beside the UTF-16 bytes of its keys and
// texts; and WriteConfigString on a configuration database of 100,000 items beside one indexed single-row
// UPDATE transaction on the same file.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "app/MivoDBApp.h"
#include "bench/bench_data.h"
#include "platform/win32/winnls.h"
#include "platform/win32/winreg.h"
#include "textstore/db/DaoRecordsets.h"

namespace {

constexpr int kTotalTexts = 1000000;
constexpr int kLanguage = 0x0409;

struct Setup {
  std::string dir = mivobench::BenchDir();
  std::vector<std::string> langDbs;
  std::string configDb, configDbWithoutIndexes;
  Setup() {
    setenv("MIVODB_MACHINE_HIVE", (dir + "/machine.hive").c_str(), 1);
    setenv("MIVODB_USER_HIVE", (dir + "/user.hive").c_str(), 1);
    mivo::reg::ResetForTesting();
    mivo::nls::SetAnsiCodePageForTesting(1252);
    for (int i = 0; i < 3; ++i) {
      langDbs.push_back(dir + "/lang" + std::to_string(i) + ".db");
      mivobench::MakeDb(langDbs.back(), kTotalTexts / 3 + (i == 0 ? kTotalTexts % 3 : 0), 1000, kLanguage,
                        i * kTotalTexts);
    }
    configDb = dir + "/config.db";
    mivobench::MakeDb(configDb, 100000, 100, 99);
    configDbWithoutIndexes = dir + "/config-without-indexes.db";
    mivobench::MakeDb(configDbWithoutIndexes, 100000, 100, 99, 0, false);
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase\\LanguageDataBase's", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &key, nullptr);
    for (std::size_t i = 0; i < langDbs.size(); ++i) SetPath(key, i, langDbs[i]);
    RegCloseKey(key);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase\\ConfigDataBase's", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &key, nullptr);
    SetPath(key, 0, configDb);
    RegCloseKey(key);
  }
  ~Setup() { std::filesystem::remove_all(dir); }
  static void SetPath(HKEY key, std::size_t i, const std::string& path) {
    const CString name = AfxFromUtf8(std::to_string(i)), value = AfxFromUtf8(path) + u'\0';
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                   static_cast<DWORD>(value.size() * 2));
  }
};

Setup& TheSetup() {
  static Setup setup;
  return setup;
}

// The bytes malloc has handed out, in its heap and in blocks it mapped on their own (large ones).
std::size_t HeapBytes() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void BM_LoadCurrentLanguage(benchmark::State& state) {
  TheSetup();  // the databases and hives
  CMivoDBApp app;
  std::size_t textBytes = 0, texts = 0;
  double storeBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    app.m_pLanguageStrings = std::make_unique<CStringMap>(kLanguageStore);
    malloc_trim(0);
    const std::size_t before = HeapBytes();
    state.ResumeTiming();
    app.m_pLanguageStrings->LoadLanguage(kLanguage, TRUE);
    state.PauseTiming();
    storeBytes = static_cast<double>(HeapBytes() - before);
    // Counted outside the timed part: the UTF-16 bytes of every key and text in the store.
    const mivobench::StoreTally tally = mivobench::Tally(*app.m_pLanguageStrings, 1000);
    textBytes = tally.bytes;
    texts = tally.texts;
    state.ResumeTiming();
  }
  state.counters["texts"] = static_cast<double>(texts);
  state.counters["store_MB"] = storeBytes / 1e6;
  state.counters["text_MB"] = static_cast<double>(textBytes) / 1e6;
  state.counters["goal_MB"] = (static_cast<double>(textBytes) * 2 + 64.0 * static_cast<double>(texts)) / 1e6;
}
BENCHMARK(BM_LoadCurrentLanguage)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_BareStepLoopSameRows(benchmark::State& state) {
  Setup& s = TheSetup();
  const std::string sql = mivobench::OfferKeyStringsSql(s.langDbs[0]);
  long rows = 0;
  for (auto _ : state) {
    rows = 0;
    for (const std::string& db : s.langDbs) {
      rows += mivobench::BareRead(db, sql, kLanguage, 1,
                                  [](auto&, auto&, auto& text) { benchmark::DoNotOptimize(text.data()); });
    }
  }
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_BareStepLoopSameRows)->Unit(benchmark::kMillisecond)->Iterations(3);

// The recordset part of the load alone: the same rows through CDaoLanguage, nothing stored.
void BM_RecordsetReadOnly(benchmark::State& state) {
  Setup& s = TheSetup();
  for (auto _ : state) {
    for (const std::string& db : s.langDbs) {
      ReadOfferKeyStrings<CDaoLanguage>(
          AfxFromUtf8(db), kLanguage, TRUE,
          [](const CString&, const CString&, const CString& text) { benchmark::DoNotOptimize(text.data()); });
    }
  }
}
BENCHMARK(BM_RecordsetReadOnly)->Unit(benchmark::kMillisecond)->Iterations(3);

// WriteConfigString of an existing item on the configuration database listed: the standard one (with
// the indexes of `mivoctl db index`), or for information the same rows without indexes.
void WriteConfigString(benchmark::State& state, bool indexes) {
  Setup& s = TheSetup();
  HKEY list = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase\\ConfigDataBase's", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &list, nullptr);
  Setup::SetPath(list, 0, indexes ? s.configDb : s.configDbWithoutIndexes);
  CMivoDBApp app;
  app.m_pConfigStrings->LoadConfig();
  const CString module = u"Module7", key = u"IDS_MESSAGE_50007";
  int n = 0;
  for (auto _ : state) {
    const std::string v = "value " + std::to_string(n++);
    const CString value = AfxFromUtf8(v);
    benchmark::DoNotOptimize(app.m_pConfigStrings->WriteConfigString(&value, &module, &key));
  }
  Setup::SetPath(list, 0, s.configDb);
  RegCloseKey(list);
}

void BM_WriteConfigString(benchmark::State& state) { WriteConfigString(state, true); }
BENCHMARK(BM_WriteConfigString)->Unit(benchmark::kMillisecond)->Iterations(200);

void BM_WriteConfigStringWithoutIndexes(benchmark::State& state) { WriteConfigString(state, false); }
BENCHMARK(BM_WriteConfigStringWithoutIndexes)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_IndexedSingleRowUpdate(benchmark::State& state) {
  Setup& s = TheSetup();
  sqlite3* db = nullptr;
  sqlite3_open(s.configDb.c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "UPDATE Messages SET String = ? WHERE ItemId = ? AND LanguageId = 99", -1, &stmt,
                     nullptr);
  int n = 0;
  for (auto _ : state) {
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    const std::string v = "value " + std::to_string(n++);
    sqlite3_bind_text(stmt, 1, v.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(stmt, 2, 50007);
    sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}
BENCHMARK(BM_IndexedSingleRowUpdate)->Unit(benchmark::kMillisecond)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
