#include "textstore/StringMap.h"

#include "app/Constants.h"

IMPLEMENT_DYNAMIC(CModuleEntry, CObject)
IMPLEMENT_DYNAMIC(CModuleMap, CObject)
IMPLEMENT_DYNAMIC(CStringMap, CObject)

CModuleEntry::CModuleEntry() { m_Strings.RemoveAll(); }

CModuleEntry::CModuleEntry(CStringArena* pArena) : m_Strings(pArena) {}

CModuleEntry::~CModuleEntry() { m_Strings.RemoveAll(); }

BOOL CModuleEntry::GetString(CString& text, const CString* key) const {
  if (key == nullptr) return FALSE;
  std::u16string_view found;
  if (m_Strings.Lookup(*key, found) && !found.empty()) {
    text.assign(found);
    return TRUE;
  }
  text = *key;
  return FALSE;
}

BOOL CModuleEntry::LookupString(CString& text, const CString* key) const {
  if (key == nullptr) return FALSE;
  std::u16string_view found;
  if (m_Strings.Lookup(*key, found)) {
    text.assign(found);
    return TRUE;
  }
  text = *key;
  return FALSE;
}

void CModuleEntry::SetString(const CString& key, const CString& text) { m_Strings.SetAt(key, text); }

CModuleMap::~CModuleMap() { RemoveAllEntries(); }

CModuleEntry* CModuleMap::FindEntry(const CString* module) const {
  if (module == nullptr) return nullptr;
  const auto it = m_Entries.find(*module);
  return it == m_Entries.end() ? nullptr : it->second.get();
}

CModuleEntry* CModuleMap::GetOrAddEntry(const CString& module) {
  auto& slot = m_Entries[module];
  if (!slot) slot = std::make_unique<CModuleEntry>(m_pArena.get());
  return slot.get();
}

BOOL CModuleMap::RemoveEntry(const CString& module) {
  const auto it = m_Entries.find(module);
  if (it == m_Entries.end()) return FALSE;
  std::unique_ptr<CModuleEntry> entry = std::move(it->second);
  m_Entries.erase(it);
  return TRUE;  // the entry and its texts are deleted here
}

void CModuleMap::RemoveAllEntries() {
  while (!m_Entries.empty()) {
    const CString first = m_Entries.begin()->first;
    RemoveEntry(first);
  }
  m_pArena->RemoveAll();
}

CStringMap::CStringMap(int nKind) : m_nKind(nKind) { m_CodePages.clear(); }

CStringMap::~CStringMap() = default;

BOOL CStringMap::LookupLanguageString(CString& text, const CString* module, const CString* key) const {
  const CModuleEntry* entry = m_LanguageModules.FindEntry(module);
  if (entry == nullptr) {
    if (key != nullptr) text = *key;
    return FALSE;
  }
  return entry->GetString(text, key);
}

BOOL CStringMap::LookupConfigString(CString& text, const CString* module, const CString* key) const {
  CString moduleName = module ? *module : CString();
  CString keyString = key ? *key : CString();
  if (moduleName.empty()) moduleName = g_strEmpty;
  if (keyString.empty()) keyString = g_strEmpty;
  const CModuleEntry* entry = m_ConfigModules.FindEntry(&moduleName);
  if (entry == nullptr) {
    text.clear();
    return FALSE;
  }
  if (!entry->GetString(text, &keyString)) {
    text.clear();
    return FALSE;
  }
  if (text == g_strEmpty) text.clear();
  return TRUE;
}

void CStringMap::StoreConverted(CModuleMap& modules, const CString& module, const CString& key,
                                CString& text) {
  text = ConvertText(std::move(text));
  modules.GetOrAddEntry(module)->SetString(key, text);
}
