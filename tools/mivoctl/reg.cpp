// mivoctl reg: the settings store (registry hives) from the command line, with the syntax and output of
// the Windows `reg` tool, and .reg file import and export in the formats of the Windows registry editor.
// The commands only: values are shown and parsed in regvalue.cpp, .reg files read and written in
// regfile.cpp.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/afx/afx.h"
#include "platform/win32/winreg.h"
#include "tools/mivoctl/mivoctl.h"
#include "tools/mivoctl/regfile.h"
#include "tools/mivoctl/regvalue.h"

namespace mivoctl {
namespace {

// ---------------------------------------------------------------------------------------------------------
// Registry failures.

// A registry failure in words; a damaged hive is named by its file.
std::string Describe(LSTATUS status) {
  switch (status) {
    case ERROR_FILE_NOT_FOUND:
      return "the system was unable to find the specified registry key or value";
    case ERROR_ACCESS_DENIED:
      return "access is denied";
    case ERROR_BADDB: {
      const std::string file = mivo::reg::LastHiveProblem();
      return "the hive file " + (file.empty() ? std::string("(unknown)") : file) +
             " is damaged or is not a MivoDB hive";
    }
    case ERROR_KEY_DELETED:
      return "the key was deleted meanwhile";
    case ERROR_BUSY:
      return "the hive stayed busy; try again";
    default:
      return "registry error " + std::to_string(status);
  }
}

[[noreturn]] void RegistryFailure(LSTATUS status, const std::u16string& what) {
  Refuse(Describe(status) + (what.empty() ? "" : " (" + AfxToUtf8(what) + ")"));
}

// ---------------------------------------------------------------------------------------------------------
// Files.

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Refuse("cannot read " + path + ": " + std::strerror(errno));
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------------------------------------
// Key paths.

KeyPath KeyArgument(const std::string& text) {
  auto path = ParseKeyPath(AfxFromUtf8(text));
  if (!path)
    RegUsage("invalid key name '" + text +
             "': the root must be HKLM, HKCU, HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER");
  return *path;
}

using mivo::reg::UniqueKey;

// ---------------------------------------------------------------------------------------------------------
// Reading keys.

struct ValueRecord {
  std::u16string name;
  DWORD type = 0;
  std::string data;
};

std::vector<ValueRecord> ReadValues(HKEY key, const std::u16string& where) {
  for (int attempt = 0;; ++attempt) {
    DWORD count = 0, maxName = 0, maxData = 0;
    LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                      &maxName, &maxData, nullptr, nullptr);
    if (status != ERROR_SUCCESS) RegistryFailure(status, where);
    std::vector<ValueRecord> values;
    std::vector<WCHAR> name(maxName + 1);
    std::string data(maxData, '\0');
    for (DWORD i = 0;; ++i) {
      DWORD chars = maxName + 1, size = maxData, type = 0;
      status = RegEnumValueW(key, i, name.data(), &chars, nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &size);
      if (status == ERROR_NO_MORE_ITEMS) return values;
      if (status == ERROR_MORE_DATA) break;  // changed meanwhile: read again with bigger buffers
      if (status != ERROR_SUCCESS) RegistryFailure(status, where);
      values.push_back({std::u16string(name.data(), chars), type, data.substr(0, size)});
    }
    if (attempt > 5) RegistryFailure(ERROR_MORE_DATA, where);
  }
}

std::vector<std::u16string> ReadSubkeys(HKEY key, const std::u16string& where) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD chars = 256;
    const LSTATUS status = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return names;
    if (status != ERROR_SUCCESS) RegistryFailure(status, where);
    names.emplace_back(name, chars);
  }
}

void OpenForRead(const KeyPath& path, UniqueKey& key) {
  const LSTATUS status = RegOpenKeyExW(path.root, path.subkey.c_str(), 0, KEY_READ, key.out());
  if (status != ERROR_SUCCESS) RegistryFailure(status, path.Full());
}

// ---------------------------------------------------------------------------------------------------------
// Option parsing: /x or -x, case-insensitive.

struct Options {
  std::vector<std::string> positional;
  std::optional<std::string> v;  // /v NAME
  bool ve = false, va = false, s = false, f = false, y = false, utf8 = false;
  std::optional<std::string> t, d, separator;
};

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "/?" || arg == "-?"; }

