// COleVariant, and typed reading and binding of column values.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/dao/sqlite_internal.h"

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

COleVariant COleVariant::Byte(std::uint8_t v) {
  COleVariant result;
  result.m_vt = VT_UI1;
  result.m_llVal = v;
  return result;
}

COleVariant COleVariant::LongLong(std::int64_t v) {
  COleVariant result;
  result.m_vt = VT_I8;
  result.m_llVal = v;
  return result;
}

COleVariant COleVariant::Single(float v) {
  COleVariant result;
  result.m_vt = VT_R4;
  result.m_dblVal = v;
  return result;
}

COleVariant COleVariant::Currency(std::int64_t scaledBy10000) {
  COleVariant result;
  result.m_vt = VT_CY;
  result.m_llVal = scaledBy10000;
  return result;
}

COleVariant COleVariant::Decimal(const std::string& text) {
  // [-]digits[.digits]
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  const std::size_t intStart = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  const std::size_t intEnd = i;
  std::size_t fracStart = i, fracEnd = i;
  if (i < text.size() && text[i] == '.') {
    fracStart = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    fracEnd = i;
  }
  if (i != text.size() || (intEnd == intStart && fracEnd == fracStart)) {
    return COleVariant(AfxFromUtf8(text));
  }
  std::string digits = text.substr(intStart, intEnd - intStart);
  const std::size_t nonZero = digits.find_first_not_of('0');
  digits = nonZero == std::string::npos ? "0" : digits.substr(nonZero);
  const std::string fraction = text.substr(fracStart, fracEnd - fracStart);
  const bool zero = digits == "0" && fraction.find_first_not_of('0') == std::string::npos;
  COleVariant result;
  result.m_vt = VT_DECIMAL;
  result.m_bytes = (negative && !zero ? "-" : "") + digits + (fraction.empty() ? "" : "." + fraction);
  return result;
}

COleVariant COleVariant::Date(double oleDate) {
  COleVariant result;
  result.m_vt = VT_DATE;
  result.m_dblVal = oleDate;
  return result;
}

COleVariant COleVariant::Binary(std::string bytes) {
  COleVariant result;
  result.m_vt = VT_ARRAY | VT_UI1;
  result.m_bytes = std::move(bytes);
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
    case VT_UI1:
    case VT_I8:
    case VT_CY:
      return m_llVal == other.m_llVal;
    case VT_R4:
    case VT_DATE:
      return m_dblVal == other.m_dblVal;
    case VT_DECIMAL:
    case VT_ARRAY | VT_UI1:
      return m_bytes == other.m_bytes;
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

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2);
}

constexpr std::int64_t kOleEpoch = DaysFromCivil(1899, 12, 30);
constexpr std::int64_t kFirstDay = DaysFromCivil(1, 1, 1) - kOleEpoch;
constexpr std::int64_t kLastDay = DaysFromCivil(9999, 12, 31) - kOleEpoch;

// "-12.34" from 1234 and scale 2.
std::string ScaledText(std::int64_t v, int scale) {
  const bool negative = v < 0;
  std::string digits = std::to_string(v);
  if (negative) digits.erase(0, 1);
  if (scale <= 0) return (negative ? "-" : "") + digits;
  if (digits.size() <= static_cast<std::size_t>(scale)) {
    digits.insert(0, static_cast<std::size_t>(scale) + 1 - digits.size(), '0');
  }
  digits.insert(digits.size() - static_cast<std::size_t>(scale), 1, '.');
  return (negative ? "-" : "") + digits;
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
    case VT_UI1:
    case VT_I8:
      return value.cyVal();
    case VT_R4:
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

std::optional<std::string> OleDateText(double oleDate) {
  if (!std::isfinite(oleDate) || oleDate < static_cast<double>(kFirstDay) - 1 ||
      oleDate > static_cast<double>(kLastDay) + 1) {
    return std::nullopt;
  }
  std::int64_t day = static_cast<std::int64_t>(std::trunc(oleDate));
  std::int64_t seconds = std::llround(std::fabs(oleDate - static_cast<double>(day)) * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++day;
  }
  if (day < kFirstDay || day > kLastDay) return std::nullopt;
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(day + kOleEpoch, &y, &m, &d);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(y), m, d,
                static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                static_cast<int>(seconds % 60));
  return std::string(buffer);
}

