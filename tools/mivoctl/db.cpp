// mivoctl db: standard language and configuration databases: create, import and export texts as CSV, list
// the languages.
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/dao/afxdao.h"
#include "platform/win32/winnls.h"
#include "tools/mivoctl/csv.h"
#include "tools/mivoctl/db_convert.h"
#include "tools/mivoctl/mivoctl.h"

namespace mivoctl {
namespace {

constexpr int kConfigurationLanguage = 99;

constexpr const char* kUsage =
    "Usage: mivoctl db COMMAND ARGS...\n"
    "Standard MivoDB databases (tables Items, Messages, Languages and the stored query OfferKeyStrings).\n"
    "FILE is an SQLite file or the URI of a PostgreSQL database (postgresql://... or postgres://...; the\n"
    "database must exist, its password comes from ~/.pgpass, PGPASSFILE or the service file).\n"
    "\n"
    "Commands:\n"
    "  create FILE [--language ID[,ID...]]   write an empty database\n"
    "  import FILE CSV [--raw]                add or replace texts from a CSV file\n"
    "  export FILE [--language ID] [--raw]    write texts as CSV on stdout\n"
    "  list FILE                              show the languages, their flags and text counts\n"
    "  index FILE                             add the standard indexes a database lacks\n"
    "  convert ACCESS_FILE SQLITE_FILE|URI    convert an Access database (.mdb, .accdb)\n"
    "  migrate [--dry-run] [--backup FILE]    convert the Access databases the settings list\n"
    "\n"
    "Run 'mivoctl db COMMAND --help' for the details of a command.\n"
    "Exit codes: 0 success, 1 the operation failed, 2 bad usage.\n";

constexpr const char* kCreateUsage =
    "Usage: mivoctl db create FILE [--language ID[,ID...]]\n"
    "Writes an empty database in the standard layout at FILE, which must not exist (a PostgreSQL URI: the\n"
    "database must exist and hold no table Items). The languages given\n"
    "are flagged (they receive a text row when the server adds an item); language 99, the configuration\n"
    "language, is always flagged. IDs are decimal (1031) or hexadecimal (0x0407). The database gets the\n"
    "standard indexes ('mivoctl db index --help' says which).\n";

constexpr const char* kImportUsage =
    "Usage: mivoctl db import FILE CSV [--raw]\n"
    "Adds or replaces texts in the database FILE from CSV ('-' reads stdin). Each record is\n"
    "  module,key,language,text\n"
    "with RFC 4180 quoting (fields with commas, quotes or line breaks in double quotes, a quote inside\n"
    "written twice); UTF-8, with or without BOM; an optional first line 'module,key,language,text'.\n"
    "A module and key not in the database become a new item; a text of an item and language that exists\n"
    "is replaced. Languages not in the Languages table are added to it, flagged. Language IDs are decimal\n"
    "or hexadecimal (0x0419).\n"
    "\n"
    "Everything is imported in one transaction: a malformed record is reported with its line number and\n"
    "nothing is imported.\n"
    "\n"
    "Texts are stored the way the server reads them back: for a language other than 99, the text is\n"
    "encoded in the language's ANSI code page and the bytes are stored as the system ANSI code page\n"
    "reads them; characters the language's code page lacks become '?' (a warning names the line).\n"
    "Language 99 (configuration) and languages without an ANSI code page, or with one that is not\n"
    "available, are stored as given.\n"
    "\n"
    "Options:\n"
    "  --raw      store the texts unchanged\n"
    "  -h, --help this text\n";

constexpr const char* kExportUsage =
    "Usage: mivoctl db export FILE [--language ID] [--raw]\n"
    "Writes the texts of the database FILE as CSV on stdout: the line 'module,key,language,text', then\n"
    "one record per text in item order, with RFC 4180 quoting, UTF-8, lines ending in LF. Each text is\n"
    "shown as the server reads it: for a language other than 99 whose ANSI code page is available, the\n"
    "stored text is encoded in the system ANSI code page and decoded with the language's code page (the\n"
    "inverse of import).\n"
    "\n"
    "Options:\n"
    "  --language ID  only the texts of this language (decimal or 0x hexadecimal)\n"
    "  --raw          show the texts as stored\n"
    "  -h, --help     this text\n";

constexpr const char* kListUsage =
    "Usage: mivoctl db list FILE\n"
    "Shows the number of items and, for each language, its id, whether it is flagged in the Languages\n"
    "table (\"-\" for a language that has texts but no Languages row), its number of texts and its name.\n";

constexpr const char* kIndexUsage =
    "Usage: mivoctl db index FILE\n"
    "Adds to the database FILE the standard indexes it lacks: MessagesByItem on Messages (ItemId,\n"
    "LanguageId) and ItemsByKey on Items (KeyString, Module, compared code unit by code unit). The server\n"
    "finds a configuration item and its texts through them when it writes a value; without them it\n"
    "works the same, more slowly. 'mivoctl db create' and 'mivoctl db convert' make them; this command is\n"
    "for a database made elsewhere. An index of that name already there is kept; running it again changes\n"
    "nothing. FILE (or a PostgreSQL URI) must exist and hold the tables Items and Messages.\n";

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

// A language id: decimal or 0x hexadecimal, 0 to 65535.
std::optional<int> ParseLanguage(const std::string& text) {
  int base = 10;
  std::size_t start = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
  }
  unsigned value = 0;
  const char* first = text.data() + start;
  const char* last = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(first, last, value, base);
  if (first == last || ec != std::errc() || ptr != last || value > 0xFFFF) return std::nullopt;
  return static_cast<int>(value);
}

std::string Hex(int language) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%04X", static_cast<unsigned>(language));
  return buffer;
}

