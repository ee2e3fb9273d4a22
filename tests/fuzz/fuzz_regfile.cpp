// The .reg importer: DecodeRegFile and ParseRegFile on any bytes, then, for files they accept, the real
// `mivoctl reg import` into empty private hives.
//
// Checked: a refused file names itself and a line; every step's key is below one of the two roots with a
// normalised subkey; a deleted key is never a root.
// After an import that reports success, the last value written for each name (not deleted later) reads
// back with its type and bytes; after a refused import both hives hold nothing.
#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/win32/winreg.h"
#include "tests/fuzz/support.h"
#include "tools/mivoctl/mivoctl.h"
#include "tools/mivoctl/regfile.h"

namespace {

using mivo::test::Check;
using mivoctl::ImportStep;

constexpr const char* kFileName = "input.reg";
constexpr std::size_t kMaxImportSteps = 64;

struct Env {
  mivo::test::HiveSandbox hives{"machine.hive", "user.hive", mivo::test::FuzzTempBase()};
};

Env& TheEnv() { return mivo::test::TheOne<Env>(); }

void CheckStep(const ImportStep& step) {
  Check(step.key.root == HKEY_LOCAL_MACHINE || step.key.root == HKEY_CURRENT_USER, "step root");
  const auto& sub = step.key.subkey;
  Check(sub.empty() || (sub.front() != u'\\' && sub.back() != u'\\'), "subkey without outer backslashes");
  if (step.kind == ImportStep::kDeleteKey) Check(!sub.empty(), "a root is never deleted");
  Check(step.line >= 2, "steps come from lines after the header");
}

// The whole path of a key as the registry compares it.
CString KeyId(const ImportStep& step) {
  return (step.key.root == HKEY_LOCAL_MACHINE ? u"M\\" : u"U\\") + mivo::test::UpperAscii(step.key.subkey);
}

bool IsBelow(const CString& key, const CString& top) {
  return key == top ||
         (key.size() > top.size() && key.compare(0, top.size(), top) == 0 && key[top.size()] == u'\\');
}

// TRUE when a root holds no value and no subkey (a missing hive counts as empty).
bool RootIsEmpty(HKEY root) {
  DWORD subkeys = 0, values = 0;
  const LSTATUS status = RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                          &values, nullptr, nullptr, nullptr, nullptr);
  return status != ERROR_SUCCESS || (subkeys == 0 && values == 0);
}

void CheckImported(const std::vector<ImportStep>& steps) {
  // Walk backwards: a value is checked when no later step set or deleted it or deleted its key.
  std::set<std::pair<CString, CString>> touched;
  std::vector<CString> deletedKeys;
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    const CString key = KeyId(*it);
    if (it->kind == ImportStep::kDeleteKey) {
      deletedKeys.push_back(key);
      continue;
    }
    if (it->kind == ImportStep::kCreateKey) continue;
    if (!touched.insert({key, mivo::test::UpperAscii(it->name)}).second) continue;
    bool gone = false;
    for (const auto& d : deletedKeys) gone = gone || IsBelow(key, d);
    if (gone || it->kind != ImportStep::kSetValue) continue;

    mivo::test::RegKey opened;
    const LSTATUS status = opened.Open(it->key.root, it->key.subkey.c_str(), KEY_READ);
    Check(status == ERROR_SUCCESS, "an imported key opens", std::to_string(status));
    const mivo::test::RegValue value = mivo::test::ReadValue(opened, it->name.c_str());
    Check(value.status == ERROR_SUCCESS, "an imported value reads back", "line " + std::to_string(it->line));
    Check(value.type == it->type, "an imported value keeps its type", "line " + std::to_string(it->line));
    Check(value.bytes == it->data, "an imported value keeps its bytes", "line " + std::to_string(it->line));
  }
}

void Import(const std::string& bytes, const std::vector<ImportStep>& steps) {
  Env& env = TheEnv();
  env.hives.Clear();
  const std::string file = env.hives.File(kFileName);
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  const mivoctl::Command* reg = mivoctl::FindCommand("reg");
  Check(reg != nullptr, "the reg command is linked in");
  int code = 0;
  {
    mivo::test::Quiet quiet;
    code = mivoctl::RunCommand(*reg, {"import", file});
  }
  Check(code == mivoctl::kExitOk || code == mivoctl::kExitRefused, "import exit code", std::to_string(code));
  if (code == mivoctl::kExitOk) {
    CheckImported(steps);
  } else {
    Check(RootIsEmpty(HKEY_LOCAL_MACHINE) && RootIsEmpty(HKEY_CURRENT_USER),
          "a refused import changes nothing");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 64 * 1024) return -1;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<ImportStep> steps;
  try {
    steps = mivoctl::ParseRegFile(kFileName, mivoctl::DecodeRegFile(kFileName, bytes));
  } catch (const mivoctl::RegFileError& e) {
    const std::string what = e.what();
    Check(what.rfind(std::string(kFileName) + ":", 0) == 0, "a refusal names the file", what);
    return 0;
  }
  for (const auto& step : steps) CheckStep(step);
  if (steps.size() <= kMaxImportSteps) Import(bytes, steps);
  return 0;
}
