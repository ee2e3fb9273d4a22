// The .reg file reader and writer of `mivoctl reg` (see regfile.h).
#include "tools/mivoctl/regfile.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/afx/afx.h"

namespace mivoctl {
namespace {

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

[[noreturn]] void BadLine(const std::string& file, int line, const std::string& why) {
  throw RegFileError(file + ":" + std::to_string(line) + ": " + why + "; nothing was imported");
}

}  // namespace

bool EqualsNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool EqualsNoCase(const std::string& a, const char* b) {
  return EqualsNoCase(AfxFromUtf8(a), AfxFromUtf8(b));
}

bool StartsWithNoCase(const std::u16string& text, std::size_t at, const char* prefix) {
  const std::u16string p = AfxFromUtf8(prefix);
  return text.size() - at >= p.size() && EqualsNoCase(text.substr(at, p.size()), p);
}

std::u16string TrimRight(std::u16string s) {
  while (!s.empty() && (IsSpace(s.back()) || s.back() == u'\r')) s.pop_back();
  return s;
}

std::size_t SkipSpaces(const std::u16string& s, std::size_t i) {
  while (i < s.size() && IsSpace(s[i])) ++i;
  return i;
}

bool HasLoneSurrogate(const std::u16string& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] >= 0xD800 && s[i] <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      ++i;
    } else if (IsSurrogate(s[i])) {
      return true;
    }
  }
  return false;
}

bool HasLineBreak(const std::u16string& s) {
  return s.find(u'\n') != std::u16string::npos || s.find(u'\r') != std::u16string::npos;
}

std::optional<std::u16string> DecodeUtf8(const std::string& bytes, std::size_t* badOffset) {
  std::u16string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    std::uint32_t cp = 0;
    int extra = 0;
    if (b < 0x80) {
      cp = b;
    } else if (b >= 0xC2 && b <= 0xDF) {
      cp = b & 0x1F;
      extra = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      cp = b & 0x0F;
      extra = 2;
    } else if (b >= 0xF0 && b <= 0xF4) {
      cp = b & 0x07;
      extra = 3;
    } else {
      *badOffset = i;
      return std::nullopt;
    }
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= bytes.size() || (static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) {
        *badOffset = i;
        return std::nullopt;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
    }
    const bool overlong = (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      *badOffset = i;
      return std::nullopt;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

std::u16string UnitsOf(const std::string& data) {
  std::u16string units(data.size() / 2, u'\0');
  std::memcpy(units.data(), data.data(), units.size() * 2);
  return units;
}

std::string BytesOf(const std::u16string& units) {
  return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

std::optional<KeyPath> ParseKeyPath(const std::u16string& text) {
  const std::size_t slash = text.find(u'\\');
  const std::u16string root = text.substr(0, slash);
  KeyPath path;
  if (EqualsNoCase(root, u"HKLM") || EqualsNoCase(root, u"HKEY_LOCAL_MACHINE")) {
    path.root = HKEY_LOCAL_MACHINE;
    path.root_name = u"HKEY_LOCAL_MACHINE";
  } else if (EqualsNoCase(root, u"HKCU") || EqualsNoCase(root, u"HKEY_CURRENT_USER")) {
    path.root = HKEY_CURRENT_USER;
    path.root_name = u"HKEY_CURRENT_USER";
  } else {
    return std::nullopt;
  }
  std::u16string rest = slash == std::u16string::npos ? u"" : text.substr(slash + 1);
  while (!rest.empty() && rest.back() == u'\\') rest.pop_back();
  while (!rest.empty() && rest.front() == u'\\') rest.erase(0, 1);
  path.subkey = rest;
  return path;
}

std::u16string DecodeRegFile(const std::string& file, const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) BadLine(file, 1, "UTF-16 text with an odd number of bytes");
    return UnitsOf(bytes.substr(2));
  }
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
      static_cast<unsigned char>(bytes[1]) == 0xFF) {
    BadLine(file, 1, "UTF-16 big-endian text is not supported");
  }
  const std::size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  std::size_t bad = 0;
  auto text = DecodeUtf8(bytes.substr(skip), &bad);
  if (!text) {
    const auto line =
        1 + std::count(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(skip + bad), '\n');
    BadLine(file, static_cast<int>(line), "invalid UTF-8");
  }
  return *text;
}

