// The recordset layer over random or mutated SQLite files: the input is written as a database file and
// read as the server reads its language and configuration databases (CDaoLanguage and CDaoConfig over the
// stored query OfferKeyStrings, through the stores' loaders), then changed through the configuration
// writers.
//
// Checked: every engine failure is a CDaoException whose m_scode is 0x800A0000 + an engine error number
// with a message; the loaders report a failure instead of passing it on; a loader that succeeded stored
// exactly the rows the recordset read (the last text of a module and key wins).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <utility>

#include "platform/dao/afxdao.h"
#include "platform/win32/winnls.h"
#include "tests/fuzz/support.h"
#include "textstore/StringMap.h"
#include "textstore/db/DaoRecordsets.h"

namespace {

using mivo::test::Check;

struct Env {
  mivo::test::TempDir dir{mivo::test::FuzzTempBase()};
  std::string file = dir.File("input.db");
  Env() { mivo::nls::SetAnsiCodePageForTesting(1252); }
};

Env& TheEnv() { return mivo::test::TheOne<Env>(); }

void CheckFailure(const CDaoException& e) {
  const auto scode = static_cast<std::uint32_t>(e.m_scode);
  Check((scode & 0xFFFF0000U) == 0x800A0000U && e.EngineError() >= 3000 && e.EngineError() < 4000,
        "an engine failure carries an engine error number", std::to_string(scode));
  Check(!e.Message().empty(), "an engine failure has a message");
}

using Rows = std::map<std::pair<CString, CString>, CString>;

// The rows of the file through Recordset, or nullopt after an engine failure.
template <class Recordset>
std::optional<Rows> Read(const CString& path, short language, BOOL flag) {
  Rows rows;
  try {
    ReadOfferKeyStrings<Recordset>(path, language, flag, [&](const CString& m, const CString& k, CString& t) {
      rows[{m, k}] = t;
    });
  } catch (const CDaoException& e) {
    CheckFailure(e);
    return std::nullopt;
  }
  return rows;
}

void CheckStore(const CModuleMap& modules, const Rows& rows) {
  std::map<CString, std::size_t> perModule;
  for (const auto& [mk, text] : rows) ++perModule[mk.first];
  Check(modules.GetCount() == perModule.size(), "the store has the modules the rows name");
  for (const auto& [mk, text] : rows) {
    const CModuleEntry* entry = modules.FindEntry(&mk.first);
    Check(entry != nullptr, "a module of the rows is stored");
    CString stored;
    Check(entry->LookupString(stored, &mk.second) != FALSE, "a key of the rows is stored");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 256 * 1024) return -1;
  Env& env = TheEnv();
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::remove((env.file + suffix).c_str());
  {
    std::ofstream out(env.file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const CString path = AfxFromUtf8(env.file);
  const BOOL flag = size % 2 == 0 ? TRUE : FALSE;

  mivo::test::Quiet quiet;
  const auto language = Read<CDaoLanguage>(path, 0x0409, flag);
  const auto config = Read<CDaoConfig>(path, 99, TRUE);

  // The loaders: a failure is reported, never thrown.
  {
    CStringMap store(kLanguageStore);
    store.m_wLanguageId = 0x0409;
    store.m_bUserFlag = flag;
    const int before = quiet.reports();
    const BOOL ok = store.LoadLanguageDataBase(path);
    Check((ok != FALSE) == language.has_value(), "the language loader agrees with the recordset");
    if (ok) CheckStore(store.m_LanguageModules, *language);
    if (!ok) Check(quiet.reports() > before, "a failed language database is reported");
  }
  {
    CStringMap store(kConfigStore);
    const int before = quiet.reports();
    const BOOL ok = store.LoadConfigDataBase(path);
    Check((ok != FALSE) == config.has_value(), "the configuration loader agrees with the recordset");
    if (ok) CheckStore(store.m_ConfigModules, *config);
    if (!ok) Check(quiet.reports() > before, "a failed configuration database is reported");
  }

  // The writers change the file; they report their failures and return FALSE.
  try {
    CDaoConfig writer(path);
    writer.AddKeyString(u"FuzzModule", u"FuzzKey", u"value");
    writer.UpdateKeyString(u"FuzzModule", u"FuzzKey", u"other");
    if (config && !config->empty()) {
      const auto& first = config->begin()->first;
      writer.UpdateKeyString(first.first, first.second, u"changed");
    }
  } catch (const CDaoException& e) {
    CheckFailure(e);  // a failed workspace or rollback, which the writers pass on
  }
  return 0;
}