Options ParseOptions(const std::vector<std::string>& args, std::size_t from, const std::string& allowed) {
  Options o;
  auto allow = [&](const std::string& name, const std::string& arg) {
    if (allowed.find(" " + name + " ") == std::string::npos) RegUsage("option " + arg + " is not valid here");
  };
  auto next = [&](std::size_t& i, const std::string& arg) -> std::string {
    if (i + 1 >= args.size()) RegUsage("option " + arg + " needs a value");
    return args[++i];
  };
  for (std::size_t i = from; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--utf8") {
      allow("utf8", arg);
      o.utf8 = true;
      continue;
    }
    // A word with a slash or dot after the first character is a file path (/tmp/x.reg), not an option.
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-') ||
        arg.find_first_of("/.", 1) != std::string::npos) {
      o.positional.push_back(arg);
      continue;
    }
    const std::string name = arg.substr(1);
    auto is = [&](const char* n) { return EqualsNoCase(name, n); };
    if (is("v")) {
      allow("v", arg);
      if (o.v) RegUsage("option /v given twice");
      o.v = next(i, arg);
    } else if (is("ve")) {
      allow("ve", arg);
      o.ve = true;
    } else if (is("va")) {
      allow("va", arg);
      o.va = true;
    } else if (is("s")) {
      if (allowed.find(" sep ") != std::string::npos) {
        o.separator = next(i, arg);
      } else {
        allow("s", arg);
        o.s = true;
      }
    } else if (is("f")) {
      allow("f", arg);
      o.f = true;
    } else if (is("y")) {
      allow("y", arg);
      o.y = true;
    } else if (is("t")) {
      allow("t", arg);
      o.t = next(i, arg);
    } else if (is("d")) {
      allow("d", arg);
      o.d = next(i, arg);
    } else {
      RegUsage("unknown option " + arg);
    }
  }
  if ((o.v ? 1 : 0) + (o.ve ? 1 : 0) + (o.va ? 1 : 0) > 1) RegUsage("/v, /ve and /va exclude each other");
  return o;
}

// ---------------------------------------------------------------------------------------------------------
// query

void QueryTree(const KeyPath& path, HKEY key, bool recursive, std::string& out) {
  const std::vector<ValueRecord> values = ReadValues(key, path.Full());
  if (!values.empty() || recursive) out += AfxToUtf8(path.Full()) + "\n";
  for (const auto& value : values) out += ValueLine(value.name, value.type, value.data);
  if (!values.empty()) out += "\n";
  for (const auto& name : ReadSubkeys(key, path.Full())) {
    KeyPath child = path;
    child.subkey = path.subkey.empty() ? name : path.subkey + u"\\" + name;
    if (!recursive) {
      out += AfxToUtf8(child.Full()) + "\n";
      continue;
    }
    UniqueKey sub;
    const LSTATUS status = RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, sub.out());
    if (status == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
    if (status != ERROR_SUCCESS) RegistryFailure(status, child.Full());
    QueryTree(child, sub.get(), true, out);
  }
}

// /v or /ve with /s: every key of the subtree holding that value.
int SearchValue(const KeyPath& path, HKEY key, const std::u16string& name, std::string& out) {
  int matches = 0;
  std::string data(0, '\0');
  DWORD type = 0, size = 0;
  LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
  if (status == ERROR_SUCCESS) {
    data.resize(size);
    status = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  }
  if (status == ERROR_SUCCESS) {
    data.resize(size);
    out += AfxToUtf8(path.Full()) + "\n" + ValueLine(name, type, data) + "\n";
    ++matches;
  } else if (status != ERROR_FILE_NOT_FOUND) {
    RegistryFailure(status, path.Full());
  }
  for (const auto& sub : ReadSubkeys(key, path.Full())) {
    KeyPath child = path;
    child.subkey = path.subkey.empty() ? sub : path.subkey + u"\\" + sub;
    UniqueKey subKey;
    status = RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, subKey.out());
    if (status == ERROR_FILE_NOT_FOUND) continue;
    if (status != ERROR_SUCCESS) RegistryFailure(status, child.Full());
    matches += SearchValue(child, subKey.get(), name, out);
  }
  return matches;
}

