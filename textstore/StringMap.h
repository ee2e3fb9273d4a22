// The in-memory text tables: module name -> key string -> text, and the store object that owns them.
//
// Keys and module names compare exactly (code unit by code unit, case-sensitive). A string argument that
// may be absent is a `const CString*`; null and empty are different (see each lookup). Each store owns its
// module maps, which own their entries and texts.
#pragma once

#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/afx/afx.h"
#include "platform/afx/afxcoll.h"

// One module: key string -> text.
class CModuleEntry : public CObject {
  DECLARE_DYNAMIC(CModuleEntry)

 public:
  // An entry whose texts live in storage of its own.
  CModuleEntry();
  // An entry whose texts live in `pArena`, which must outlive it.
  explicit CModuleEntry(CStringArena* pArena);
  ~CModuleEntry() override;
  CModuleEntry(const CModuleEntry&) = delete;
  CModuleEntry& operator=(const CModuleEntry&) = delete;

  // TRUE and the text when `key` holds a non-empty text; FALSE and the key itself for a missing key or an
  // empty text. A null key gives FALSE and leaves `text` as it was.
  BOOL GetString(CString& text, const CString* key) const;
  // TRUE and the text (even an empty one) when `key` exists; FALSE and the key itself otherwise. A null
  // key gives FALSE and leaves `text` as it was.
  BOOL LookupString(CString& text, const CString* key) const;
  // Stores `text` under `key`, replacing any earlier text.
  void SetString(const CString& key, const CString& text);

  CMapStringToString m_Strings;
};

// The modules of one store. Owns its entries: removing a module or clearing the map deletes them. The
// texts of all entries live in one arena of the map, freed when the map is cleared or destroyed (the texts
// of a removed module stay there until then).
class CModuleMap : public CObject {
  DECLARE_DYNAMIC(CModuleMap)

 public:
  CModuleMap() = default;
  ~CModuleMap() override;
  CModuleMap(const CModuleMap&) = delete;
  CModuleMap& operator=(const CModuleMap&) = delete;

  // The entry stored under exactly `module`, or null (also for a null module).
  CModuleEntry* FindEntry(const CString* module) const;
  // The entry of `module`, created empty when missing. Never null.
  CModuleEntry* GetOrAddEntry(const CString& module);
  // TRUE when the module existed and was removed and deleted.
  BOOL RemoveEntry(const CString& module);
  // Removes and deletes every entry; the map is empty afterwards.
  void RemoveAllEntries();
  // Exchanges the contents of the two maps; nothing is copied or deleted.
  void Swap(CModuleMap& other) noexcept {
    m_pArena.swap(other.m_pArena);
    m_Entries.swap(other.m_Entries);
  }
  std::size_t GetCount() const { return m_Entries.size(); }
  // Calls f(module, entry) for every module, in no particular order.
  template <class F>
  void ForEach(F&& f) const {
    for (const auto& [module, entry] : m_Entries) f(module, *entry);
  }

 private:
  std::unique_ptr<CStringArena> m_pArena = std::make_unique<CStringArena>();
  std::unordered_map<CString, std::unique_ptr<CModuleEntry>> m_Entries;
};

// Store kinds.
inline constexpr int kFallbackStore = 0;
inline constexpr int kLanguageStore = 1;
inline constexpr int kConfigStore = 2;

// One store: the texts of one language (kinds 0 and 1) or the configuration strings (kind 2).
class CStringMap : public CObject {
  DECLARE_DYNAMIC(CStringMap)

 public:
  explicit CStringMap(int nKind);
  ~CStringMap() override;
  CStringMap(const CStringMap&) = delete;
  CStringMap& operator=(const CStringMap&) = delete;

  // Language lookup: TRUE and the text when the module holds a non-empty text for the key; otherwise FALSE
  // and the key itself (a null key leaves `text` as it was; a null module never matches).
  BOOL LookupLanguageString(CString& text, const CString* module, const CString* key) const;
  // Configuration lookup: an empty or null module or key stands for "|EMPTY|"; a missing or empty value is
  // the empty string with FALSE; a stored "|EMPTY|" is the empty string with TRUE.
  BOOL LookupConfigString(CString& text, const CString* module, const CString* key) const;

  // Language loading (textstore/Languages.cpp). FALSE when a database failed; see the definitions.
  BOOL LoadLanguage(WORD wLanguageId, BOOL bUserFlag);
  BOOL LoadLanguageDataBase(const CString& path);
  // Re-reads the store: the configuration for kind 2, else the databases of the store's own language.
  // The databases are read into a new table that replaces the store's only when every database was read;
  // after a failure (FALSE, reported as each loader reports it) or an exception the store keeps exactly
  // what it held before.
  BOOL Reload();

  // Configuration loading and writing (config/).
  BOOL LoadConfig();
  BOOL LoadConfigDataBase(const CString& path);
  BOOL WriteConfigString(const CString* value, const CString* module, const CString* key);
  // Reload() of the configuration that then calls changed(module, key, value, found) for every item that
  // GetConfigString2 now answers differently, with what it now answers (a value gone: "" and FALSE), and
  // module and key as it takes them. FALSE, with nothing changed and no call, when a database failed.
  using ConfigChangedFn =
      std::function<void(const CString& module, const CString& key, const CString& value, BOOL found)>;
  BOOL ReloadConfig(const ConfigChangedFn& changed);
  // ReloadConfig for a change of only `items` (stored module name, key string): reads just their rows from
  // every database, in the same order, and replaces only their values. Falls back to ReloadConfig (with
  // its results) when that cannot give the same state: names that are empty or hold U+FFFD, too many
  // items, an item that no database holds any more, or a database that fails the narrow read.
  BOOL RefreshConfigItems(const std::vector<std::pair<CString, CString>>& items,
                          const ConfigChangedFn& changed);

  // Character sets (automation/CharSet.cpp).
  // Re-decodes a text read from a database with the ANSI code page of m_wLanguageId (see the definition).
  CString ConvertText(CString text);
  // The Windows character-set code of m_wLanguageId (of the thread locale for 0 and 0xFFFF).
  short GetCharsetCode() const;

  std::unordered_map<WORD, DWORD> m_CodePages;
  CModuleMap m_ConfigModules;
  CModuleMap m_LanguageModules;
  WORD m_wLanguageId = 0;
  BOOL m_bUserFlag = FALSE;
  const int m_nKind;

 private:
  // Stores a text read from a database, converted, under module and key; `text` is consumed.
  void StoreConverted(CModuleMap& modules, const CString& module, const CString& key, CString& text);
  // LoadLanguage without its early return for the language the store already holds, into `modules`
  // (emptied first).
  BOOL ReadLanguage(WORD wLanguageId, BOOL bUserFlag, CModuleMap& modules);
  // LoadLanguageDataBase into `modules`.
  BOOL ReadLanguageDataBase(const CString& path, CModuleMap& modules);
  // LoadConfig and LoadConfigDataBase into `modules` (emptied first by ReadConfig), only the rows that
  // meet `filter` when it is not empty; a failed filtered read is not reported.
  BOOL ReadConfig(CModuleMap& modules, const CString& filter = CString());
  BOOL ReadConfigDataBase(const CString& path, CModuleMap& modules, const CString& filter = CString());
};