std::string LanguageName(int language) {
  return language == kConfigurationLanguage ? "Configuration" : Hex(language);
}

// ------------------------------------------------------------------------------------------------
// Text forms

// The ANSI code page of a language, or 0 when it has none that this system converts (99 has none).
UINT CodePageOf(int language) {
  if (language == kConfigurationLanguage) return 0;
  WCHAR buffer[16] = {};
  if (GetLocaleInfoW(MAKELCID(static_cast<LANGID>(language), SORT_DEFAULT), LOCALE_IDEFAULTANSICODEPAGE,
                     buffer, 16) == 0) {
    return 0;
  }
  UINT cp = 0;
  for (const WCHAR* p = buffer; *p >= u'0' && *p <= u'9'; ++p) cp = cp * 10 + (*p - u'0');
  if (cp == 0 || MultiByteToWideChar(cp, 0, "a", 1, nullptr, 0) == 0) return 0;
  return cp;
}

std::string Encode(UINT cp, const CString& text, bool* lost) {
  BOOL usedDefault = FALSE;
  if (text.empty()) return {};
  const int n =
      WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr,
                        lost != nullptr ? &usedDefault : nullptr);
  }
  if (lost != nullptr) *lost = usedDefault != FALSE;
  return bytes;
}

CString Decode(UINT cp, const std::string& bytes) {
  if (bytes.empty()) return {};
  const int n = MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  CString text(static_cast<std::size_t>(n > 0 ? n : 0), u'\0');
  if (n > 0) MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  return text;
}

// The stored form of `text` for a language whose code page is `cp` (0: stored as given).
CString ToStored(UINT cp, const CString& text, bool* lost) {
  *lost = false;
  if (cp == 0) return text;
  return Decode(CP_ACP, Encode(cp, text, lost));
}

// What the server makes of a stored text (cp 0: as stored).
CString FromStored(UINT cp, const CString& stored) {
  if (cp == 0) return stored;
  return Decode(cp, Encode(CP_ACP, stored, nullptr));
}

std::int64_t IntegerOf(const COleVariant& v) {
  switch (v.vt()) {
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
      return v.lVal();
    case VT_R8:
      return static_cast<std::int64_t>(v.dblVal());
    case VT_BSTR: {
      const std::string s = AfxToUtf8(v.bstrVal());
      std::int64_t value = 0;
      std::from_chars(s.data(), s.data() + s.size(), value);
      return value;
    }
    default:
      return 0;
  }
}

CString TextOf(const COleVariant& v) { return v.vt() == VT_BSTR ? v.bstrVal() : CString(); }

COleVariant Number(std::int64_t v) {
  if (v >= INT32_MIN && v <= INT32_MAX) return COleVariant::Long(static_cast<std::int32_t>(v));
  return COleVariant::Double(static_cast<double>(v));
}