int Query(const std::vector<std::string>& args) {
  const Options o = ParseOptions(args, 1, " v ve s ");
  if (o.positional.size() != 1) RegUsage("query needs exactly one KEY");
  const KeyPath path = KeyArgument(o.positional[0]);
  UniqueKey key;
  OpenForRead(path, key);
  std::string out = "\n";
  if (o.v || o.ve) {
    const std::u16string name = o.v ? AfxFromUtf8(*o.v) : u"";
    if (o.s) {
      const int matches = SearchValue(path, key.get(), name, out);
      out += "End of search: " + std::to_string(matches) + " match(es) found.\n";
      std::cout << out;
      return matches > 0 ? kExitOk : kExitRefused;
    }
    DWORD type = 0, size = 0;
    LSTATUS status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
    std::string data(size, '\0');
    if (status == ERROR_SUCCESS) {
      status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                                &size);
      data.resize(size);
    }
    if (status == ERROR_FILE_NOT_FOUND && name.empty()) {
      out += AfxToUtf8(path.Full()) + "\n    (Default)    REG_SZ    (value not set)\n\n";
    } else if (status != ERROR_SUCCESS) {
      RegistryFailure(status, path.Full() + (name.empty() ? u"" : u" /v " + name));
    } else {
      out += AfxToUtf8(path.Full()) + "\n" + ValueLine(name, type, data) + "\n";
    }
  } else {
    QueryTree(path, key.get(), o.s, out);
  }
  std::cout << out;
  return kExitOk;
}

// ---------------------------------------------------------------------------------------------------------
// add, delete

int Add(const std::vector<std::string>& args) {
  const Options o = ParseOptions(args, 1, " v ve t d sep f ");
  if (o.positional.size() != 1) RegUsage("add needs exactly one KEY");
  const KeyPath path = KeyArgument(o.positional[0]);
  const bool withValue = o.v || o.ve;
  if (!withValue && (o.t || o.d)) RegUsage("/t and /d need /v NAME or /ve");
  DWORD type = REG_SZ;
  if (o.t) {
    const auto parsed = ParseTypeName(*o.t);
    if (!parsed) RegUsage("invalid type '" + *o.t + "'");
    type = *parsed;
  }
  if (o.separator && type != REG_MULTI_SZ) RegUsage("/s is for REG_MULTI_SZ only");
  const std::string data = withValue ? DataForAdd(type, o.d.value_or(""), o.separator.value_or("\\0")) : "";

  UniqueKey key;
  LSTATUS status = RegCreateKeyExW(path.root, path.subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, key.out(), nullptr);
  if (status != ERROR_SUCCESS) RegistryFailure(status, path.Full());
  if (withValue) {
    const std::u16string name = o.v ? AfxFromUtf8(*o.v) : u"";
    if (!o.f) {
      status = RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr);
      if (status == ERROR_SUCCESS) {
        Refuse("value " + ValueName(name) + " exists in " + AfxToUtf8(path.Full()) +
               "; add /f to overwrite it");
      }
      if (status != ERROR_FILE_NOT_FOUND) RegistryFailure(status, path.Full());
    }
    status = RegSetValueExW(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                            static_cast<DWORD>(data.size()));
    if (status != ERROR_SUCCESS) RegistryFailure(status, path.Full());
  }
  std::cout << "The operation completed successfully.\n";
  return kExitOk;
}

int Delete(const std::vector<std::string>& args) {
  const Options o = ParseOptions(args, 1, " v ve va f ");
  if (o.positional.size() != 1) RegUsage("delete needs exactly one KEY");
  const KeyPath path = KeyArgument(o.positional[0]);
  const bool whole = !o.v && !o.ve && !o.va;
  if (whole && path.subkey.empty())
    RegUsage("a root key cannot be deleted; give a subkey, or /va for its values");
  if (!o.f) Refuse("delete asks for confirmation, which mivoctl cannot do; add /f to delete");

  LSTATUS status = ERROR_SUCCESS;
  if (whole) {
    status = RegDeleteTreeW(path.root, path.subkey.c_str());
    if (status != ERROR_SUCCESS) RegistryFailure(status, path.Full());
  } else {
    UniqueKey key;
    status = RegOpenKeyExW(path.root, path.subkey.c_str(), 0, KEY_ALL_ACCESS, key.out());
    if (status != ERROR_SUCCESS) RegistryFailure(status, path.Full());
    if (o.va) {
      for (const auto& value : ReadValues(key.get(), path.Full())) {
        status = RegDeleteValueW(key.get(), value.name.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) RegistryFailure(status, path.Full());
      }
    } else {
      const std::u16string name = o.v ? AfxFromUtf8(*o.v) : u"";
      status = RegDeleteValueW(key.get(), name.c_str());
      if (status != ERROR_SUCCESS) {
        RegistryFailure(status, path.Full() + (name.empty() ? u" (Default)" : u" /v " + name));
      }
    }
  }
  std::cout << "The operation completed successfully.\n";
  return kExitOk;
}

