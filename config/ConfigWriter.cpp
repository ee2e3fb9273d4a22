// Configuration writing: one value changed in memory and in every listed configuration database, a new
// module name and key string registered as a new item.
#include "app/Constants.h"
#include "app/MivoDBApp.h"
#include "textstore/db/DaoRecordsets.h"

namespace {

const CString& OrEmptyMarker(const CString* s) { return (s == nullptr || s->empty()) ? g_strEmpty : *s; }

// The objects one writer call works on: its own workspace, database, table definitions and table-type
// recordsets on Items, Messages and Languages. Destruction closes whatever is still open.
struct WriterTables {
  CDaoWorkspace workspace;
  CDaoDatabase database{nullptr};
  CDaoTableDef items_def{&database}, messages_def{&database}, languages_def{&database};
  CDaoRecordset items{&database}, messages{&database}, languages{&database};

  void Open(const CString& path) {
    database.Open(path.c_str(), FALSE, FALSE, u"");
    items_def.Open(g_strItems.c_str());
    messages_def.Open(g_strMessages.c_str());
    languages_def.Open(g_strLanguages.c_str());
    items.Open(&items_def, dbOpenTable, dbAppendOnly);
    messages.Open(&messages_def, dbOpenTable, dbAppendOnly);
    languages.Open(&languages_def, dbOpenTable, dbAppendOnly);
  }

  void Close() {
    items.Close();
    items_def.Close();
    messages_def.Close();
    languages_def.Close();
    database.Close();
    workspace.Close();
  }
};

// Runs `write` on the tables of the database at `path` inside one transaction. A handled engine failure
// is rolled back, reported, and gives FALSE; opening the workspace and the rollback are not handled here.
template <class Write>
BOOL RunWriter(const CString& path, Write&& write) {
  WriterTables t;
  t.workspace.Open();
  try {
    t.Open(path);
    if (t.items.CanAppend()) {
      t.workspace.BeginTrans();
      write(t);
      t.workspace.CommitTrans();
    }
    t.Close();
    return TRUE;
  } catch (const CDaoException& e) {
    t.workspace.Rollback();
    ReportEngineError(e);
    return FALSE;
  }
}

void MoveFirstIfAny(CDaoRecordset& rs) {
  if (!rs.IsEOF()) rs.MoveFirst();
}

const COleVariant kTrue = COleVariant::Bool(true);
const COleVariant kConfigLanguage = COleVariant::Long(kConfigLanguageId);

}  // namespace

BOOL CDaoConfig::AddKeyString(const CString& module, const CString& key, const CString& text) {
  const COleVariant varModule(module), varKey(key), varText(text);
  return RunWriter(m_strDataBase, [&](WriterTables& t) {
    t.items.AddNew();
    t.items.SetFieldValue(0, varModule);
    t.items.SetFieldValue(1, varKey);
    const COleVariant itemNumber = t.items.GetFieldValue(2);
    t.items.Update();

    MoveFirstIfAny(t.languages);
    while (!t.languages.IsEOF()) {
      if (t.languages.GetFieldValue(2) == kTrue) {
        t.messages.AddNew();
        t.messages.SetFieldValue(0, itemNumber);
        const COleVariant languageId = t.languages.GetFieldValue(1);
        t.messages.SetFieldValue(1, languageId);
        if (languageId == kConfigLanguage) t.messages.SetFieldValue(2, varText);
        t.messages.Update();
      }
      t.languages.MoveNext();
    }
  });
}

BOOL CDaoConfig::UpdateKeyString(const CString& module, const CString& key, const CString& text) {
  const COleVariant varModule(module), varKey(key), varText(text);
  return RunWriter(m_strDataBase, [&](WriterTables& t) {
    COleVariant itemNumber;  // Empty: equals no item number
    bool found = false;
    MoveFirstIfAny(t.items);
    while (!t.items.IsEOF() && !found) {
      if (t.items.GetFieldValue(1) == varKey && t.items.GetFieldValue(0) == varModule) {
        itemNumber = t.items.GetFieldValue(2);
        found = true;
      }
      t.items.MoveNext();
    }

    int flagged = 0;
    MoveFirstIfAny(t.languages);
    while (!t.languages.IsEOF()) {
      if (t.languages.GetFieldValue(2) == kTrue) ++flagged;
      t.languages.MoveNext();
    }

    MoveFirstIfAny(t.messages);
    while (!t.messages.IsEOF() && flagged != 0) {
      if (t.messages.GetFieldValue(0) == itemNumber && t.messages.GetFieldValue(1) == kConfigLanguage) {
        t.messages.Edit();
        t.messages.SetFieldValue(2, varText);
        t.messages.Update();
        --flagged;
      }
      t.messages.MoveNext();
    }
  });
}

BOOL CStringMap::WriteConfigString(const CString* value, const CString* module, const CString* key) {
  const CMivoDBApp* app = GetMivoDBApp();
  const CRegKey list(app ? app->m_MachineKey.m_hKey : nullptr, g_strConfigDataBases);
  const CString& moduleName = OrEmptyMarker(module);
  const CString& keyString = OrEmptyMarker(key);
  CModuleEntry* entry = m_ConfigModules.FindEntry(&moduleName);
  CStringArray names;
  list.EnumValueNames(names);
  const CString& text = OrEmptyMarker(value);
  if (names.empty()) return TRUE;

  for (const CString& name : names) {
    CString path;
    if (!list.QueryPathValue(name, path)) continue;
    try {
      CDaoConfig writer(path);
      CString existing;
      if (entry != nullptr && entry->LookupString(existing, &keyString)) {
        entry->SetString(keyString, text);
        writer.UpdateKeyString(moduleName, keyString, text);
      } else {
        entry = m_ConfigModules.GetOrAddEntry(moduleName);
        entry->SetString(keyString, text);
        writer.AddKeyString(moduleName, keyString, text);
      }
    } catch (const CDaoException& e) {
      ReportEngineError(e);
      return FALSE;
    }
  }
  return TRUE;
}
