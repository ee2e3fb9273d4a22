// Configuration loading: the texts of language 99 from every database listed under "ConfigDataBase's".
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