// ------------------------------------------------------------------------------------------------
// Arguments

struct Args {
  std::vector<std::string> positional;
  std::optional<std::string> language;
  bool raw = false;
  bool help = false;
};

// Splits the words; options may come anywhere. An unknown option, or --language without its value, is
// bad usage, shown with `usage`.
Args Split(const std::vector<std::string>& words, bool takesLanguage, bool takesRaw, const char* usage) {
  Args out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (IsHelp(w)) {
      out.help = true;
    } else if (takesRaw && w == "--raw") {
      out.raw = true;
    } else if (takesLanguage && w == "--language") {
      if (i + 1 >= words.size()) BadUsage("--language needs a value", usage);
      out.language = words[++i];
    } else if (takesLanguage && w.rfind("--language=", 0) == 0) {
      out.language = w.substr(11);
    } else if (w.size() > 1 && w[0] == '-' && w != "-") {
      BadUsage("unknown option '" + w + "'", usage);
    } else {
      out.positional.push_back(w);
    }
  }
  return out;
}

// ------------------------------------------------------------------------------------------------
// Commands

int RunCreate(const std::vector<std::string>& words) {
  const Args args = Split(words, true, false, kCreateUsage);
  if (args.help) {
    std::cout << kCreateUsage;
    return kExitOk;
  }
  if (args.positional.size() != 1) BadUsage("create needs exactly one FILE", kCreateUsage);
  std::vector<int> languages;
  if (args.language) {
    std::stringstream list(*args.language);
    std::string item;
    while (std::getline(list, item, ',')) {
      const auto id = ParseLanguage(item);
      if (!id) BadUsage("'" + item + "' is not a language id (decimal or 0x hexadecimal)", kCreateUsage);
      languages.push_back(*id);
    }
    if (languages.empty()) BadUsage("--language needs at least one id", kCreateUsage);
  }
  mivo::dao::CreateStandardDatabase(args.positional[0], languages);
  return kExitOk;
}

struct Text {
  int line;
  CString module, key;
  int language;
  CString text;
};

