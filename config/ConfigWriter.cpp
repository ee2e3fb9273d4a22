// Configuration writing: one value changed in memory and in every listed configuration database, a new
// module name and key string registered as a new item.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

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

  // Opens the database, begins the transaction when the database may be written (the tables are then
  // read inside it, without taking and dropping a lock for each statement), and opens the tables.
  void Open(const CString& path) {
    database.Open(path.c_str(), FALSE, FALSE, u"");
    if (database.CanUpdate()) workspace.BeginTrans();
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

// Runs `write` on the tables of the database at `path` inside one transaction; a database that may not
// be written is only opened. A handled engine failure is rolled back, reported, and gives FALSE; opening
// the workspace and the rollback are not handled here.
template <class Write>
BOOL RunWriter(const CString& path, Write&& write) {
  WriterTables t;
  t.workspace.Open();
  try {
    t.Open(path);
    if (t.items.CanAppend()) {  // as the database's CanUpdate, which began the transaction
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

// UpdateKeyString finds its rows in one of two ways with the same result. The scan reads every row in
// rowid order and compares on the table-type recordset (COleVariant ==: same type, same code units, Null
// equal to nothing). The look-up, on a database with the index ItemsByKey of
// mivo::dao::StandardIndexesSql() (where its columns are the scan's), asks SQL for candidates, a superset of
// the rows the scan would take, and compares each of them, in rowid order, exactly as the scan does on the
// same recordset (positioned by bookmark), so that odd rows (duplicates, other storage classes, other
// collations) come out the same.

// Whether the look-up's SQL names the columns the scan reads from `table`: `first` and `second` at 0
// and 1 (ASCII letter case ignored, as SQL does), and no column hides the rowid.
bool ColumnsFit(const CDaoRecordset& table, const char16_t* first, const char16_t* second) {
  auto same = [](const CString& a, const CString& b) {
    const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
  };
  const short count = table.GetFieldCount();
  if (count < 2) return false;
  CDaoFieldInfo info;
  for (short i = 0; i < count; ++i) {
    table.GetFieldInfo(i, info);
    if ((i == 0 && !same(info.m_strName, first)) || (i == 1 && !same(info.m_strName, second)) ||
        same(info.m_strName, u"rowid")) {
      return false;
    }
  }
  return true;
}

// Whether the look-up may be tried: the columns fit, and neither name holds U+FFFD, which text read back
// from SQLite also holds for stored bytes that are not that text.
bool LookUpFits(WriterTables& t, const CString& module, const CString& key) {
  if (module.find(u'\uFFFD') != CString::npos || key.find(u'\uFFFD') != CString::npos) return false;
  return ColumnsFit(t.items, u"Module", u"KeyString") && ColumnsFit(t.messages, u"ItemId", u"LanguageId");
}

std::int64_t RowidOf(const COleVariant& v) {
  return v.vt() == VT_R8 ? static_cast<std::int64_t>(v.dblVal()) : v.lVal();
}

// The candidate items of a module name and key string. A text is found by its text (BINARY: code unit
// by code unit); a number or BLOB, which the scan reads as its text too, is not, so every item whose
// KeyString is one is a candidate, and so is every item of that KeyString whose Module is one.
class CDaoItemCandidates : public CDaoRecordset {
 public:
  CDaoItemCandidates(CDaoDatabase* pDatabase, const CString& module, const CString& key)
      : CDaoRecordset(pDatabase), m_strModule(module), m_strKeyString(key) {
    m_nParams = 2;
  }
  void DoFieldExchange(CDaoFieldExchange* pFX) override {
    pFX->SetFieldType(CDaoFieldExchange::param);
    DFX_Text(pFX, u"Module", m_strModule);
    DFX_Text(pFX, u"KeyString", m_strKeyString);
  }
  CString m_strModule;
  CString m_strKeyString;
};

// The item number of the first item in rowid order of the module name and key string (Empty when there
// is none), or nullopt when the database cannot be looked up so: the query names the index ItemsByKey
// (INDEXED BY), so that on a database without it the query is refused and the caller scans.
std::optional<COleVariant> LookUpItem(WriterTables& t, const COleVariant& varModule,
                                      const COleVariant& varKey) {
  std::vector<std::int64_t> rows;
  {
    CDaoItemCandidates rs(&t.database, varModule.bstrVal(), varKey.bstrVal());
    try {
      rs.Open(dbOpenSnapshot,
              (u"SELECT rowid FROM " + SqlQuoted(t.items_def.GetName(), u'"') +
               u" INDEXED BY ItemsByKey WHERE (KeyString = :KeyString COLLATE BINARY AND"
               u" (Module = :Module COLLATE BINARY OR typeof(Module) NOT IN ('text', 'null')))"
               u" OR KeyString < '' COLLATE BINARY OR KeyString >= x'' COLLATE BINARY")
                  .c_str());
    } catch (const CDaoException&) {
      return std::nullopt;
    }
    for (; !rs.IsEOF(); rs.MoveNext()) rows.push_back(RowidOf(rs.GetFieldValue(0)));
  }
  std::sort(rows.begin(), rows.end());
  for (std::int64_t row : rows) {
    t.items.SetBookmark(COleVariant::LongLong(row));
    if (t.items.GetFieldValue(1) == varKey && t.items.GetFieldValue(0) == varModule) {
      return t.items.GetFieldValue(2);
    }
  }
  return COleVariant();
}

COleVariant ScanForItem(CDaoRecordset& items, const COleVariant& varModule, const COleVariant& varKey) {
  MoveFirstIfAny(items);
  for (; !items.IsEOF(); items.MoveNext()) {
    if (items.GetFieldValue(1) == varKey && items.GetFieldValue(0) == varModule)
      return items.GetFieldValue(2);
  }
  return COleVariant();
}

// Where the look-up's SQL does not run (PostgreSQL), the scan reads only the rows of a table-type recordset
// filtered by ItemsFilter, a superset of the rows it would take, which it then compares exactly as ever,
// in row-key order. An engine that cannot run the filter (a column type without comparison to text)
// refuses to open the recordset, and the caller scans every row.
std::optional<COleVariant> ScanFilteredItems(WriterTables& t, const COleVariant& varModule,
                                             const COleVariant& varKey) {
  CDaoRecordset items(&t.database);
  items.m_strFilter = ItemsFilter({{varModule.bstrVal(), varKey.bstrVal()}});
  try {
    items.Open(&t.items_def, dbOpenTable, dbAppendOnly);
  } catch (const CDaoException&) {
    return std::nullopt;
  }
  return ScanForItem(items, varModule, varKey);
}

bool IsConfigTextOf(CDaoRecordset& messages, const COleVariant& itemNumber) {
  return messages.GetFieldValue(0) == itemNumber && messages.GetFieldValue(1) == kConfigLanguage;
}

void SetText(CDaoRecordset& messages, const COleVariant& varText) {
  messages.Edit();
  messages.SetFieldValue(2, varText);
  messages.Update();
}

// Each candidate is the next row after the last one seen whose values SQL finds equal to the 32-bit
// item number and language (a superset of the rows that are equal as COleVariants), asked afresh after
// every edit, as the scan reads each row only when it reaches it.
void LookUpAndEditMessages(WriterTables& t, const COleVariant& itemNumber, int flagged,
                           const COleVariant& varText) {
  const CString select = u"SELECT rowid FROM " + SqlQuoted(t.messages_def.GetName(), u'"') +
                         u" WHERE ItemId = " + AfxFromUtf8(std::to_string(itemNumber.lVal())) +
                         u" AND LanguageId = " + AfxFromUtf8(std::to_string(kConfigLanguageId));
  std::optional<std::int64_t> last;
  while (flagged != 0) {
    std::int64_t row = 0;
    {
      CDaoRecordset rs(&t.database);
      const CString after = last ? u" AND rowid > " + AfxFromUtf8(std::to_string(*last)) : CString();
      rs.Open(dbOpenSnapshot, (select + after + u" ORDER BY rowid LIMIT 1").c_str());
      if (rs.IsEOF()) return;
      row = RowidOf(rs.GetFieldValue(0));
    }
    last = row;
    t.messages.SetBookmark(COleVariant::LongLong(row));
    if (IsConfigTextOf(t.messages, itemNumber)) {
      SetText(t.messages, varText);
      --flagged;
    }
  }
}

void ScanAndEditMessages(CDaoRecordset& messages, const COleVariant& itemNumber, int flagged,
                         const COleVariant& varText) {
  MoveFirstIfAny(messages);
  while (!messages.IsEOF() && flagged != 0) {
    if (IsConfigTextOf(messages, itemNumber)) {
      SetText(messages, varText);
      --flagged;
    }
    messages.MoveNext();
  }
}

// The texts of a 32-bit item number, found by SQL as LookUpAndEditMessages finds them; false, with nothing
// changed, when the filter cannot run.
bool ScanAndEditFilteredMessages(WriterTables& t, const COleVariant& itemNumber, int flagged,
                                 const COleVariant& varText) {
  CDaoRecordset messages(&t.database);
  messages.m_strFilter = u"\"ItemId\" = " + AfxFromUtf8(std::to_string(itemNumber.lVal())) +
                         u" AND \"LanguageId\" = " + AfxFromUtf8(std::to_string(kConfigLanguageId));
  try {
    messages.Open(&t.messages_def, dbOpenTable, dbAppendOnly);
  } catch (const CDaoException&) {
    return false;
  }
  ScanAndEditMessages(messages, itemNumber, flagged, varText);
  return true;
}

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
    const bool fits = LookUpFits(t, module, key);
    std::optional<COleVariant> found = fits ? LookUpItem(t, varModule, varKey) : std::nullopt;
    const bool lookUp = found.has_value();
    if (!lookUp && fits) found = ScanFilteredItems(t, varModule, varKey);
    const bool filtered = !lookUp && found.has_value();
    const COleVariant itemNumber = found ? *found : ScanForItem(t.items, varModule, varKey);
    if (itemNumber.vt() == VT_EMPTY || itemNumber.vt() == VT_NULL) return;  // equals no ItemId

    int flagged = 0;
    MoveFirstIfAny(t.languages);
    while (!t.languages.IsEOF()) {
      if (t.languages.GetFieldValue(2) == kTrue) ++flagged;
      t.languages.MoveNext();
    }

    if (lookUp && itemNumber.vt() == VT_I4) {
      LookUpAndEditMessages(t, itemNumber, flagged, varText);
    } else if (!filtered || itemNumber.vt() != VT_I4 ||
               !ScanAndEditFilteredMessages(t, itemNumber, flagged, varText)) {
      ScanAndEditMessages(t.messages, itemNumber, flagged, varText);
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
