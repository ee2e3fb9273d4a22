// Argument words of mivoctl call and the text form of results.
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "platform/ole/client.h"

namespace mivo::ole {
namespace {

[[noreturn]] void Bad(const std::string& word, const std::string& why) {
  throw std::invalid_argument("bad argument '" + word + "': " + why);
}

template <class T>
T ParseInteger(const std::string& word, const std::string& text) {
  T value{};
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (begin != end && *begin == '+') ++begin;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec == std::errc::result_out_of_range) Bad(word, "out of range");
  if (ec != std::errc() || ptr != end || begin == end) Bad(word, "not an integer");
  return value;
}

double ParseDouble(const std::string& word, const std::string& text) {
  // The invariant number form of the runtime (no locale): let the runtime's own conversion decide.
  VARIANT src = VARIANT::Bstr(AfxFromUtf8(text));
  VARIANT out;
  const HRESULT hr = VariantChangeType(&out, &src, 0, VT_R8);
  if (FAILED(hr)) Bad(word, "not a number");
  return out.dblVal;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

VARIANT ParseArgumentWord(const std::string& word, std::vector<std::unique_ptr<BSTR>>& ref_storage) {
  const std::size_t colon = word.find(':');
  if (colon == std::string::npos) return VARIANT::Bstr(AfxFromUtf8(word));
  const std::string type = Lower(word.substr(0, colon));
  const std::string value = word.substr(colon + 1);
  if (type == "str") return VARIANT::Bstr(AfxFromUtf8(value));
  if (type == "ref") {
    ref_storage.push_back(std::make_unique<BSTR>(AfxFromUtf8(value)));
    return VARIANT::ByRefBstr(ref_storage.back().get());
  }
  if (type == "i2") return VARIANT::I2(ParseInteger<std::int16_t>(word, value));
  if (type == "i4") return VARIANT::I4(ParseInteger<std::int32_t>(word, value));
  if (type == "i8") return VARIANT::I8(ParseInteger<std::int64_t>(word, value));
  if (type == "ui1") return VARIANT::UI1(ParseInteger<std::uint8_t>(word, value));
  if (type == "ui2") return VARIANT::UI2(ParseInteger<std::uint16_t>(word, value));
  if (type == "ui4") return VARIANT::UI4(ParseInteger<std::uint32_t>(word, value));
  if (type == "ui8") return VARIANT::UI8(ParseInteger<std::uint64_t>(word, value));
  if (type == "r8") return VARIANT::R8(ParseDouble(word, value));
  if (type == "bool") {
    const std::string v = Lower(value);
    if (v == "true" || v == "1") return VARIANT::Bool(true);
    if (v == "false" || v == "0") return VARIANT::Bool(false);
    Bad(word, "not true or false");
  }
  if (type == "date") {
    VARIANT src = VARIANT::Bstr(AfxFromUtf8(value));
    VARIANT out;
    if (FAILED(VariantChangeType(&out, &src, 0, VT_DATE))) Bad(word, "not a date (YYYY-MM-DD [HH:MM[:SS]])");
    return out;
  }
  if (type == "null" || type == "empty" || type == "nullstr") {
    if (!value.empty()) Bad(word, "takes no value");
    if (type == "null") return VARIANT::Null();
    if (type == "empty") return VARIANT::Empty();
    return VARIANT::NullBstr();
  }
  // Not a typed form: the whole word is text ("http://...", "a:b").
  return VARIANT::Bstr(AfxFromUtf8(word));
}

std::string FormatVariant(const VARIANT& value) {
  switch (value.vt) {
    case VT_EMPTY:
      return "(empty)";
    case VT_NULL:
      return "(null)";
    case VT_BOOL:
      return value.llVal != 0 ? "true" : "false";
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
      return std::to_string(value.llVal);
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
      return std::to_string(value.ullVal);
    case VT_BSTR:
      return value.bstrVal ? AfxToUtf8(*value.bstrVal) : "(null)";
    case VT_BSTR | VT_BYREF:
      return value.pbstrVal && *value.pbstrVal ? AfxToUtf8(**value.pbstrVal) : "(null)";
    case VT_R4:
    case VT_R8:
    case VT_DATE: {
      VARIANT text;
      if (SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR)) && text.bstrVal)
        return AfxToUtf8(*text.bstrVal);
      return std::isnan(value.dblVal) ? "NaN" : std::to_string(value.dblVal);
    }
    default:
      return "(type " + std::to_string(value.vt) + ")";
  }
}

}  // namespace mivo::ole