int RunImport(const std::vector<std::string>& words) {
  const Args args = Split(words, false, true, kImportUsage);
  if (args.help) {
    std::cout << kImportUsage;
    return kExitOk;
  }
  if (args.positional.size() != 2) BadUsage("import needs FILE and CSV", kImportUsage);
  const std::string& file = args.positional[0];
  const std::string& csvName = args.positional[1];

  std::string content;
  if (csvName == "-") {
    content.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(csvName, std::ios::binary);
    if (!in) Refuse("cannot read '" + csvName + "'");
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) Refuse("cannot read '" + csvName + "'");
  }

  // Parse and check everything before the database is touched.
  std::vector<CsvRecord> records;
  std::string error;
  if (!ParseCsv(content, &records, &error)) Refuse(csvName + ": " + error + "; nothing imported");
  std::vector<Text> texts;
  for (std::size_t r = 0; r < records.size(); ++r) {
    const CsvRecord& rec = records[r];
    if (r == 0 && rec.fields.size() == 4) {
      std::vector<std::string> lower = rec.fields;
      for (auto& f : lower) {
        for (auto& c : f) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      if (lower == std::vector<std::string>{"module", "key", "language", "text"}) continue;
    }
    if (rec.fields.size() != 4) {
      Refuse(csvName + ": line " + std::to_string(rec.line) +
             ": expected 4 fields (module,key,language,text), found " + std::to_string(rec.fields.size()) +
             "; nothing imported");
    }
    const auto language = ParseLanguage(rec.fields[2]);
    if (!language) {
      Refuse(csvName + ": line " + std::to_string(rec.line) + ": language '" + rec.fields[2] +
             "' is not a number from 0 to 65535; nothing imported");
    }
    texts.push_back(Text{rec.line, AfxFromUtf8(rec.fields[0]), AfxFromUtf8(rec.fields[1]), *language,
                         AfxFromUtf8(rec.fields[3])});
  }

  const bool progress = ::isatty(STDERR_FILENO) == 1 && texts.size() >= 10000;
  std::size_t added = 0, replaced = 0, newItems = 0, newLanguages = 0;
  try {
    CDaoWorkspace workspace;
    workspace.Open();
    CDaoDatabase db(nullptr);
    db.Open(AfxFromUtf8(file).c_str(), FALSE, FALSE, u"");
    if (!db.CanUpdate()) Refuse("'" + file + "' is read-only; nothing imported");
    workspace.BeginTrans();

    std::map<std::pair<CString, CString>, std::int64_t> items;
    {
      CDaoRecordset rs(&db);
      rs.Open(dbOpenSnapshot,
              u"SELECT \"Module\", \"KeyString\", \"ItemId\" FROM \"Items\" ORDER BY \"ItemId\"");
      for (; !rs.IsEOF(); rs.MoveNext()) {
        items.emplace(std::make_pair(TextOf(rs.GetFieldValue(0)), TextOf(rs.GetFieldValue(1))),
                      IntegerOf(rs.GetFieldValue(2)));
      }
    }
    std::set<std::pair<std::int64_t, int>> messages;
    {
      CDaoRecordset rs(&db);
      rs.Open(dbOpenSnapshot, u"SELECT \"ItemId\", \"LanguageId\" FROM \"Messages\"");
      for (; !rs.IsEOF(); rs.MoveNext()) {
        messages.emplace(IntegerOf(rs.GetFieldValue(0)), static_cast<int>(IntegerOf(rs.GetFieldValue(1))));
      }
    }
    std::set<int> languages;
    {
      CDaoRecordset rs(&db);
      rs.Open(dbOpenSnapshot, u"SELECT \"LanguageId\" FROM \"Languages\"");
      for (; !rs.IsEOF(); rs.MoveNext()) languages.insert(static_cast<int>(IntegerOf(rs.GetFieldValue(0))));
    }
    // The number the next item gets, as the engine would assign it.
    std::int64_t nextItem = 1;
    {
      CDaoTableDef itemsDef(&db);
      itemsDef.Open(u"Items");
      CDaoRecordset rs(&db);
      rs.Open(&itemsDef, dbOpenTable, dbAppendOnly);
      rs.AddNew();
      nextItem = IntegerOf(rs.GetFieldValue(2));
      rs.CancelUpdate();
    }

    CDaoQueryDef insertItem(&db), insertMessage(&db), updateMessage(&db), insertLanguage(&db);
    // Quoted names and TRUE: the same SQL for SQLite and PostgreSQL.
    insertItem.Create(nullptr,
                      u"INSERT INTO \"Items\" (\"Module\", \"KeyString\", \"ItemId\") VALUES (:Module, "
                      u":KeyString, :ItemId)");
    insertMessage.Create(
        nullptr,
        u"INSERT INTO \"Messages\" (\"ItemId\", \"LanguageId\", \"String\") VALUES (:ItemId, "
        u":LanguageId, :String)");
    updateMessage.Create(nullptr,
                         u"UPDATE \"Messages\" SET \"String\" = :String WHERE \"ItemId\" = :ItemId AND "
                         u"\"LanguageId\" = :LanguageId");
    insertLanguage.Create(nullptr,
                          u"INSERT INTO \"Languages\" (\"Name\", \"LanguageId\", \"Active\") VALUES (:Name, "
                          u":LanguageId, TRUE)");

    std::map<int, UINT> codePages;
    for (std::size_t n = 0; n < texts.size(); ++n) {
      const Text& t = texts[n];
      if (languages.insert(t.language).second) {
        insertLanguage.SetParamValue(u"Name", COleVariant(AfxFromUtf8(LanguageName(t.language))));
        insertLanguage.SetParamValue(u"LanguageId", COleVariant::Long(t.language));
        insertLanguage.Execute();
        ++newLanguages;
      }
      auto [it, isNew] = items.emplace(std::make_pair(t.module, t.key), nextItem);
      if (isNew) {
        insertItem.SetParamValue(u"Module", COleVariant(t.module));
        insertItem.SetParamValue(u"KeyString", COleVariant(t.key));
        insertItem.SetParamValue(u"ItemId", Number(nextItem));
        insertItem.Execute();
        ++nextItem;
        ++newItems;
      }
      const std::int64_t item = it->second;
      CString stored = t.text;
      if (!args.raw) {
        auto cp = codePages.find(t.language);
        if (cp == codePages.end()) cp = codePages.emplace(t.language, CodePageOf(t.language)).first;
        bool lost = false;
        stored = ToStored(cp->second, t.text, &lost);
        if (lost) {
          Warn(csvName + ": line " + std::to_string(t.line) + ": characters that code page " +
               std::to_string(cp->second) + " of language " + Hex(t.language) + " lacks were stored as '?'");
        }
      }
      const COleVariant itemValue = Number(item);
      const bool exists = !messages.emplace(item, t.language).second;
      CDaoQueryDef& write = exists ? updateMessage : insertMessage;
      write.SetParamValue(u"ItemId", itemValue);
      write.SetParamValue(u"LanguageId", COleVariant::Long(t.language));
      write.SetParamValue(u"String", COleVariant(stored));
      write.Execute();
      ++(exists ? replaced : added);
      if (progress && (n + 1) % 1000 == 0) {
        std::cerr << "\rmivoctl: importing " << (n + 1) << " of " << texts.size() << " texts" << std::flush;
      }
    }
    if (progress)
      std::cerr << "\rmivoctl: importing " << texts.size() << " of " << texts.size() << " texts\n";
    workspace.CommitTrans();
  } catch (const CDaoException& e) {
    Warn(AfxToUtf8(e.Message()));
    Refuse("nothing imported into '" + file + "'");
  }
  std::cout << "imported " << (added + replaced) << " texts into " << file << ": " << added << " added, "
            << replaced << " replaced; " << newItems << " new items, " << newLanguages << " new languages\n";
  return kExitOk;
}

