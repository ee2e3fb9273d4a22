// The PostgreSQL engine's text handling: named parameters, the URI shown in messages, and values by type
// OID.
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>

#include "platform/dao/pg_internal.h"

namespace mivo::dao {
namespace {

// Type OIDs of pg_type.
enum : unsigned {
  kBoolOid = 16,
  kByteaOid = 17,
  kNameOid = 19,
  kInt8Oid = 20,
  kInt2Oid = 21,
  kInt4Oid = 23,
  kTextOid = 25,
  kFloat4Oid = 700,
  kFloat8Oid = 701,
  kBpcharOid = 1042,
  kVarcharOid = 1043,
  kTimestampOid = 1114,
  kNumericOid = 1700,
};

bool IsWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || (c & 0x80); }
bool IsWordChar(char c) { return IsWordStart(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '$'; }

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

PgSql TranslatePgSql(const std::string& sql) {
  PgSql out;
  const std::size_t n = sql.size();
  std::size_t i = 0;
  bool afterSemicolon = false;
  auto copy = [&](std::size_t from, std::size_t to) { out.text.append(sql, from, to - from); };
  while (i < n) {
    const char c = sql[i];
    const std::size_t start = i;
    const bool comment = (c == '-' || c == '/') && i + 1 < n && sql[i + 1] == (c == '-' ? '-' : '*');
    if (afterSemicolon && !std::isspace(static_cast<unsigned char>(c)) && !comment && c != ';') {
      out.one_statement = false;
    }
    if (c == '\'' ||
        ((c == 'E' || c == 'e') && i + 1 < n && sql[i + 1] == '\'' && (i == 0 || !IsWordChar(sql[i - 1])))) {
      const bool escapes = c != '\'';
      i += escapes ? 2 : 1;
      while (i < n) {
        if (escapes && sql[i] == '\\' && i + 1 < n) {
          i += 2;
        } else if (sql[i] == '\'') {
          if (i + 1 < n && sql[i + 1] == '\'') {
            i += 2;
          } else {
            ++i;
            break;
          }
        } else {
          ++i;
        }
      }
      copy(start, i);
    } else if (c == '"') {
      for (++i; i < n; ++i) {
        if (sql[i] == '"') {
          if (i + 1 < n && sql[i + 1] == '"') {
            ++i;
          } else {
            ++i;
            break;
          }
        }
      }
      copy(start, i);
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      while (i < n && sql[i] != '\n') ++i;
      copy(start, i);
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      int depth = 0;
      while (i < n) {
        if (sql.compare(i, 2, "/*") == 0) {
          ++depth;
          i += 2;
        } else if (sql.compare(i, 2, "*/") == 0) {
          i += 2;
          if (--depth == 0) break;
        } else {
          ++i;
        }
      }
      copy(start, i);
    } else if (c == '$' && (i == 0 || !IsWordChar(sql[i - 1]))) {
      // A dollar quote $tag$ ... $tag$ (a "$1" is a positional parameter and is kept as it is).
      std::size_t j = i + 1;
      while (j < n && (IsWordStart(sql[j]) || std::isdigit(static_cast<unsigned char>(sql[j])))) ++j;
      const bool tagged =
          j < n && sql[j] == '$' && !(j > i + 1 && std::isdigit(static_cast<unsigned char>(sql[i + 1])));
      if (tagged) {
        const std::string tag = sql.substr(i, j - i + 1);
        const std::size_t end = sql.find(tag, j + 1);
        i = end == std::string::npos ? n : end + tag.size();
      } else {
        i = j;
      }
      copy(start, i);
    } else if (c == ':' && i + 1 < n && sql[i + 1] == ':') {
      i += 2;
      copy(start, i);
    } else if (c == ':' && i + 1 < n && IsWordStart(sql[i + 1])) {
      std::size_t j = i + 1;
      while (j < n && IsWordChar(sql[j]) && sql[j] != '$') ++j;
      const std::string name = sql.substr(i + 1, j - i - 1);
      std::size_t index = 0;
      while (index < out.names.size() && !SameName(out.names[index].c_str(), name)) ++index;
      if (index == out.names.size()) out.names.push_back(name);
      out.text += "$" + std::to_string(index + 1);
      i = j;
    } else if (IsWordStart(c)) {
      while (i < n && IsWordChar(sql[i])) ++i;
      const std::string word = Upper(sql.substr(start, i - start));
      if (out.first_word.empty()) out.first_word = word;
      static const char* const kWriting[] = {"INSERT", "UPDATE", "DELETE", "MERGE",    "INTO",  "COPY",
                                             "CREATE", "DROP",   "ALTER",  "TRUNCATE", "GRANT", "CALL"};
      for (const char* w : kWriting) {
        if (word == w) out.writes = true;
      }
      copy(start, i);
    } else {
      if (c == ';') afterSemicolon = true;
      ++i;
      copy(start, i);
    }
  }
  return out;
}

std::string PgShownUri(const std::string& uri) {
  const std::size_t scheme = uri.find("://");
  if (scheme == std::string::npos) return uri;
  const std::size_t authorityStart = scheme + 3;
  std::size_t authorityEnd = uri.find_first_of("/?", authorityStart);
  if (authorityEnd == std::string::npos) authorityEnd = uri.size();
  std::string out = uri.substr(0, authorityStart);
  const std::string authority = uri.substr(authorityStart, authorityEnd - authorityStart);
  const std::size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string userinfo = authority.substr(0, at);
    out += userinfo.substr(0, userinfo.find(':')) + authority.substr(at);
  } else {
    out += authority;
  }
  const std::size_t query = uri.find('?', authorityEnd);
  out += uri.substr(authorityEnd, (query == std::string::npos ? uri.size() : query) - authorityEnd);
  if (query == std::string::npos) return out;
  // The query without its password parameter.
  std::string kept;
  std::size_t from = query + 1;
  while (from <= uri.size()) {
    std::size_t amp = uri.find('&', from);
    if (amp == std::string::npos) amp = uri.size();
    const std::string part = uri.substr(from, amp - from);
    if (Upper(part.substr(0, part.find('='))) != "PASSWORD" && !part.empty()) {
      kept += (kept.empty() ? "?" : "&") + part;
    }
    from = amp + 1;
  }
  return out + kept;
}

std::optional<std::string> PgParamText(const COleVariant& value) {
  switch (value.vt()) {
    case VT_NULL:
    case VT_EMPTY:
      return std::nullopt;
    case VT_BOOL:
      // "1" and "0" read as a boolean and as an integer alike.
      return std::string(value.lVal() != 0 ? "1" : "0");
    case VT_ARRAY | VT_UI1: {
      static const char kHex[] = "0123456789abcdef";
      std::string text = "\\x";
      for (unsigned char b : value.bytes()) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
      }
      return text;
    }
    case VT_CY: {
      const CString t = TextOf(value);
      return AfxToUtf8(t);
    }
    default:
      return AfxToUtf8(TextOf(value));
  }
}

