// Configuration loading: the texts of language 99 from every database listed under "ConfigDataBase's".
#include <utility>
#include <vector>

#include "app/Constants.h"
#include "app/MivoDBApp.h"
#include "textstore/db/DaoRecordsets.h"

namespace {
const CRegKey* MachineKeyOfApp() {
  const CMivoDBApp* app = GetMivoDBApp();
  return app ? &app->m_MachineKey : nullptr;
}
}  // namespace

BOOL CStringMap::LoadConfig() { return ReadConfig(m_ConfigModules); }

BOOL CStringMap::ReadConfig(CModuleMap& modules) {
  const CRegKey* machineKey = MachineKeyOfApp();
  const CRegKey list(machineKey ? machineKey->m_hKey : nullptr, g_strConfigDataBases);
  modules.RemoveAllEntries();
  BOOL result = TRUE;
  if (m_nKind == kConfigStore) {
    CStringArray names;
    list.EnumValueNames(names);
    for (const CString& name : names) {
      CString path;
      if (!list.QueryPathValue(name, path)) continue;
      if (!ReadConfigDataBase(path, modules)) result = FALSE;
    }
  }
  return result;
}

BOOL CStringMap::LoadConfigDataBase(const CString& path) { return ReadConfigDataBase(path, m_ConfigModules); }

BOOL CStringMap::ReadConfigDataBase(const CString& path, CModuleMap& modules) {
  try {
    m_wLanguageId = kConfigLanguageId;
    m_bUserFlag = TRUE;
    ReadOfferKeyStrings<CDaoConfig>(
        path, kConfigLanguageId, TRUE,
        [this, &modules](const CString& module, const CString& key, CString& text) {
          StoreConverted(modules, module, key, text);
        });
    return TRUE;
  } catch (const CDaoException& e) {
    ReportEngineError(e);
    return FALSE;
  }
}

namespace {

// What LookupConfigString gives for a stored module and key of `modules`: found, and the value.
std::pair<BOOL, CString> VisibleValue(const CModuleMap& modules, const CString& module, const CString& key) {
  CString text;
  const CModuleEntry* entry = modules.FindEntry(&module);
  if (entry == nullptr || !entry->GetString(text, &key)) return {FALSE, CString()};
  if (text == g_strEmpty) text.clear();
  return {TRUE, text};
}

// A stored module name or key string as GetConfigString takes it: "|EMPTY|" is "".
CString AsTaken(std::u16string_view stored) { return stored == g_strEmpty ? CString() : CString(stored); }

}  // namespace

BOOL CStringMap::ReloadConfig(const std::function<void(const CString& module, const CString& key,
                                                       const CString& value, BOOL found)>& changed) {
  CModuleMap fresh;
  if (!ReadConfig(fresh)) return FALSE;
  struct Change {
    CString module, key, value;
    BOOL found;
  };
  std::vector<Change> changes;
  // Every stored name of either map, compared as the lookups see it; a name in both is looked at twice
  // but reported once, from the pass over the fresh map.
  auto compare = [&changes](const CModuleMap& from, const CModuleMap& other, bool fromFresh) {
    from.ForEach([&](const CString& module, const CModuleEntry& entry) {
      entry.m_Strings.ForEach([&](std::u16string_view key, std::u16string_view) {
        const CString keyString(key);
        const auto mine = VisibleValue(from, module, keyString);
        const auto theirs = VisibleValue(other, module, keyString);
        if (!fromFresh && theirs.first) return;  // still there: the pass over the fresh map saw it
        if (mine != theirs) {
          const auto& now = fromFresh ? mine : theirs;
          changes.push_back({AsTaken(module), AsTaken(key), now.second, now.first});
        }
      });
    });
  };
  compare(fresh, m_ConfigModules, true);
  compare(m_ConfigModules, fresh, false);
  m_ConfigModules.Swap(fresh);
  for (const Change& c : changes) changed(c.module, c.key, c.value, c.found);
  return TRUE;
}
