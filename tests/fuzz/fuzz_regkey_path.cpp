// CRegKey::QueryPathValue: a path value and the values of HKEY_LOCAL_MACHINE\Software\Mivotec\Version,
// all from the input, against the promise of the header: a REG_SZ path (up to its first zero) whose text
// between the first and the last percent sign names a REG_SZ value of the version key; that value replaces
// the placeholder once. FALSE, and the out-argument untouched, for another type, a single percent sign or
// a placeholder that cannot be read.
//
// Input: a type byte and the path value's text, then up to 8 (type byte, name, text) values of the
// version key. Texts are UTF-8 or raw UTF-16 (see mivo::test::Reader).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/RegKey.h"
#include "platform/win32/winreg.h"
#include "tests/fuzz/support.h"

namespace {

using mivo::test::Check;

const CString kPathKey = u"Software\\Mivotec\\DataBase";
const CString kVersionKey = u"Software\\Mivotec\\Version";
const CString kValueName = u"Path";

struct Env {
  mivo::test::HiveSandbox hives{"machine.hive", "user.hive", mivo::test::FuzzTempBase()};
};

Env& TheEnv() { return mivo::test::TheOne<Env>(); }

// One of the types a settings value may have here; mostly REG_SZ.
DWORD TypeOf(std::uint8_t b) {
  switch (b % 8) {
    case 5:
      return REG_EXPAND_SZ;
    case 6:
      return REG_DWORD;
    case 7:
      return REG_BINARY;
    default:
      return REG_SZ;
  }
}

struct Value {
  DWORD type;
  std::string bytes;  // as stored
};

// The bytes a value of `type` gets from `text`: the UTF-16 text with a terminator; an odd type byte drops
// the terminator or a byte, as other writers of the hive may have done.
std::string BytesOf(const CString& text, std::uint8_t shape) {
  CString units = text;
  if ((shape & 0x10) == 0) units += u'\0';
  std::string bytes(reinterpret_cast<const char*>(units.data()), units.size() * 2);
  if ((shape & 0x20) != 0 && !bytes.empty()) bytes.pop_back();
  return bytes;
}

// The text a REG_SZ value reads as: its code units (an odd last byte is the low half of a unit) up to
// the first zero.
CString TextOf(const std::string& bytes) {
  CString units((bytes.size() + 1) / 2, u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    units[i / 2] =
        static_cast<char16_t>(units[i / 2] | (static_cast<unsigned char>(bytes[i]) << (8 * (i % 2))));
  }
  return units.substr(0, units.find(u'\0'));
}

void Set(HKEY root, const CString& key, const CString& name, const Value& v) {
  Check(mivo::test::SetValue(root, key.c_str(), name.c_str(), v.type, v.bytes) == ERROR_SUCCESS, "set value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return -1;
  Env& env = TheEnv();
  env.hives.Clear();
  mivo::test::Reader in(data, size);

  const std::uint8_t pathShape = in.Byte();
  const Value path{TypeOf(pathShape), BytesOf(in.WideField(512), pathShape)};
  // The version key's values by upper-cased name: the last one set wins, as names match without case.
  std::vector<std::pair<CString, Value>> version;
  for (int i = 0; i < 8 && !in.empty(); ++i) {
    const std::uint8_t shape = in.Byte();
    CString name = in.WideField(64);
    // Names the registry takes: no NUL inside (the API reads them zero-terminated).
    name = name.substr(0, name.find(u'\0'));
    version.push_back({name, Value{TypeOf(shape), BytesOf(in.WideField(512), shape)}});
  }

  Set(HKEY_CURRENT_USER, kPathKey, kValueName, path);
  for (const auto& [name, value] : version) Set(HKEY_LOCAL_MACHINE, kVersionKey, name, value);

  // What the header promises.
  std::optional<CString> expected;
  if (path.type == REG_SZ) {
    const CString text = TextOf(path.bytes);
    const std::size_t first = text.find(u'%'), last = text.rfind(u'%');
    if (first == CString::npos) {
      expected = text;
    } else if (first != last) {
      const CString wanted = mivo::test::UpperAscii(text.substr(first + 1, last - first - 1));
      const Value* found = nullptr;
      for (const auto& [name, value] : version) {
        if (mivo::test::UpperAscii(name) == wanted) found = &value;
      }
      if (found != nullptr && found->type == REG_SZ) {
        expected = text.substr(0, first) + TextOf(found->bytes) + text.substr(last + 1);
      }
    }
  }

  const CString untouched = u"\xFFFE-untouched";
  CString out = untouched;
  BOOL ok = FALSE;
  {
    mivo::test::Quiet quiet;
    const CRegKey key(HKEY_CURRENT_USER, kPathKey);
    Check(key.IsOpen(), "the key opens");
    ok = key.QueryPathValue(kValueName, out);
  }
  Check((ok != FALSE) == expected.has_value(), expected ? "the path expands" : "the path is refused");
  if (expected) {
    Check(out == *expected, "the expanded path", AfxToUtf8(out) + " != " + AfxToUtf8(*expected));
  } else {
    Check(out == untouched, "a refused path leaves the out-argument untouched");
  }
  return 0;
}