// ---------------------------------------------------------------------------------------------------------
// import

int Import(const std::vector<std::string>& args) {
  const Options o = ParseOptions(args, 1, " ");
  if (o.positional.size() != 1) RegUsage("import needs exactly one FILE");
  const std::string& file = o.positional[0];
  const std::vector<ImportStep> steps = ParseRegFile(file, DecodeRegFile(file, ReadWholeFile(file)));

  // One transaction per hive, locked in a fixed order (machine first) so that two imports never wait for
  // each other forever.
  bool usesMachine = false, usesUser = false;
  for (const auto& step : steps) (step.key.root == HKEY_LOCAL_MACHINE ? usesMachine : usesUser) = true;
  std::optional<mivo::reg::HiveTransaction> machine, user;
  auto lock = [&](std::optional<mivo::reg::HiveTransaction>& transaction, HKEY root, const char16_t* name) {
    transaction.emplace(root);
    const LSTATUS status = transaction->Lock();
    if (status != ERROR_SUCCESS) RegistryFailure(status, name);
  };
  if (usesMachine) lock(machine, HKEY_LOCAL_MACHINE, u"HKEY_LOCAL_MACHINE");
  if (usesUser) lock(user, HKEY_CURRENT_USER, u"HKEY_CURRENT_USER");

  auto failAt = [&](const ImportStep& step, LSTATUS status, const std::u16string& what) {
    Refuse(file + ":" + std::to_string(step.line) + ": " + Describe(status) + " (" + AfxToUtf8(what) +
           "); nothing was imported");
  };
  UniqueKey key;
  for (const auto& step : steps) {
    LSTATUS status = ERROR_SUCCESS;
    switch (step.kind) {
      case ImportStep::kCreateKey:
        status = RegCreateKeyExW(step.key.root, step.key.subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, key.out(), nullptr);
        if (status != ERROR_SUCCESS) failAt(step, status, step.key.Full());
        break;
      case ImportStep::kDeleteKey:
        key.Close();
        status = RegDeleteTreeW(step.key.root, step.key.subkey.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) failAt(step, status, step.key.Full());
        break;
      case ImportStep::kSetValue:
        status = RegSetValueExW(key.get(), step.name.c_str(), 0, step.type,
                                reinterpret_cast<const BYTE*>(step.data.data()),
                                static_cast<DWORD>(step.data.size()));
        if (status != ERROR_SUCCESS) failAt(step, status, step.key.Full());
        break;
      case ImportStep::kDeleteValue:
        status = RegDeleteValueW(key.get(), step.name.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) failAt(step, status, step.key.Full());
        break;
    }
  }
  key.Close();
  for (auto* transaction : {&machine, &user}) {
    if (!*transaction) continue;
    const LSTATUS status = (*transaction)->Commit();
    if (status != ERROR_SUCCESS) RegistryFailure(status, u"commit");
  }
  std::cout << "The operation completed successfully.\n";
  return kExitOk;
}

// ---------------------------------------------------------------------------------------------------------
// export

void ExportTree(const KeyPath& path, HKEY key, RegFileWriter& file) {
  const std::u16string full = path.Full();
  file.Key(full);
  for (const auto& value : ReadValues(key, full)) file.Value(value.name, value.type, value.data);
  for (const auto& name : ReadSubkeys(key, full)) {
    KeyPath child = path;
    child.subkey = path.subkey.empty() ? name : path.subkey + u"\\" + name;
    UniqueKey sub;
    const LSTATUS status = RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, sub.out());
    if (status == ERROR_FILE_NOT_FOUND) continue;
    if (status != ERROR_SUCCESS) RegistryFailure(status, child.Full());
    ExportTree(child, sub.get(), file);
  }
}

int Export(const std::vector<std::string>& args) {
  const Options o = ParseOptions(args, 1, " y utf8 ");
  if (o.positional.size() != 2) RegUsage("export needs a KEY and a FILE");
  const KeyPath path = KeyArgument(o.positional[0]);
  const std::string& file = o.positional[1];
  UniqueKey key;
  OpenForRead(path, key);
  if (!o.y && ::access(file.c_str(), F_OK) == 0) Refuse(file + " exists; add /y to overwrite it");

  RegFileWriter writer(o.utf8);
  ExportTree(path, key.get(), writer);
  const std::string bytes = writer.Bytes();

  const std::string temp = file + ".mivoctl-" + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    if (!out) {
      std::remove(temp.c_str());
      Refuse("cannot write " + file + ": " + std::strerror(errno));
    }
  }
  if (std::rename(temp.c_str(), file.c_str()) != 0) {
    const int error = errno;
    std::remove(temp.c_str());
    Refuse("cannot write " + file + ": " + std::strerror(error));
  }
  std::cout << "The operation completed successfully.\n";
  return kExitOk;
}