namespace {

// Reads a quoted string starting at s[i] == '"' with \\ and \" escapes; i ends after the closing quote.
std::optional<std::u16string> ReadQuoted(const std::u16string& s, std::size_t& i) {
  std::u16string out;
  for (++i; i < s.size(); ++i) {
    if (s[i] == u'"') {
      ++i;
      return out;
    }
    if (s[i] == u'\\') {
      if (i + 1 >= s.size() || (s[i + 1] != u'\\' && s[i + 1] != u'"')) return std::nullopt;
      ++i;
    }
    out += s[i];
  }
  return std::nullopt;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// "xx,xx,..." (whitespace allowed around the bytes); nullopt when malformed.
std::optional<std::string> ParseHexList(const std::u16string& s) {
  std::string bytes;
  std::size_t i = SkipSpaces(s, 0);
  if (i == s.size()) return bytes;
  for (;;) {
    i = SkipSpaces(s, i);
    int value = 0, digits = 0;
    while (i < s.size() && HexDigit(s[i]) >= 0 && digits < 2) {
      value = value * 16 + HexDigit(s[i++]);
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    bytes += static_cast<char>(value);
    i = SkipSpaces(s, i);
    if (i == s.size()) return bytes;
    if (s[i] != u',') return std::nullopt;
    ++i;
  }
}

}  // namespace

std::vector<ImportStep> ParseRegFile(const std::string& file, const std::u16string& text) {
  std::vector<std::u16string> lines;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(u'\n', start);
    std::u16string line =
        text.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    lines.push_back(std::move(line));
    if (end == std::u16string::npos) break;
    start = end + 1;
  }
  const std::u16string header = TrimRight(lines[0]);
  bool unicode = true;
  if (header == u"Windows Registry Editor Version 5.00") {
    unicode = true;
  } else if (header == u"REGEDIT4") {
    unicode = false;
  } else {
    BadLine(file, 1,
            "not a registry file: the first line must be \"Windows Registry Editor Version 5.00\" or "
            "\"REGEDIT4\"");
  }

  std::vector<ImportStep> steps;
  std::optional<KeyPath> current;
  bool currentDeleted = false;
  for (std::size_t n = 1; n < lines.size(); ++n) {
    const int lineNo = static_cast<int>(n) + 1;
    std::u16string line = lines[n];
    std::size_t i = SkipSpaces(line, 0);
    if (i == line.size() || line[i] == u';') continue;

    if (line[i] == u'[') {
      const std::u16string trimmed = TrimRight(line);
      if (trimmed.back() != u']') BadLine(file, lineNo, "a key line must end with ]");
      std::u16string name = trimmed.substr(i + 1, trimmed.size() - i - 2);
      const bool remove = !name.empty() && name[0] == u'-';
      if (remove) name.erase(0, 1);
      auto key = ParseKeyPath(name);
      if (!key) {
        BadLine(file, lineNo,
                "key " + AfxToUtf8(name) + " is outside HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER");
      }
      key->line = lineNo;
      // The registry takes names up to their first zero: "[-HKCU\<NUL>x]" would delete the whole root.
      if (key->subkey.find(u'\0') != std::u16string::npos)
        BadLine(file, lineNo, "a key name cannot hold a NUL");
      if (remove && key->subkey.empty()) BadLine(file, lineNo, "a root key cannot be deleted");
      steps.push_back({remove ? ImportStep::kDeleteKey : ImportStep::kCreateKey, *key, u"", 0, "", lineNo});
      current = *key;
      currentDeleted = remove;
      continue;
    }

    if (line[i] != u'"' && line[i] != u'@') BadLine(file, lineNo, "expected [KEY], \"name\"=... or @=...");
    if (!current) BadLine(file, lineNo, "a value before the first [KEY]");
    if (currentDeleted) BadLine(file, lineNo, "a value below a key that is being deleted");
    ImportStep step{ImportStep::kSetValue, *current, u"", 0, "", lineNo};
    if (line[i] == u'@') {
      ++i;
    } else {
      auto name = ReadQuoted(line, i);
      if (!name) BadLine(file, lineNo, "a value name must be quoted, with \\\\ and \\\" as its only escapes");
      if (name->find(u'\0') != std::u16string::npos) BadLine(file, lineNo, "a value name cannot hold a NUL");
      step.name = *name;
    }
    i = SkipSpaces(line, i);
    if (i == line.size() || line[i] != u'=') BadLine(file, lineNo, "expected = after the value name");
    i = SkipSpaces(line, i + 1);

    const std::u16string rest = TrimRight(line.substr(i));
    if (rest == u"-") {
      step.kind = ImportStep::kDeleteValue;
    } else if (!rest.empty() && rest[0] == u'"') {
      std::size_t j = 0;
      auto value = ReadQuoted(rest, j);
      if (!value || j != rest.size()) {
        BadLine(file, lineNo,
                "a text value must be one quoted string, with \\\\ and \\\" as its only escapes");
      }
      step.type = REG_SZ;
      step.data = BytesOf(*value + u'\0');
    } else if (StartsWithNoCase(rest, 0, "dword:")) {
      const std::u16string digits = rest.substr(6);
      std::uint32_t value = 0;
      if (digits.empty() || digits.size() > 8)
        BadLine(file, lineNo, "dword: needs 1 to 8 hexadecimal digits");
      for (char16_t c : digits) {
        if (HexDigit(c) < 0) BadLine(file, lineNo, "dword: needs 1 to 8 hexadecimal digits");
        value = value * 16 + static_cast<std::uint32_t>(HexDigit(c));
      }
      step.type = REG_DWORD;
      step.data = std::string(4, '\0');
      for (int b = 0; b < 4; ++b) step.data[b] = static_cast<char>((value >> (8 * b)) & 0xFF);
    } else if (StartsWithNoCase(rest, 0, "hex")) {
      std::size_t j = 3;
      step.type = REG_BINARY;
      if (j < rest.size() && rest[j] == u'(') {
        const std::size_t close = rest.find(u')', j);
        if (close == std::u16string::npos || close == j + 1 || close - j - 1 > 8) {
          BadLine(file, lineNo, "hex(TYPE): needs a hexadecimal type");
        }
        std::uint32_t type = 0;
        for (std::size_t k = j + 1; k < close; ++k) {
          if (HexDigit(rest[k]) < 0) BadLine(file, lineNo, "hex(TYPE): needs a hexadecimal type");
          type = type * 16 + static_cast<std::uint32_t>(HexDigit(rest[k]));
        }
        step.type = type;
        j = close + 1;
      }
      if (j >= rest.size() || rest[j] != u':') BadLine(file, lineNo, "expected : after hex");
      // The bytes, continued over the following lines while a line ends with a backslash.
      std::u16string list = rest.substr(j + 1);
      while (!list.empty() && list.back() == u'\\') {
        list.pop_back();
        if (++n >= lines.size()) BadLine(file, lineNo, "the file ends inside a continued value");
        list += TrimRight(lines[n].substr(SkipSpaces(lines[n], 0)));
      }
      auto bytes = ParseHexList(list);
      if (!bytes) BadLine(file, lineNo, "malformed hexadecimal bytes (expected xx,xx,...)");
      step.data = *bytes;
      if (!unicode && (step.type == REG_EXPAND_SZ || step.type == REG_MULTI_SZ)) {
        // REGEDIT4 keeps these texts 8-bit; this system's 8-bit text is UTF-8.
        std::size_t bad = 0;
        auto wide = DecodeUtf8(step.data, &bad);
        if (!wide) BadLine(file, lineNo, "invalid UTF-8 in the text bytes");
        step.data = BytesOf(*wide);
      }
    } else {
      BadLine(file, lineNo, "unknown value data (expected \"text\", dword:, hex:, hex(TYPE): or -)");
    }
    steps.push_back(std::move(step));
  }
  return steps;
}

namespace {

constexpr std::size_t kHexWrapColumn = 77;  // as the registry editor: lines stay within 80 columns

std::u16string EscapeQuoted(const std::u16string& text) {
  std::u16string out = u"\"";
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out += u'\\';
    out += c;
  }
  return out + u"\"";
}

// A REG_SZ that a quoted string reproduces exactly: text, one terminating zero, nothing a line can't hold.
bool IsPlainString(const std::string& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  const std::u16string units = UnitsOf(data);
  if (units.back() != u'\0') return false;
  const std::u16string text = units.substr(0, units.size() - 1);
  return text.find(u'\0') == std::u16string::npos && !HasLineBreak(text) && !HasLoneSurrogate(text);
}

}  // namespace

