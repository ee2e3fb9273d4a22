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

BOOL CStringMap::ReadConfig(CModuleMap& modules, const CString& filter) {
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
      if (!ReadConfigDataBase(path, modules, filter)) result = FALSE;
    }
  }
  return result;
}

BOOL CStringMap::LoadConfigDataBase(const CString& path) { return ReadConfigDataBase(path, m_ConfigModules); }

BOOL CStringMap::ReadConfigDataBase(const CString& path, CModuleMap& modules, const CString& filter) {
  try {
    m_wLanguageId = kConfigLanguageId;
    m_bUserFlag = TRUE;
    ReadOfferKeyStrings<CDaoConfig>(
        path, kConfigLanguageId, TRUE,
        [this, &modules](const CString& module, const CString& key, CString& text) {
          StoreConverted(modules, module, key, text);
        },
        filter);
    return TRUE;
  } catch (const CDaoException& e) {
    if (filter.empty()) ReportEngineError(e);
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

// What ReloadConfig and RefreshConfigItems tell `changed` about one item, once the store holds it.
struct Change {
  CString module, key, value;
  BOOL found;
};

}  // namespace

BOOL CStringMap::ReloadConfig(const ConfigChangedFn& changed) {
  CModuleMap fresh;
  if (!ReadConfig(fresh)) return FALSE;
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

BOOL CStringMap::RefreshConfigItems(const std::vector<std::pair<CString, CString>>& items,
                                    const ConfigChangedFn& changed) {
  // Beyond this many items one full read costs about as much as the narrow ones.
  constexpr std::size_t kMostItems = 32;
  // A name read back from a database may hold U+FFFD for stored bytes that are not that text, which an
  // exact comparison in SQL would not find.
  auto narrowable = [](const CString& name) {
    return !name.empty() && name.find(u'\uFFFD') == CString::npos;
  };
  bool narrow = m_nKind == kConfigStore && !items.empty() && items.size() <= kMostItems;
  for (const auto& [module, key] : items) narrow = narrow && narrowable(module) && narrowable(key);
  CModuleMap fresh;
  if (!narrow || !ReadConfig(fresh, ItemsFilter(items))) return ReloadConfig(changed);
  std::vector<CString> stored(items.size());  // each item's text, as the databases now give it
  for (std::size_t i = 0; i < items.size(); ++i) {
    const CModuleEntry* entry = fresh.FindEntry(&items[i].first);
    if (entry == nullptr || !entry->LookupString(stored[i], &items[i].second)) return ReloadConfig(changed);
  }
  std::vector<Change> changes;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const CString& module = items[i].first;
    const CString& key = items[i].second;
    const auto before = VisibleValue(m_ConfigModules, module, key);
    m_ConfigModules.GetOrAddEntry(module)->SetString(key, stored[i]);
    const auto after = VisibleValue(m_ConfigModules, module, key);
    if (before != after) changes.push_back({AsTaken(module), AsTaken(key), after.second, after.first});
  }
  for (const Change& c : changes) changed(c.module, c.key, c.value, c.found);
  return TRUE;
}