Kind PgKindOfType(unsigned oid) {
  switch (oid) {
    case kTextOid:
    case kVarcharOid:
    case kBpcharOid:
    case kNameOid:
      return Kind::kText;
    case kInt2Oid:
      return Kind::kShort;
    case kBoolOid:
      return Kind::kBool;
    case kInt4Oid:
    case kInt8Oid:
      return Kind::kLong;
    case kFloat8Oid:
      return Kind::kDouble;
    case kFloat4Oid:
      return Kind::kSingle;
    case kNumericOid:
      return Kind::kDecimal;
    case kByteaOid:
      return Kind::kBinary;
    case kTimestampOid:
      return Kind::kDate;
    default:
      return Kind::kUntyped;
  }
}

COleVariant PgReadValue(const PGresult* res, int row, int col) {
  if (PQgetisnull(res, row, col)) return COleVariant::Null();
  const char* text = PQgetvalue(res, row, col);
  const std::size_t size = static_cast<std::size_t>(PQgetlength(res, row, col));
  const std::string_view value(text, size);
  auto asText = [&] { return COleVariant(AfxFromUtf8(std::string(value))); };
  auto integer = [&]() -> std::optional<std::int64_t> {
    std::int64_t v = 0;
    const auto r = std::from_chars(value.data(), value.data() + value.size(), v);
    if (r.ec != std::errc() || r.ptr != value.data() + value.size()) return std::nullopt;
    return v;
  };
  auto real = [&]() -> std::optional<double> {
    double v = 0;
    const auto r = std::from_chars(value.data(), value.data() + value.size(), v);
    if (r.ec == std::errc() && r.ptr == value.data() + value.size()) return v;
    if (value == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (value == "Infinity") return std::numeric_limits<double>::infinity();
    if (value == "-Infinity") return -std::numeric_limits<double>::infinity();
    return std::nullopt;
  };
  switch (PQftype(res, col)) {
    case kInt2Oid:
      if (auto v = integer()) return COleVariant::Short(static_cast<std::int16_t>(*v));
      break;
    case kBoolOid:
      return COleVariant::Bool(value == "t");
    case kInt4Oid:
    case kInt8Oid:
      if (auto v = integer()) {
        if (*v >= std::numeric_limits<std::int32_t>::min() &&
            *v <= std::numeric_limits<std::int32_t>::max()) {
          return COleVariant::Long(static_cast<std::int32_t>(*v));
        }
        return COleVariant::Double(static_cast<double>(*v));
      }
      break;
    case kFloat4Oid:
      if (auto v = real()) return COleVariant::Single(static_cast<float>(*v));
      break;
    case kFloat8Oid:
      if (auto v = real()) return COleVariant::Double(*v);
      break;
    case kNumericOid: {
      COleVariant v = COleVariant::Decimal(std::string(value));
      if (v.vt() == VT_DECIMAL) return v;
      break;
    }
    case kByteaOid:
      if (value.size() >= 2 && value[0] == '\\' && value[1] == 'x' && value.size() % 2 == 0) {
        std::string bytes;
        bytes.reserve((value.size() - 2) / 2);
        bool ok = true;
        for (std::size_t i = 2; i < value.size(); i += 2) {
          const int hi = HexDigit(value[i]), lo = HexDigit(value[i + 1]);
          if (hi < 0 || lo < 0) {
            ok = false;
            break;
          }
          bytes += static_cast<char>(hi * 16 + lo);
        }
        if (ok) return COleVariant::Binary(std::move(bytes));
      }
      break;
    case kTimestampOid:
      if (auto d = OleDateFromText(value)) return COleVariant::Date(*d);
      break;
    default:
      break;
  }
  return asText();
}

}  // namespace mivo::dao