std::optional<double> OleDateFromText(std::string_view text) {
  auto number = [&](std::size_t at, std::size_t digits, int* out) {
    if (at + digits > text.size()) return false;
    int v = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      v = v * 10 + (text[i] - '0');
    }
    *out = v;
    return true;
  };
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  if (!number(0, 4, &y) || text.size() < 10 || text[4] != '-' || !number(5, 2, &mo) || text[7] != '-' ||
      !number(8, 2, &d)) {
    return std::nullopt;
  }
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap)) {
    return std::nullopt;
  }
  double fraction = 0;
  if (text.size() > 10) {
    if ((text[10] != ' ' && text[10] != 'T') || !number(11, 2, &h) || text.size() < 16 || text[13] != ':' ||
        !number(14, 2, &mi)) {
      return std::nullopt;
    }
    std::size_t at = 16;
    if (at < text.size()) {
      if (text[at] != ':' || !number(at + 1, 2, &sec)) return std::nullopt;
      at += 3;
      if (at < text.size()) {
        if (text[at] != '.' || at + 1 == text.size()) return std::nullopt;
        double scale = 0.1;
        for (++at; at < text.size(); ++at, scale /= 10) {
          if (text[at] < '0' || text[at] > '9') return std::nullopt;
          fraction += (text[at] - '0') * scale;
        }
      }
    }
    if (h > 23 || mi > 59 || sec > 59) return std::nullopt;
  }
  const double day =
      static_cast<double>(DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) - kOleEpoch);
  const double time = (h * 3600 + mi * 60 + sec + fraction) / 86400.0;
  return day < 0 ? day - time : day + time;
}

