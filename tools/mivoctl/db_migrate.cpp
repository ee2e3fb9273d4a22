// mivoctl db migrate: converts the Access databases the settings list and points the lists at the
// converted files.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/Constants.h"
#include "platform/win32/winreg.h"
#include "tools/mivoctl/db_convert.h"
#include "tools/mivoctl/mivoctl.h"
#include "tools/mivoctl/regfile.h"

namespace mivoctl {
namespace {

constexpr const char* kMigrateUsage =
    "Usage: mivoctl db migrate [--dry-run] [--backup FILE]\n"
    "Converts every Access database (.mdb, .accdb) named in the database lists of the settings\n"
    "(LanguageDataBase's of HKLM and HKCU, ConfigDataBase's of HKLM, below Software\\Mivotec\\DataBase),\n"
    "after their path placeholders are expanded, into <name>.db beside it (see 'mivoctl db convert'), and\n"
    "points each list entry at the new file, keeping the entry's placeholder part (%DataDir%\\texts.mdb\n"
    "becomes %DataDir%\\texts.db). Entries naming other files are left alone, so a second run changes\n"
    "nothing.\n"
    "\n"
    "Before a list is changed, the old lists are saved as a .reg file (which 'mivoctl reg import' reads\n"
    "back): by default mivodb-database-lists-YYYYMMDD-HHMMSS.reg in the current folder.\n"
    "\n"
    "A file that fails to convert, an existing <name>.db, or an entry whose file name lies in its\n"
    "placeholder leaves that entry as it was; a hive the user may not write is reported and none of its\n"
    "entries changes. Either makes the exit code 1.\n"
    "\n"
    "Options:\n"
    "  --dry-run      print what would be converted and changed; change nothing\n"
    "  --backup FILE  save the old lists to FILE (which must not exist)\n"
    "  -h, --help     this text\n";

struct ListEntry {
  HKEY root;
  std::u16string rootName;  // HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER
  std::u16string key;       // below the root
  std::u16string name;
  std::u16string raw;                         // the value as stored
  std::string access;                         // the expanded path (UTF-8)
  std::string target;                         // <name>.db beside it
  std::optional<std::u16string> replacement;  // the new value, when the placeholder part can be kept
  bool converted = false;
};

struct Value {
  std::u16string name;
  DWORD type;
  std::string data;
};

std::string U8(const std::u16string& s) { return AfxToUtf8(s); }

std::vector<Value> ReadValues(HKEY key) {
  std::vector<Value> values;
  DWORD count = 0, maxName = 0, maxData = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &maxName, &maxData,
                       nullptr, nullptr) != ERROR_SUCCESS) {
    return values;
  }
  std::vector<WCHAR> name(maxName + 1);
  std::string data(maxData, '\0');
  for (DWORD i = 0;; ++i) {
    DWORD chars = maxName + 1, size = maxData, type = 0;
    const LSTATUS status = RegEnumValueW(key, i, name.data(), &chars, nullptr, &type,
                                         reinterpret_cast<BYTE*>(data.data()), &size);
    if (status != ERROR_SUCCESS) break;
    values.push_back({std::u16string(name.data(), chars), type, data.substr(0, size)});
  }
  return values;
}

// A REG_SZ's text, up to its first terminating zero.
std::u16string TextOf(const std::string& data) {
  std::u16string text = UnitsOf(data);
  const auto end = text.find(u'\0');
  return end == std::u16string::npos ? text : text.substr(0, end);
}

