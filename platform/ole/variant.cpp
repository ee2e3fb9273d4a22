// VariantChangeType: the Automation conversion rules for the types the dispatch layer declares.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "platform/ole/afxdisp.h"
#include "platform/ole/oledate.h"

namespace mivo::ole {
namespace {

// A decimal number: (-1)^negative * digits * 10^exponent, digits without leading or trailing zeros
// (empty for zero).
struct Decimal {
  bool negative = false;
  std::string digits;
  long exponent = 0;
};

bool IsSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// [+|-] (digits [. [digits]] | . digits) [(e|E) [+|-] digits], the whole (trimmed) text.
bool ParseDecimal(std::u16string_view text, Decimal* out) {
  std::u16string_view s = Trim(text);
  Decimal d;
  std::size_t i = 0;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) d.negative = s[i++] == u'-';
  std::string mantissa;
  long point = -1;  // digits before the decimal point, -1 while none was seen
  std::size_t count = 0;
  for (; i < s.size(); ++i) {
    if (IsDigit(s[i])) {
      mantissa += static_cast<char>(s[i]);
      ++count;
    } else if (s[i] == u'.' && point < 0) {
      point = static_cast<long>(count);
    } else {
      break;
    }
  }
  if (count == 0) return false;
  if (point < 0) point = static_cast<long>(count);
  long exponent = 0;
  if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
    ++i;
    bool negative_exponent = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative_exponent = s[i++] == u'-';
    if (i >= s.size() || !IsDigit(s[i])) return false;
    for (; i < s.size() && IsDigit(s[i]); ++i) {
      if (exponent < 1'000'000) exponent = exponent * 10 + (s[i] - u'0');
    }
    if (negative_exponent) exponent = -exponent;
  }
  if (i != s.size()) return false;
  // value = mantissa * 10^(exponent - (count - point))
  exponent -= static_cast<long>(count) - point;
  std::size_t first = mantissa.find_first_not_of('0');
  if (first == std::string::npos) {
    mantissa.clear();
    exponent = 0;
  } else {
    mantissa.erase(0, first);
    const std::size_t last = mantissa.find_last_not_of('0');
    exponent += static_cast<long>(mantissa.size() - last - 1);
    mantissa.erase(last + 1);
  }
  d.digits = std::move(mantissa);
  d.exponent = exponent;
  *out = std::move(d);
  return true;
}

bool IsZero(const Decimal& d) { return d.digits.empty(); }

// The decimal rounded half to even, when it lies in [lo, hi].
HRESULT DecimalToInteger(const Decimal& d, std::int64_t lo, std::int64_t hi, std::int64_t* out) {
  if (IsZero(d)) {
    *out = 0;
    return S_OK;
  }
  const long int_digits = static_cast<long>(d.digits.size()) + d.exponent;
  if (int_digits > 18) return DISP_E_OVERFLOW;  // beyond every target's range
  std::int64_t magnitude = 0;
  for (long k = 0; k < int_digits; ++k) {
    const int digit =
        k < static_cast<long>(d.digits.size()) ? d.digits[static_cast<std::size_t>(k)] - '0' : 0;
    magnitude = magnitude * 10 + digit;
  }
  // The fraction: the digits from position int_digits on (zeros before the digits when int_digits < 0).
  if (int_digits >= 0 && int_digits < static_cast<long>(d.digits.size())) {
    const std::size_t f = static_cast<std::size_t>(int_digits);
    const char first = d.digits[f];
    const bool more = f + 1 < d.digits.size();  // digits carry no trailing zeros: more means non-zero
    if (first > '5' || (first == '5' && more) || (first == '5' && (magnitude & 1) != 0)) ++magnitude;
  }
  const std::int64_t value = d.negative ? -magnitude : magnitude;
  if (value < lo || value > hi) return DISP_E_OVERFLOW;
  *out = value;
  return S_OK;
}