int DecimalScaleOf(const char* declared) {
  if (declared == nullptr) return 0;
  const char* comma = std::strchr(declared, ',');
  if (comma == nullptr) return 0;
  int scale = 0;
  for (const char* p = comma + 1; *p != '\0'; ++p) {
    if (*p == ' ') continue;
    if (*p < '0' || *p > '9') break;
    scale = scale * 10 + (*p - '0');
    if (scale > 28) return 28;
  }
  return scale;
}

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
  // The Access types, which none of the rules above take.
  if (Contains(upper, "DATETIME2") || Contains(upper, "GUID")) return Kind::kText;
  if (Contains(upper, "DATETIME")) return Kind::kDate;
  if (Contains(upper, "CURRENCY")) return Kind::kCurrency;
  if (Contains(upper, "DECIMAL")) return Kind::kDecimal;
  if (Contains(upper, "SINGLE")) return Kind::kSingle;
  if (Contains(upper, "BYTE")) return Kind::kByte;
  if (Contains(upper, "VARBINARY") || Contains(upper, "OLEOBJECT")) return Kind::kBinary;
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
  auto bytes = [&] {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt, col));
    const int n = sqlite3_column_bytes(stmt, col);
    return p == nullptr ? std::string() : std::string(p, static_cast<std::size_t>(n));
  };
  switch (kind) {
    case Kind::kByte:
      if (storage == SQLITE_INTEGER) {
        const std::int64_t v = sqlite3_column_int64(stmt, col);
        if (v >= 0 && v <= 255) return COleVariant::Byte(static_cast<std::uint8_t>(v));
      }
      break;
    case Kind::kSingle:
      if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT) {
        return COleVariant::Single(static_cast<float>(sqlite3_column_double(stmt, col)));
      }
      break;
    case Kind::kCurrency:
      if (storage == SQLITE_INTEGER) return COleVariant::Currency(sqlite3_column_int64(stmt, col));
      if (storage == SQLITE_FLOAT) {
        const double scaled = std::nearbyint(sqlite3_column_double(stmt, col) * 10000.0);
        if (std::isfinite(scaled) && std::fabs(scaled) < 9.2e18) {
          return COleVariant::Currency(static_cast<std::int64_t>(scaled));
        }
      }
      break;
    case Kind::kDecimal:
      if (storage == SQLITE_INTEGER) {
        return COleVariant::Decimal(
            ScaledText(sqlite3_column_int64(stmt, col), DecimalScaleOf(sqlite3_column_decltype(stmt, col))));
      }
      if (storage == SQLITE_BLOB || storage == SQLITE_TEXT) {
        COleVariant v = COleVariant::Decimal(bytes());
        if (v.vt() == VT_DECIMAL) return v;
      }
      break;
    case Kind::kDate:
      // Only a date's text: numbers read by their storage class, as they did before the Access types.
      if (storage == SQLITE_TEXT) {
        if (auto d = OleDateFromText(bytes())) return COleVariant::Date(*d);
      }
      break;
    case Kind::kBinary:
      if (storage == SQLITE_BLOB) return COleVariant::Binary(bytes());
      break;
    default:
      break;
  }
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
    case VT_R4:
      sqlite3_bind_double(stmt, index, value.dblVal());
      break;
    case VT_UI1:
    case VT_I8:
    case VT_CY:  // as stored: scaled by 10000
      sqlite3_bind_int64(stmt, index, value.cyVal());
      break;
    case VT_DATE:
      if (auto text = OleDateText(value.date())) {
        sqlite3_bind_text(stmt, index, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_double(stmt, index, value.date());
      }
      break;
    case VT_DECIMAL:  // its exact text, kept from conversion as a BLOB
    case VT_ARRAY | VT_UI1:
      sqlite3_bind_blob(stmt, index, value.bytes().data(), static_cast<int>(value.bytes().size()),
                        SQLITE_TRANSIENT);
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
    case VT_R4:
      return DoubleText(value.dblVal());
    case VT_BSTR:
      return value.bstrVal();
    case VT_UI1:
    case VT_I8:
      return Ascii(std::to_string(value.cyVal()));
    case VT_CY:
      return Ascii(ScaledText(value.cyVal(), 4));
    case VT_DECIMAL:
      return Ascii(value.decimalText());
    case VT_DATE:
      if (auto text = OleDateText(value.date())) return Ascii(*text);
      return DoubleText(value.date());
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
    case Kind::kByte: {
      const std::int64_t v = IntegerOf(value, column);
      if (v < 0 || v > 255) DoesNotFit(value, column);
      return COleVariant::Byte(static_cast<std::uint8_t>(v));
    }
    case Kind::kSingle:
      return COleVariant::Single(static_cast<float>(CoerceToKind(value, Kind::kDouble, column).dblVal()));
    case Kind::kCurrency: {
      if (value.vt() == VT_CY) return value;
      const double v = CoerceToKind(value, Kind::kDouble, column).dblVal();
      const double scaled = std::nearbyint(v * 10000.0);
      if (!std::isfinite(scaled) || std::fabs(scaled) > 9.2e18) DoesNotFit(value, column);
      return COleVariant::Currency(static_cast<std::int64_t>(scaled));
    }
    case Kind::kDecimal: {
      if (value.vt() == VT_DECIMAL) return value;
      COleVariant v = COleVariant::Decimal(TrimmedUtf8(TextOf(value)));
      if (v.vt() != VT_DECIMAL) DoesNotFit(value, column);
      return v;
    }
    case Kind::kDate:
      if (value.vt() == VT_DATE) return value;
      if (value.vt() == VT_BSTR) {
        if (auto d = OleDateFromText(TrimmedUtf8(value.bstrVal()))) return COleVariant::Date(*d);
        DoesNotFit(value, column);
      }
      return COleVariant::Date(CoerceToKind(value, Kind::kDouble, column).dblVal());
    case Kind::kBinary:
      if (value.vt() == (VT_ARRAY | VT_UI1)) return value;
      if (value.vt() == VT_BSTR) return COleVariant::Binary(AfxToUtf8(value.bstrVal()));
      DoesNotFit(value, column);
    case Kind::kUntyped:
      break;
  }
  return value;
}

}  // namespace mivo::dao
