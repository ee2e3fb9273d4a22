// COleVariant, and typed reading and binding of column values.
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/dao/dao_internal.h"

COleVariant::COleVariant(long value, VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      m_vt = vt;
      break;
    case VT_BOOL:
      m_vt = VT_BOOL;
      m_llVal = value != 0 ? -1 : 0;
      break;
    case VT_I2:
      m_vt = VT_I2;
      m_llVal = static_cast<std::int16_t>(value);
      break;
    default:
      m_vt = VT_I4;
      m_llVal = static_cast<std::int32_t>(value);
      break;
  }
}

COleVariant COleVariant::Double(double v) {
  COleVariant result;
  result.m_vt = VT_R8;
  result.m_dblVal = v;
  return result;
}

COleVariant COleVariant::Null() {
  COleVariant result;
  result.m_vt = VT_NULL;
  return result;
}

bool COleVariant::operator==(const COleVariant& other) const {
  if (m_vt != other.m_vt) return false;
  switch (m_vt) {
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
      return m_llVal == other.m_llVal;
    case VT_R8:
      return m_dblVal == other.m_dblVal;
    case VT_BSTR:
      return m_strVal == other.m_strVal;
    default:  // VT_EMPTY and VT_NULL equal nothing
      return false;
  }
}

namespace mivo::dao {
namespace {

bool Contains(const std::string& upper, const char* word) { return upper.find(word) != std::string::npos; }

CString Ascii(std::string_view s) { return CString(s.begin(), s.end()); }

CString DoubleText(double v) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
  return Ascii(std::string_view(buffer, result.ptr - buffer));
}

std::string TrimmedUtf8(const CString& text) {
  std::string s = AfxToUtf8(text);
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

std::optional<std::int64_t> ParseInteger(const CString& text) {
  const std::string s = TrimmedUtf8(text);
  std::int64_t v = 0;
  const char* begin = s.data();
  if (!s.empty() && s[0] == '+') ++begin;
  const auto result = std::from_chars(begin, s.data() + s.size(), v);
  if (s.empty() || result.ec != std::errc() || result.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<double> ParseDouble(const CString& text) {
  const std::string s = TrimmedUtf8(text);
  double v = 0;
  const char* begin = s.data();
  if (!s.empty() && s[0] == '+') ++begin;
  const auto result = std::from_chars(begin, s.data() + s.size(), v);
  if (s.empty() || result.ec != std::errc() || result.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

[[noreturn]] void DoesNotFit(const COleVariant& value, const CString& column) {
  ThrowEngine(kErrConversion, u"Data type conversion error: the value '" + TextOf(value) +
                                  u"' does not fit column '" + column + u"'.");
}

// The integer a value stands for, for an integer column; throws 3421 when it has none.
std::int64_t IntegerOf(const COleVariant& value, const CString& column) {
  switch (value.vt()) {
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
      return value.lVal();
    case VT_R8: {
      const double r = std::nearbyint(value.dblVal());
      if (!std::isfinite(r) || std::fabs(r) > 9.2e18) DoesNotFit(value, column);
      return static_cast<std::int64_t>(r);
    }
    case VT_BSTR:
      if (auto v = ParseInteger(value.bstrVal())) return *v;
      if (auto d = ParseDouble(value.bstrVal()); d && std::isfinite(*d) && std::fabs(*d) < 9.2e18) {
        return static_cast<std::int64_t>(std::nearbyint(*d));
      }
      break;
    default:
      break;
  }
  DoesNotFit(value, column);
}

}  // namespace

Kind KindOfDeclaredType(const char* declared) {
  if (declared == nullptr || *declared == '\0') return Kind::kUntyped;
  std::string upper(declared);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  if (Contains(upper, "CHAR") || Contains(upper, "TEXT") || Contains(upper, "CLOB") ||
      Contains(upper, "MEMO")) {
    return Kind::kText;
  }
  if (Contains(upper, "SMALLINT") || Contains(upper, "SHORT") || Contains(upper, "INT2")) return Kind::kShort;
  if (Contains(upper, "BOOLEAN") || Contains(upper, "BIT") || Contains(upper, "YESNO") ||
      Contains(upper, "LOGICAL")) {
    return Kind::kBool;
  }
  if (Contains(upper, "COUNTER") || Contains(upper, "INT") || Contains(upper, "LONG")) return Kind::kLong;
  if (Contains(upper, "REAL") || Contains(upper, "FLOAT") || Contains(upper, "DOUBLE")) return Kind::kDouble;
  return Kind::kUntyped;
}

COleVariant ReadColumn(sqlite3_stmt* stmt, int col, Kind kind, int storage) {
  if (storage == SQLITE_NULL) return COleVariant::Null();
  auto text = [&] {
    const auto* p = static_cast<const char16_t*>(sqlite3_column_text16(stmt, col));
    const int bytes = sqlite3_column_bytes16(stmt, col);
    return p == nullptr ? COleVariant(CString())
                        : COleVariant(CString(p, static_cast<std::size_t>(bytes) / 2));
  };
  auto wideInteger = [](std::int64_t v) {
    if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max()) {
      return COleVariant::Long(static_cast<std::int32_t>(v));
    }
    return COleVariant::Double(static_cast<double>(v));
  };
  if (kind == Kind::kText || storage == SQLITE_TEXT || storage == SQLITE_BLOB) return text();
  if (storage == SQLITE_FLOAT) return COleVariant::Double(sqlite3_column_double(stmt, col));
  // An integer value.
  const std::int64_t v = sqlite3_column_int64(stmt, col);
  switch (kind) {
    case Kind::kShort:
      if (v >= std::numeric_limits<std::int16_t>::min() && v <= std::numeric_limits<std::int16_t>::max()) {
        return COleVariant::Short(static_cast<std::int16_t>(v));
      }
      return COleVariant::Double(static_cast<double>(v));
    case Kind::kBool:
      return COleVariant::Bool(v != 0);
    case Kind::kDouble:
      return COleVariant::Double(static_cast<double>(v));
    default:
      return wideInteger(v);
  }
}

void BindValue(sqlite3_stmt* stmt, int index, const COleVariant& value) {
  switch (value.vt()) {
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
      sqlite3_bind_int64(stmt, index, value.lVal());
      break;
    case VT_R8:
      sqlite3_bind_double(stmt, index, value.dblVal());
      break;
    case VT_BSTR: {
      // SQLite takes a leading U+FEFF or U+FFFE of UTF-16 text for a byte order mark and drops it (or
      // swaps the bytes of the text); a mark of our own in front keeps such a text as it is.
      const CString& text = value.bstrVal();
      const bool marked = !text.empty() && (text[0] == 0xFEFF || text[0] == 0xFFFE);
      const CString bound = marked ? u'\uFEFF' + text : CString();
      const CString& what = marked ? bound : text;
      sqlite3_bind_text16(stmt, index, what.data(), static_cast<int>(what.size() * 2), SQLITE_TRANSIENT);
      break;
    }
    default:
      sqlite3_bind_null(stmt, index);
      break;
  }
}

CString TextOf(const COleVariant& value) {
  switch (value.vt()) {
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
      return Ascii(std::to_string(value.lVal()));
    case VT_R8:
      return DoubleText(value.dblVal());
    case VT_BSTR:
      return value.bstrVal();
    default:
      return CString();
  }
}

COleVariant CoerceToKind(const COleVariant& value, Kind kind, const CString& column) {
  if (value.vt() == VT_NULL || value.vt() == VT_EMPTY) return COleVariant::Null();
  switch (kind) {
    case Kind::kText:
      return COleVariant(TextOf(value));
    case Kind::kShort: {
      const std::int64_t v = IntegerOf(value, column);
      if (v < std::numeric_limits<std::int16_t>::min() || v > std::numeric_limits<std::int16_t>::max()) {
        DoesNotFit(value, column);
      }
      return COleVariant::Short(static_cast<std::int16_t>(v));
    }
    case Kind::kLong: {
      const std::int64_t v = IntegerOf(value, column);
      if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
        DoesNotFit(value, column);
      }
      return COleVariant::Long(static_cast<std::int32_t>(v));
    }
    case Kind::kBool:
      if (value.vt() == VT_R8) return COleVariant::Bool(value.dblVal() != 0);
      if (value.vt() == VT_BSTR) {
        std::string s = TrimmedUtf8(value.bstrVal());
        for (char& c : s) {
          if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        }
        if (s == "true" || s == "yes" || s == "on") return COleVariant::Bool(true);
        if (s == "false" || s == "no" || s == "off") return COleVariant::Bool(false);
      }
      return COleVariant::Bool(IntegerOf(value, column) != 0);
    case Kind::kDouble:
      if (value.vt() == VT_R8) return value;
      if (value.vt() == VT_BSTR) {
        if (auto d = ParseDouble(value.bstrVal())) return COleVariant::Double(*d);
        DoesNotFit(value, column);
      }
      return COleVariant::Double(value.lVal());
    case Kind::kUntyped:
      break;
  }
  return value;
}

}  // namespace mivo::dao