int RunExport(const std::vector<std::string>& words) {
  const Args args = Split(words, true, true, kExportUsage);
  if (args.help) {
    std::cout << kExportUsage;
    return kExitOk;
  }
  if (args.positional.size() != 1) BadUsage("export needs exactly one FILE", kExportUsage);
  std::optional<int> only;
  if (args.language) {
    only = ParseLanguage(*args.language);
    if (!only) BadUsage("'" + *args.language + "' is not a language id", kExportUsage);
  }
  const std::string& file = args.positional[0];
  std::string out = "module,key,language,text\n";
  {
    CDaoDatabase db(nullptr);
    db.Open(AfxFromUtf8(file).c_str(), FALSE, TRUE, u"");
    // SQLite's CROSS JOIN keeps Items the outer loop; PostgreSQL plans a JOIN itself.
    const mivo::dao::Engine engine = mivo::dao::EngineOfName(file);
    std::string sql =
        std::string(
            "SELECT \"Items\".\"Module\", \"Items\".\"KeyString\", \"Messages\".\"LanguageId\", "
            "\"Messages\".\"String\" FROM \"Items\" ") +
        (engine == mivo::dao::Engine::kSqlite ? "CROSS JOIN" : "JOIN") +
        " \"Messages\" ON \"Messages\".\"ItemId\" = \"Items\".\"ItemId\"";
    if (only) sql += " WHERE \"Messages\".\"LanguageId\" = " + std::to_string(*only);
    sql += std::string(" ORDER BY \"Items\".\"ItemId\", \"Messages\".") + mivo::dao::RowKeySql(engine);
    CDaoRecordset rs(&db);
    rs.Open(dbOpenSnapshot, AfxFromUtf8(sql).c_str());
    std::map<int, UINT> codePages;
    for (; !rs.IsEOF(); rs.MoveNext()) {
      const int language = static_cast<int>(IntegerOf(rs.GetFieldValue(2)));
      CString text = TextOf(rs.GetFieldValue(3));
      if (!args.raw) {
        auto cp = codePages.find(language);
        if (cp == codePages.end()) cp = codePages.emplace(language, CodePageOf(language)).first;
        text = FromStored(cp->second, text);
      }
      out += CsvField(AfxToUtf8(TextOf(rs.GetFieldValue(0)))) + "," +
             CsvField(AfxToUtf8(TextOf(rs.GetFieldValue(1)))) + "," + std::to_string(language) + "," +
             CsvField(AfxToUtf8(text)) + "\n";
    }
  }
  std::cout << out << std::flush;
  if (!std::cout) Refuse("cannot write to stdout");
  return kExitOk;
}