HRESULT DecimalToDouble(const Decimal& d, double* out) {
  if (IsZero(d)) {
    *out = 0.0;
    return S_OK;
  }
  const std::string text = (d.negative ? "-" : "") + d.digits + "e" + std::to_string(d.exponent);
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // from_chars reports underflow the same way; a tiny value is zero, a huge one overflows.
    if (static_cast<long>(d.digits.size()) + d.exponent > 0) return DISP_E_OVERFLOW;
    *out = d.negative ? -0.0 : 0.0;
    return S_OK;
  }
  if (ec != std::errc() || end != text.data() + text.size()) return DISP_E_TYPEMISMATCH;
  *out = value;
  return S_OK;
}

double RoundHalfEven(double x) {
  const double f = std::floor(x);
  const double diff = x - f;
  if (diff > 0.5) return f + 1;
  if (diff < 0.5) return f;
  return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x - u'A' + u'a');
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y - u'A' + u'a');
    if (x != y) return false;
  }
  return true;
}

CString Ascii(std::string_view s) { return CString(s.begin(), s.end()); }

CString DoubleToText(double v) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  std::string s(buffer, ec == std::errc() ? end : buffer);
  for (char& c : s) {
    if (c == 'e') c = 'E';
  }
  return Ascii(s);
}

// The source value in one of a few kinds.
struct Source {
  enum Kind { kEmpty, kSigned, kUnsigned, kReal, kBool, kText } kind = kEmpty;
  std::int64_t s = 0;
  std::uint64_t u = 0;
  double r = 0;
  bool is_date = false;
  const BSTR* text = nullptr;
};

HRESULT Classify(const VARIANT& v, Source* out) {
  Source src;
  switch (v.vt) {
    case VT_EMPTY:
      src.kind = Source::kEmpty;
      break;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
      src.kind = Source::kSigned;
      src.s = v.llVal;
      break;
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
      src.kind = Source::kUnsigned;
      src.u = v.ullVal;
      break;
    case VT_R4:
    case VT_R8:
      src.kind = Source::kReal;
      src.r = v.dblVal;
      break;
    case VT_DATE:
      src.kind = Source::kReal;
      src.r = v.dblVal;
      src.is_date = true;
      break;
    case VT_BOOL:
      src.kind = Source::kBool;
      src.s = v.llVal != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VT_BSTR:
      src.kind = Source::kText;
      src.text = &v.bstrVal;
      break;
    case VT_BSTR | VT_BYREF:
      if (v.pbstrVal == nullptr) return DISP_E_TYPEMISMATCH;
      src.kind = Source::kText;
      src.text = v.pbstrVal;
      break;
    case VT_NULL:
    case VT_ERROR:
    case VT_CY:
    case VT_VARIANT:
      return DISP_E_TYPEMISMATCH;
    default:
      return DISP_E_BADVARTYPE;
  }
  *out = src;
  return S_OK;
}