// ---------------------------------------------------------------------------------------------------------
// Help and dispatch.

const char kRegHelp[] =
    "Usage: mivoctl reg OPERATION [ARGS...]\n"
    "The settings store (registry hives) with the syntax of Windows reg.\n"
    "\n"
    "Operations:\n"
    "  query   KEY [/v NAME | /ve] [/s]\n"
    "  add     KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  delete  KEY [/v NAME | /ve | /va] /f\n"
    "  import  FILE\n"
    "  export  KEY FILE [/y] [--utf8]\n"
    "\n"
    "KEY is ROOT\\SUBKEY with ROOT one of HKLM, HKCU, HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER.\n"
    "The hives are the files $MIVODB_MACHINE_HIVE and $MIVODB_USER_HIVE.\n"
    "Run 'mivoctl reg OPERATION --help' for the details of an operation.\n"
    "Exit codes: 0 done, 1 refused or failed, 2 bad usage.\n";

const char kQueryHelp[] =
    "Usage: mivoctl reg query KEY [/v NAME | /ve] [/s]\n"
    "Lists the values and subkeys of KEY as Windows reg does.\n"
    "  /v NAME  only the value NAME\n"
    "  /ve      only the default value (shown as (Default))\n"
    "  /s       all subkeys and values below KEY; with /v or /ve, every key below KEY holding that value\n";

const char kAddHelp[] =
    "Usage: mivoctl reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "Creates KEY (and the keys above it) and, with /v or /ve, sets a value.\n"
    "  /v NAME       the value to set; /ve sets the default value\n"
    "  /t TYPE       REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, "
    "REG_NONE\n"
    "  /d DATA       the data: text; REG_MULTI_SZ texts separated by \\0 (or /s SEPARATOR);\n"
    "                REG_DWORD and REG_QWORD in decimal or 0x hexadecimal; REG_BINARY as hexadecimal digits\n"
    "  /f            overwrite an existing value (without /f, an existing value is refused)\n";

const char kDeleteHelp[] =
    "Usage: mivoctl reg delete KEY [/v NAME | /ve | /va] /f\n"
    "Deletes KEY with everything below it, or only the value NAME (/v), the default value (/ve) or all "
    "values\n"
    "of KEY (/va). /f is required: mivoctl asks no confirmation.\n";

const char kImportHelp[] =
    "Usage: mivoctl reg import FILE\n"
    "Imports a .reg file (\"Windows Registry Editor Version 5.00\" or REGEDIT4; UTF-8 with or without BOM, "
    "or\n"
    "UTF-16LE with BOM). Only HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER keys. Values are created in file "
    "order.\n"
    "A malformed line or a failure changes nothing: each hive is written in one transaction.\n";

const char kExportHelp[] =
    "Usage: mivoctl reg export KEY FILE [/y] [--utf8]\n"
    "Writes KEY with its subkeys to FILE in the \"Windows Registry Editor Version 5.00\" format, UTF-16LE "
    "with\n"
    "BOM and CRLF line ends as Windows does, or UTF-8 without BOM and LF with --utf8.\n"
    "  /y  overwrite an existing FILE\n";

int RunReg(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::cerr << kRegHelp;
    return kExitUsage;
  }
  if (IsHelp(args[0])) {
    std::cout << kRegHelp;
    return kExitOk;
  }
  struct Operation {
    const char* name;
    const char* help;
    int (*run)(const std::vector<std::string>&);
  };
  static const Operation kOperations[] = {{"query", kQueryHelp, Query},
                                          {"add", kAddHelp, Add},
                                          {"delete", kDeleteHelp, Delete},
                                          {"import", kImportHelp, Import},
                                          {"export", kExportHelp, Export}};
  for (const auto& operation : kOperations) {
    if (!EqualsNoCase(args[0], operation.name)) continue;
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (IsHelp(args[i])) {
        std::cout << operation.help;
        return kExitOk;
      }
    }
    return operation.run(args);
  }
  RegUsage("unknown operation '" + args[0] + "'");
}

const MivoctlCommand kRegCommand({"reg", "query and change the settings store; import and export .reg files",
                                  RunReg});

}  // namespace
}  // namespace mivoctl