int RunList(const std::vector<std::string>& words) {
  const Args args = Split(words, false, false, kListUsage);
  if (args.help) {
    std::cout << kListUsage;
    return kExitOk;
  }
  if (args.positional.size() != 1) BadUsage("list needs exactly one FILE", kListUsage);
  const std::string& file = args.positional[0];
  struct Language {
    std::string flag = "-";
    std::int64_t texts = 0;
    std::string name;
  };
  std::vector<int> order;
  std::map<int, Language> languages;
  std::int64_t items = 0;
  {
    CDaoDatabase db(nullptr);
    db.Open(AfxFromUtf8(file).c_str(), FALSE, TRUE, u"");
    {
      CDaoRecordset rs(&db);
      rs.Open(dbOpenSnapshot, u"SELECT count(*) FROM \"Items\"");
      items = IntegerOf(rs.GetFieldValue(0));
    }
    {
      CDaoRecordset rs(&db);
      rs.Open(dbOpenSnapshot, AfxFromUtf8(std::string("SELECT \"LanguageId\", \"Active\", \"Name\" FROM "
                                                      "\"Languages\" ORDER BY ") +
                                          mivo::dao::RowKeySql(mivo::dao::EngineOfName(file)))
                                  .c_str());
      for (; !rs.IsEOF(); rs.MoveNext()) {
        const int id = static_cast<int>(IntegerOf(rs.GetFieldValue(0)));
        if (languages.count(id) == 0) order.push_back(id);
        Language& l = languages[id];
        const COleVariant active = rs.GetFieldValue(1);
        l.flag = (active.vt() != VT_NULL && IntegerOf(active) != 0) ? "yes" : "no";
        l.name = AfxToUtf8(TextOf(rs.GetFieldValue(2)));
      }
    }
    {
      CDaoRecordset rs(&db);
      rs.Open(dbOpenSnapshot,
              u"SELECT \"LanguageId\", count(*) FROM \"Messages\" GROUP BY \"LanguageId\" "
              u"ORDER BY \"LanguageId\"");
      for (; !rs.IsEOF(); rs.MoveNext()) {
        const int id = static_cast<int>(IntegerOf(rs.GetFieldValue(0)));
        if (languages.count(id) == 0) order.push_back(id);
        languages[id].texts = IntegerOf(rs.GetFieldValue(1));
      }
    }
  }
  std::cout << "items: " << items << "\n";
  std::printf("%-16s %-5s %8s  %s\n", "LANGUAGE", "FLAG", "TEXTS", "NAME");
  std::fflush(stdout);
  for (int id : order) {
    const Language& l = languages[id];
    const std::string label = Hex(id) + " (" + std::to_string(id) + ")";
    std::printf("%-16s %-5s %8lld  %s\n", label.c_str(), l.flag.c_str(), static_cast<long long>(l.texts),
                l.name.c_str());
  }
  std::fflush(stdout);
  return kExitOk;
}

int RunIndex(const std::vector<std::string>& words) {
  const Args args = Split(words, false, false, kIndexUsage);
  if (args.help) {
    std::cout << kIndexUsage;
    return kExitOk;
  }
  if (args.positional.size() != 1) BadUsage("index needs exactly one FILE", kIndexUsage);
  const std::string& file = args.positional[0];
  const std::vector<std::string> created = mivo::dao::CreateStandardIndexes(file);
  if (created.empty()) {
    std::cout << file << " has the standard indexes already\n";
  } else {
    std::string names;
    for (const std::string& name : created) names += (names.empty() ? "" : ", ") + name;
    std::cout << "added to " << file << ": " << names << "\n";
  }
  return kExitOk;
}

int RunDb(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (IsHelp(command) || command == "help") {
    std::cout << kUsage;
    return kExitOk;
  }
  // The engine reports its failures as CDaoException, which is no std::exception.
  try {
    if (command == "create") return RunCreate(rest);
    if (command == "import") return RunImport(rest);
    if (command == "export") return RunExport(rest);
    if (command == "list") return RunList(rest);
    if (command == "index") return RunIndex(rest);
    if (command == "convert") return RunConvert(rest);
    if (command == "migrate") return RunMigrate(rest);
  } catch (const CDaoException& e) {
    Refuse(AfxToUtf8(e.Message()));
  }
  BadUsage("unknown db command '" + command + "'", kUsage);
}

const MivoctlCommand kDbCommand(
    {"db", "standard databases: create, import and export texts (CSV), list, index, convert", RunDb});

}  // namespace
}  // namespace mivoctl