// The path a list entry names, expanded as the server expands it: one placeholder between the first and
// the last percent sign, read from HKEY_LOCAL_MACHINE\Software\Mivotec\Version ("%%" its default value).
std::optional<std::u16string> Expand(const std::u16string& text) {
  const auto first = text.find(u'%');
  if (first == std::u16string::npos) return text;
  const auto last = text.rfind(u'%');
  if (first == last) return std::nullopt;
  mivo::reg::UniqueKey version;
  if (version.Open(HKEY_LOCAL_MACHINE, kVersionKeyPath, KEY_READ) != ERROR_SUCCESS) return std::nullopt;
  const std::u16string placeholder = text.substr(first + 1, last - first - 1);
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(version, placeholder.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::nullopt;
  }
  std::string data(size, '\0');
  if (RegQueryValueExW(version, placeholder.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                       &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return text.substr(0, first) + TextOf(data.substr(0, size)) + text.substr(last + 1);
}

// `text` with the extension of its last path part replaced by ".db", from position `from` on; nullopt when
// that part (after `from`) has no extension.
std::optional<std::u16string> WithDbExtension(const std::u16string& text, std::size_t from) {
  const auto separator = text.find_last_of(u"/\\");
  const std::size_t partStart = separator == std::u16string::npos ? 0 : separator + 1;
  const auto dot = text.rfind(u'.');
  if (dot == std::u16string::npos || dot < partStart || dot < from || dot == partStart) return std::nullopt;
  return text.substr(0, dot) + u".db";
}

std::string DefaultBackupName() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "mivodb-database-lists-%Y%m%d-%H%M%S.reg", &local);
  return buffer;
}

}  // namespace