RegFileWriter::RegFileWriter(bool utf8)
    : utf8_(utf8),
      newline_(utf8 ? u"\n" : u"\r\n"),
      text_(u"Windows Registry Editor Version 5.00" + newline_) {}

void RegFileWriter::Key(const std::u16string& full) {
  if (HasLineBreak(full) || (utf8_ && HasLoneSurrogate(full))) {
    throw RegFileError("key " + AfxToUtf8(full) + " has a name a .reg file cannot hold");
  }
  key_ = full;
  text_ += newline_ + u"[" + full + u"]" + newline_;
}

void RegFileWriter::Value(const std::u16string& name, DWORD type, const std::string& data) {
  if (HasLineBreak(name) || (utf8_ && HasLoneSurrogate(name))) {
    throw RegFileError("a value name in " + AfxToUtf8(key_) + " cannot be written to a .reg file");
  }
  std::u16string line = name.empty() ? u"@" : EscapeQuoted(name);
  line += u'=';
  if (type == REG_SZ && IsPlainString(data)) {
    const std::u16string units = UnitsOf(data);
    text_ += line + EscapeQuoted(units.substr(0, units.size() - 1)) + newline_;
    return;
  }
  if (type == REG_DWORD && data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<unsigned char>(data[i]);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "dword:%08x", number);
    text_ += line + AfxFromUtf8(buffer) + newline_;
    return;
  }
  if (type == REG_BINARY) {
    line += u"hex:";
  } else {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "hex(%x):", type);
    line += AfxFromUtf8(buffer);
  }
  static const char16_t kDigits[] = u"0123456789abcdef";
  std::size_t column = line.size();
  for (std::size_t i = 0; i < data.size(); ++i) {
    const auto b = static_cast<unsigned char>(data[i]);
    line += kDigits[b >> 4];
    line += kDigits[b & 0xF];
    if (i + 1 == data.size()) break;
    line += u',';
    column += 3;
    if (column >= kHexWrapColumn) {
      line += u"\\" + newline_ + u"  ";
      column = 2;
    }
  }
  text_ += line + newline_;
}

std::string RegFileWriter::Bytes() const {
  const std::u16string text = text_ + newline_;
  return utf8_ ? AfxToUtf8(text) : "\xFF\xFE" + BytesOf(text);
}

}  // namespace mivoctl
