// Registry values as `mivoctl reg` shows and takes them (see regvalue.h).
#include "tools/mivoctl/regvalue.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

#include "platform/afx/afx.h"
#include "tools/mivoctl/mivoctl.h"
#include "tools/mivoctl/regfile.h"

namespace mivoctl {
namespace {

const char* TypeName(DWORD type) {
  static const char* const kNames[] = {"REG_NONE",
                                       "REG_SZ",
                                       "REG_EXPAND_SZ",
                                       "REG_BINARY",
                                       "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN",
                                       "REG_LINK",
                                       "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};
  return type < std::size(kNames) ? kNames[type] : nullptr;
}

std::string TypeLabel(DWORD type) {
  if (const char* name = TypeName(type)) return name;
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%X", type);
  return buffer;
}

std::string HexUpper(const std::string& data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : data) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

// The data column of `reg query`.
std::string FormatData(DWORD type, const std::string& data) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::u16string text = UnitsOf(data);
      text = text.substr(0, text.find(u'\0'));
      return AfxToUtf8(text);
    }
    case REG_MULTI_SZ: {
      std::u16string units = UnitsOf(data);
      while (!units.empty() && units.back() == u'\0') units.pop_back();
      std::string out;
      std::size_t start = 0;
      for (;;) {
        const std::size_t end = units.find(u'\0', start);
        out += AfxToUtf8(units.substr(start, end - start));
        if (end == std::u16string::npos) break;
        out += "\\0";
        start = end + 1;
      }
      return out;
    }
    case REG_DWORD:
    case REG_QWORD: {
      if (data.size() != (type == REG_DWORD ? 4U : 8U)) return HexUpper(data);
      std::uint64_t value = 0;
      for (std::size_t i = data.size(); i-- > 0;) value = (value << 8) | static_cast<unsigned char>(data[i]);
      char buffer[24];
      std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
      return buffer;
    }
    default:
      return HexUpper(data);
  }
}

// Decimal or 0x hexadecimal, at most `max`.
std::optional<std::uint64_t> ParseNumber(const std::string& text, std::uint64_t max) {
  if (text.empty()) return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    const unsigned base = hex ? 16 : 10;
    if (value > (max - static_cast<std::uint64_t>(digit)) / base) return std::nullopt;
    value = value * base + static_cast<std::uint64_t>(digit);
  }
  return value;
}

}  // namespace

[[noreturn]] void RegUsage(const std::string& message) { BadUsage(message + " (see mivoctl reg --help)"); }

std::string ValueName(const std::u16string& name) {
  return name.empty() ? std::string("(Default)") : AfxToUtf8(name);
}

std::string ValueLine(const std::u16string& name, DWORD type, const std::string& data) {
  return "    " + ValueName(name) + "    " + TypeLabel(type) + "    " + FormatData(type, data) + "\n";
}

std::optional<DWORD> ParseTypeName(const std::string& text) {
  for (DWORD type : {REG_SZ, REG_MULTI_SZ, REG_EXPAND_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE}) {
    if (EqualsNoCase(text, TypeName(type))) return type;
  }
  return std::nullopt;
}

std::string DataForAdd(DWORD type, const std::string& text, const std::string& separator) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return BytesOf(AfxFromUtf8(text) + u'\0');
    case REG_MULTI_SZ: {
      if (separator.empty()) RegUsage("the separator of /s must not be empty");
      std::u16string units;
      std::size_t start = 0;
      while (!text.empty()) {
        const std::size_t end = text.find(separator, start);
        units += AfxFromUtf8(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        units += u'\0';
        if (end == std::string::npos) break;
        start = end + separator.size();
      }
      units += u'\0';
      return BytesOf(units);
    }
    case REG_DWORD:
    case REG_QWORD: {
      const std::uint64_t max = type == REG_DWORD ? 0xFFFFFFFFULL : ~0ULL;
      const auto value = ParseNumber(text.empty() ? "0" : text, max);
      if (!value) {
        RegUsage("invalid " + std::string(TypeName(type)) + " data '" + text +
                 "': give a decimal number or 0x and hexadecimal digits");
      }
      std::string bytes(type == REG_DWORD ? 4 : 8, '\0');
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((*value >> (8 * i)) & 0xFF);
      return bytes;
    }
    default: {  // REG_BINARY, REG_NONE: hexadecimal digits
      if (text.size() % 2 != 0) RegUsage("binary data needs an even number of hexadecimal digits");
      std::string bytes;
      for (std::size_t i = 0; i < text.size(); i += 2) {
        const auto byte = ParseNumber("0x" + text.substr(i, 2), 0xFF);
        if (!byte) RegUsage("invalid binary data '" + text + "': give hexadecimal digits");
        bytes += static_cast<char>(*byte);
      }
      return bytes;
    }
  }
}

}  // namespace mivoctl