int RunMigrate(const std::vector<std::string>& args) {
  bool dryRun = false;
  std::optional<std::string> backup;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::cout << kMigrateUsage;
      return kExitOk;
    }
    if (a == "--dry-run") {
      dryRun = true;
    } else if (a == "--backup") {
      if (i + 1 >= args.size()) BadUsage("--backup needs a FILE", kMigrateUsage);
      backup = args[++i];
    } else if (a.rfind("--backup=", 0) == 0) {
      backup = a.substr(9);
    } else {
      BadUsage("unexpected argument '" + a + "'", kMigrateUsage);
    }
  }

  const std::u16string base = std::u16string(u"Software\\") + kCompanyName + u"\\" + kAppName + u"\\";
  struct List {
    HKEY root;
    std::u16string rootName, key;
  };
  const List lists[] = {
      {HKEY_LOCAL_MACHINE, u"HKEY_LOCAL_MACHINE", base + g_strLanguageDataBases},
      {HKEY_LOCAL_MACHINE, u"HKEY_LOCAL_MACHINE", base + g_strConfigDataBases},
      {HKEY_CURRENT_USER, u"HKEY_CURRENT_USER", base + g_strLanguageDataBases},
  };

  // The entries that name Access files, and every list as it is now (for the backup).
  std::vector<ListEntry> entries;
  std::map<std::u16string, std::vector<Value>> listValues;  // by root name + "\" + key
  bool failed = false;
  for (const List& list : lists) {
    mivo::reg::UniqueKey key;
    if (key.Open(list.root, list.key.c_str(), KEY_READ) != ERROR_SUCCESS) continue;
    const std::vector<Value> values = ReadValues(key);
    listValues[list.rootName + u"\\" + list.key] = values;
    for (const Value& v : values) {
      if (v.type != REG_SZ) continue;
      ListEntry e{list.root, list.rootName, list.key, v.name, TextOf(v.data), {}, {}, {}, false};
      const auto expanded = Expand(e.raw);
      if (!expanded) continue;  // the server skips it too
      e.access = U8(*expanded);
      if (!LooksLikeAccess(e.access)) continue;
      const auto target = WithDbExtension(*expanded, 0);
      e.target = target ? U8(*target) : e.access + ".db";
      const auto lastPercent = e.raw.rfind(u'%');
      e.replacement = WithDbExtension(e.raw, lastPercent == std::u16string::npos ? 0 : lastPercent + 1);
      entries.push_back(e);
    }
  }
  auto entryName = [](const ListEntry& e) {
    return U8(e.rootName + u"\\" + e.key) + " [" + U8(e.name) + "]";
  };
  if (entries.empty()) {
    std::cout << "no database list names an Access file; nothing to do\n";
    return kExitOk;
  }

  // Which hives may be written: one that may not is reported and left whole.
  std::map<HKEY, bool> writable;
  for (const ListEntry& e : entries) {
    if (writable.count(e.root) != 0) continue;
    mivo::reg::HiveTransaction probe(e.root);
    writable[e.root] = probe.status() == ERROR_SUCCESS && probe.Lock() == ERROR_SUCCESS;
    if (!writable[e.root]) {
      Warn(U8(e.rootName) + " (" + mivo::reg::HiveFileOf(e.root) +
           ") may not be written; its database lists were left as they are");
      failed = true;
    }
  }

  std::map<std::string, bool> done;  // an Access file listed twice is converted once
  for (ListEntry& e : entries) {
    if (!writable[e.root]) continue;
    if (!e.replacement) {
      Warn(entryName(e) + ": the file name lies in the placeholder of '" + U8(e.raw) +
           "'; converted nothing, entry left as it is");
      failed = true;
      continue;
    }
    if (dryRun) {
      if (done.emplace(e.access, true).second)
        std::cout << "would convert " << e.access << " -> " << e.target << "\n";
      std::cout << "would set " << entryName(e) << " = " << U8(*e.replacement) << " (was " << U8(e.raw)
                << ")\n";
      continue;
    }
    auto known = done.find(e.access);
    if (known == done.end()) {
      bool ok = false;
      if (std::filesystem::exists(e.target)) {
        Warn(entryName(e) + ": '" + e.target + "' exists; not replaced, entry left as it is");
      } else {
        try {
          ConvertOptions options;
          options.quiet = true;
          const ConvertSummary s = ConvertAccess(e.access, e.target, options);
          std::cout << "converted " << e.access << " -> " << e.target << " (" << s.tables << " tables, "
                    << s.rows << " rows)\n";
          ok = true;
        } catch (const ToolError& error) {
          Warn(std::string(error.what()) + "; " + entryName(e) + " left as it is");
        }
      }
      known = done.emplace(e.access, ok).first;
    }
    e.converted = known->second;
    if (!e.converted) failed = true;
  }
  if (dryRun) return failed ? kExitRefused : kExitOk;

  const bool anyChange =
      std::any_of(entries.begin(), entries.end(), [](const ListEntry& e) { return e.converted; });
  if (!anyChange) return failed ? kExitRefused : kExitOk;

  // The old lists first.
  const std::string backupFile = backup.value_or(DefaultBackupName());
  {
    if (std::filesystem::exists(backupFile))
      Refuse("the backup '" + backupFile + "' exists; no list was changed");
    RegFileWriter writer(false);
    for (const auto& [path, values] : listValues) {
      writer.Key(path);
      for (const Value& v : values) writer.Value(v.name, v.type, v.data);
    }
    std::ofstream out(backupFile, std::ios::binary);
    const std::string bytes = writer.Bytes();
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) Refuse("cannot write the backup '" + backupFile + "'; no list was changed");
    std::cout << "saved the database lists to " << backupFile << "\n";
  }

  // Each hive in one transaction, HKEY_LOCAL_MACHINE first.
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    std::vector<ListEntry*> changes;
    for (ListEntry& e : entries) {
      if (e.root == root && e.converted) changes.push_back(&e);
    }
    if (changes.empty()) continue;
    mivo::reg::HiveTransaction tx(root);
    LSTATUS status = tx.status() == ERROR_SUCCESS ? tx.Lock() : tx.status();
    for (ListEntry* e : changes) {
      if (status != ERROR_SUCCESS) break;
      mivo::reg::UniqueKey key;
      status = key.Open(root, e->key.c_str(), KEY_QUERY_VALUE | KEY_SET_VALUE);
      if (status != ERROR_SUCCESS) break;
      // Changed by someone else since it was read: leave it.
      DWORD type = 0, size = 0;
      std::string data;
      if (RegQueryValueExW(key, e->name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        data.resize(size);
        RegQueryValueExW(key, e->name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
      }
      if (type != REG_SZ || TextOf(data.substr(0, size)) != e->raw) {
        Warn(entryName(*e) + " changed meanwhile; left as it is");
        e->converted = false;
        failed = true;
        continue;
      }
      const std::string bytes = BytesOf(*e->replacement + u'\0');
      status = RegSetValueExW(key, e->name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                              static_cast<DWORD>(bytes.size()));
    }
    if (status == ERROR_SUCCESS) status = tx.Commit();
    if (status != ERROR_SUCCESS) {
      Warn(U8(changes.front()->rootName) + " (" + mivo::reg::HiveFileOf(root) +
           "): its lists could not be written (error " + std::to_string(status) + "); none of them changed");
      failed = true;
      continue;
    }
    for (const ListEntry* e : changes) {
      if (e->converted) std::cout << "set " << entryName(*e) << " = " << U8(*e->replacement) << "\n";
    }
  }
  return failed ? kExitRefused : kExitOk;
}

}  // namespace mivoctl