HRESULT ToInteger(const Source& src, std::int64_t lo, std::int64_t hi, std::int64_t* out) {
  switch (src.kind) {
    case Source::kEmpty:
      *out = 0;
      return S_OK;
    case Source::kSigned:
    case Source::kBool:
      if (src.s < lo || src.s > hi) return DISP_E_OVERFLOW;
      *out = src.s;
      return S_OK;
    case Source::kUnsigned:
      if (src.u > static_cast<std::uint64_t>(hi)) return DISP_E_OVERFLOW;
      *out = static_cast<std::int64_t>(src.u);
      return S_OK;
    case Source::kReal: {
      if (std::isnan(src.r)) return DISP_E_OVERFLOW;
      const double r = RoundHalfEven(src.r);
      if (r < static_cast<double>(lo) || r > static_cast<double>(hi)) return DISP_E_OVERFLOW;
      *out = static_cast<std::int64_t>(r);
      return S_OK;
    }
    case Source::kText: {
      Decimal d;
      if (!*src.text || !ParseDecimal(**src.text, &d)) return DISP_E_TYPEMISMATCH;
      return DecimalToInteger(d, lo, hi, out);
    }
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ToDouble(const Source& src, double* out) {
  switch (src.kind) {
    case Source::kEmpty:
      *out = 0;
      return S_OK;
    case Source::kSigned:
    case Source::kBool:
      *out = static_cast<double>(src.s);
      return S_OK;
    case Source::kUnsigned:
      *out = static_cast<double>(src.u);
      return S_OK;
    case Source::kReal:
      *out = src.r;
      return S_OK;
    case Source::kText: {
      Decimal d;
      if (!*src.text || !ParseDecimal(**src.text, &d)) return DISP_E_TYPEMISMATCH;
      return DecimalToDouble(d, out);
    }
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ToBool(const Source& src, bool* out) {
  switch (src.kind) {
    case Source::kEmpty:
      *out = false;
      return S_OK;
    case Source::kSigned:
    case Source::kBool:
      *out = src.s != 0;
      return S_OK;
    case Source::kUnsigned:
      *out = src.u != 0;
      return S_OK;
    case Source::kReal:
      *out = src.r != 0;  // NaN is not zero
      return S_OK;
    case Source::kText: {
      if (!*src.text) return DISP_E_TYPEMISMATCH;
      const std::u16string_view t = Trim(**src.text);
      if (EqualsIgnoreCase(t, u"true")) {
        *out = true;
        return S_OK;
      }
      if (EqualsIgnoreCase(t, u"false")) {
        *out = false;
        return S_OK;
      }
      Decimal d;
      if (!ParseDecimal(t, &d)) return DISP_E_TYPEMISMATCH;
      *out = !IsZero(d);
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ToDate(const Source& src, DATE* out) {
  double value = 0;
  if (src.kind == Source::kText) {
    if (!*src.text) return DISP_E_TYPEMISMATCH;
    if (ParseDateText(Trim(**src.text), &value)) {
      *out = value;
      return S_OK;
    }
  }
  const HRESULT hr = ToDouble(src, &value);
  if (FAILED(hr)) return hr;
  if (!IsValidDate(value)) return DISP_E_OVERFLOW;
  *out = value;
  return S_OK;
}

HRESULT ToText(const Source& src, BSTR* out) {
  switch (src.kind) {
    case Source::kEmpty:
      *out = CString();
      return S_OK;
    case Source::kSigned:
    case Source::kBool:
      *out = Ascii(std::to_string(src.s));
      return S_OK;
    case Source::kUnsigned:
      *out = Ascii(std::to_string(src.u));
      return S_OK;
    case Source::kReal:
      if (src.is_date) {
        if (!IsValidDate(src.r)) return DISP_E_OVERFLOW;
        *out = FormatDate(src.r);
      } else {
        *out = DoubleToText(src.r);
      }
      return S_OK;
    case Source::kText:
      *out = *src.text;
      return S_OK;
  }
  return DISP_E_TYPEMISMATCH;
}

}  // namespace
}  // namespace mivo::ole

HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT /*wFlags*/, VARTYPE vt) {
  using namespace mivo::ole;
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  Source src;
  HRESULT hr = Classify(*pvarSrc, &src);
  if (FAILED(hr)) return hr;
  VARIANT result;
  switch (vt) {
    case VT_I2:
    case VT_I4: {
      const bool i2 = vt == VT_I2;
      std::int64_t v = 0;
      hr = ToInteger(src, i2 ? std::numeric_limits<SHORT>::min() : std::numeric_limits<LONG>::min(),
                     i2 ? std::numeric_limits<SHORT>::max() : std::numeric_limits<LONG>::max(), &v);
      if (FAILED(hr)) return hr;
      result = i2 ? VARIANT::I2(static_cast<SHORT>(v)) : VARIANT::I4(static_cast<LONG>(v));
      break;
    }
    case VT_R8: {
      double v = 0;
      hr = ToDouble(src, &v);
      if (FAILED(hr)) return hr;
      result = VARIANT::R8(v);
      break;
    }
    case VT_BOOL: {
      bool v = false;
      hr = ToBool(src, &v);
      if (FAILED(hr)) return hr;
      result = VARIANT::Bool(v);
      break;
    }
    case VT_DATE: {
      DATE v = 0;
      hr = ToDate(src, &v);
      if (FAILED(hr)) return hr;
      result = VARIANT::Date(v);
      break;
    }
    case VT_BSTR: {
      BSTR v;
      hr = ToText(src, &v);
      if (FAILED(hr)) return hr;
      result = v ? VARIANT::Bstr(std::move(*v)) : VARIANT::NullBstr();
      break;
    }
    default:
      return DISP_E_BADVARTYPE;
  }
  *pvargDest = std::move(result);
  return S_OK;
}
