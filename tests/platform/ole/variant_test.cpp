// VariantChangeType: the conversions to the declared types of the dispatch layer, from every wire type.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "platform/ole/afxdisp.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

VARIANT Error() {
  VARIANT v;
  v.vt = VT_ERROR;
  return v;
}

std::string Show(const VARIANT& v) {
  switch (v.vt) {
    case VT_BSTR:
      return v.bstrVal ? "BSTR \"" + AfxToUtf8(*v.bstrVal) + "\"" : "null BSTR";
    case VT_R8:
    case VT_DATE:
      return "vt " + std::to_string(v.vt) + " " + std::to_string(v.dblVal);
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
      return "vt " + std::to_string(v.vt) + " " + std::to_string(v.ullVal);
    default:
      return "vt " + std::to_string(v.vt) + " " + std::to_string(v.llVal);
  }
}

struct IntCase {
  VARIANT src;
  HRESULT hr;
  std::int64_t value;
};

void CheckIntegers(VARTYPE target, const std::vector<IntCase>& cases) {
  for (const IntCase& c : cases) {
    VARIANT out;
    const HRESULT hr = VariantChangeType(&out, &c.src, 0, target);
    EXPECT_EQ(hr, c.hr) << "from " << Show(c.src);
    if (SUCCEEDED(c.hr) && SUCCEEDED(hr)) {
      EXPECT_EQ(out.vt, target) << "from " << Show(c.src);
      EXPECT_EQ(out.llVal, c.value) << "from " << Show(c.src);
    }
  }
}

TEST(VariantToI2, ConvertsEveryWireTypeWithRangeChecks) {
  CheckIntegers(VT_I2, {
                           {VARIANT::UI1(200), S_OK, 200},
                           {VARIANT::I2(-5), S_OK, -5},
                           {VARIANT::UI2(32767), S_OK, 32767},
                           {VARIANT::UI2(40000), DISP_E_OVERFLOW, 0},
                           {VARIANT::I4(-32768), S_OK, -32768},
                           {VARIANT::I4(-32769), DISP_E_OVERFLOW, 0},
                           {VARIANT::I4(70000), DISP_E_OVERFLOW, 0},
                           {VARIANT::UI4(5), S_OK, 5},
                           {VARIANT::UI4(4000000000U), DISP_E_OVERFLOW, 0},
                           {VARIANT::I8(-7), S_OK, -7},
                           {VARIANT::I8(std::int64_t{1} << 40), DISP_E_OVERFLOW, 0},
                           {VARIANT::UI8(12), S_OK, 12},
                           {VARIANT::UI8(32768), DISP_E_OVERFLOW, 0},
                           {VARIANT::UI8(std::numeric_limits<std::uint64_t>::max()), DISP_E_OVERFLOW, 0},
                           {VARIANT::Bool(true), S_OK, -1},
                           {VARIANT::Bool(false), S_OK, 0},
                           {VARIANT::Empty(), S_OK, 0},
                           {VARIANT::Null(), DISP_E_TYPEMISMATCH, 0},
                           {VARIANT::NullBstr(), DISP_E_TYPEMISMATCH, 0},
                           {Error(), DISP_E_TYPEMISMATCH, 0},
                       });
}

TEST(VariantToI2, RoundsFractionsHalfToEven) {
  CheckIntegers(VT_I2, {
                           {VARIANT::R8(1.5), S_OK, 2},
                           {VARIANT::R8(2.5), S_OK, 2},
                           {VARIANT::R8(3.5), S_OK, 4},
                           {VARIANT::R8(-1.5), S_OK, -2},
                           {VARIANT::R8(-2.5), S_OK, -2},
                           {VARIANT::R8(2.4999), S_OK, 2},
                           {VARIANT::R8(2.5001), S_OK, 3},
                           {VARIANT::R8(32767.4), S_OK, 32767},
                           {VARIANT::R8(32767.5), DISP_E_OVERFLOW, 0},
                           {VARIANT::R8(-32768.5), S_OK, -32768},
                           {VARIANT::R8(-32768.6), DISP_E_OVERFLOW, 0},
                           {VARIANT::R8(1e300), DISP_E_OVERFLOW, 0},
                           {VARIANT::R8(kNaN), DISP_E_OVERFLOW, 0},
                           {VARIANT::Date(1.5), S_OK, 2},
                       });
}

TEST(VariantToI2, ParsesTextAsAutomationNumbers) {
  CheckIntegers(VT_I2, {
                           {VARIANT::Bstr(u"5"), S_OK, 5},
                           {VARIANT::Bstr(u" 5 "), S_OK, 5},
                           {VARIANT::Bstr(u"\t-12\n"), S_OK, -12},
                           {VARIANT::Bstr(u"+7"), S_OK, 7},
                           {VARIANT::Bstr(u"1.5"), S_OK, 2},
                           {VARIANT::Bstr(u"2.5"), S_OK, 2},
                           {VARIANT::Bstr(u"3.5"), S_OK, 4},
                           {VARIANT::Bstr(u"-2.5"), S_OK, -2},
                           // Decimal rounding is exact: this is just above one half.
                           {VARIANT::Bstr(u"2.50000000000000000001"), S_OK, 3},
                           {VARIANT::Bstr(u".5"), S_OK, 0},
                           {VARIANT::Bstr(u"5."), S_OK, 5},
                           {VARIANT::Bstr(u"0.04"), S_OK, 0},
                           {VARIANT::Bstr(u"1e3"), S_OK, 1000},
                           {VARIANT::Bstr(u"15E-1"), S_OK, 2},
                           {VARIANT::Bstr(u"-32768"), S_OK, -32768},
                           {VARIANT::Bstr(u"00032767"), S_OK, 32767},
                           {VARIANT::Bstr(u"70000"), DISP_E_OVERFLOW, 0},
                           {VARIANT::Bstr(u"32767.5"), DISP_E_OVERFLOW, 0},
                           {VARIANT::Bstr(u"1e400"), DISP_E_OVERFLOW, 0},
                           {VARIANT::Bstr(u"1e-400"), S_OK, 0},
                           {VARIANT::Bstr(u"abc"), DISP_E_TYPEMISMATCH, 0},
                           {VARIANT::Bstr(u""), DISP_E_TYPEMISMATCH, 0},
                           {VARIANT::Bstr(u"   "), DISP_E_TYPEMISMATCH, 0},
                           {VARIANT::Bstr(u"5 5"), DISP_E_TYPEMISMATCH, 0},
                           {VARIANT::Bstr(u"1,000"), DISP_E_TYPEMISMATCH, 0},
                           {VARIANT::Bstr(u"0x10"), DISP_E_TYPEMISMATCH, 0},
                           {VARIANT::Bstr(u"1e"), DISP_E_TYPEMISMATCH, 0},
                           {VARIANT::Bstr(u"."), DISP_E_TYPEMISMATCH, 0},
                           {VARIANT::Bstr(u"--1"), DISP_E_TYPEMISMATCH, 0},
                       });
}

TEST(VariantToI4, UsesTheThirtyTwoBitRange) {
  CheckIntegers(VT_I4, {
                           {VARIANT::Bstr(u"70000"), S_OK, 70000},
                           {VARIANT::UI4(2147483647U), S_OK, 2147483647},
                           {VARIANT::UI4(2147483648U), DISP_E_OVERFLOW, 0},
                           {VARIANT::R8(-2147483648.5), S_OK, -2147483648LL},
                           {VARIANT::Bstr(u"99999999999999999999"), DISP_E_OVERFLOW, 0},
                       });
}

struct BoolCase {
  VARIANT src;
  HRESULT hr;
  bool value;
};

TEST(VariantToBool, NonZeroNumbersAndTrueTextAreTrue) {
  const std::vector<BoolCase> cases = {
      {VARIANT::UI1(0), S_OK, false},
      {VARIANT::UI1(3), S_OK, true},
      {VARIANT::I2(-1), S_OK, true},
      {VARIANT::UI2(0), S_OK, false},
      {VARIANT::I4(2), S_OK, true},
      {VARIANT::UI4(0), S_OK, false},
      {VARIANT::I8(-9), S_OK, true},
      {VARIANT::UI8(1), S_OK, true},
      {VARIANT::R8(0.0), S_OK, false},
      {VARIANT::R8(0.25), S_OK, true},
      {VARIANT::R8(kNaN), S_OK, true},
      {VARIANT::Bool(true), S_OK, true},
      {VARIANT::Bool(false), S_OK, false},
      {VARIANT::Bstr(u"True"), S_OK, true},
      {VARIANT::Bstr(u"false"), S_OK, false},
      {VARIANT::Bstr(u" TRUE "), S_OK, true},
      {VARIANT::Bstr(u"-1"), S_OK, true},
      {VARIANT::Bstr(u"0"), S_OK, false},
      {VARIANT::Bstr(u"0.000"), S_OK, false},
      {VARIANT::Bstr(u"0.4"), S_OK, true},
      {VARIANT::Bstr(u"yes"), DISP_E_TYPEMISMATCH, false},
      {VARIANT::Bstr(u"truex"), DISP_E_TYPEMISMATCH, false},
      {VARIANT::Bstr(u""), DISP_E_TYPEMISMATCH, false},
      {VARIANT::Empty(), S_OK, false},
      {VARIANT::Null(), DISP_E_TYPEMISMATCH, false},
      {VARIANT::NullBstr(), DISP_E_TYPEMISMATCH, false},
  };
  for (const BoolCase& c : cases) {
    VARIANT out;
    const HRESULT hr = VariantChangeType(&out, &c.src, 0, VT_BOOL);
    EXPECT_EQ(hr, c.hr) << "from " << Show(c.src);
    if (SUCCEEDED(c.hr) && SUCCEEDED(hr)) {
      EXPECT_EQ(out.vt, VT_BOOL);
      // VARIANT_TRUE is -1, never 1.
      EXPECT_EQ(out.llVal, c.value ? VARIANT_TRUE : VARIANT_FALSE) << "from " << Show(c.src);
    }
  }
}

struct TextCase {
  VARIANT src;
  HRESULT hr;
  std::optional<CString> value;
};

TEST(VariantToBstr, WritesNumbersBooleansAndDates) {
  const std::vector<TextCase> cases = {
      {VARIANT::UI1(7), S_OK, u"7"},
      {VARIANT::I2(-5), S_OK, u"-5"},
      {VARIANT::UI2(65535), S_OK, u"65535"},
      {VARIANT::I4(-70000), S_OK, u"-70000"},
      {VARIANT::UI4(4294967295U), S_OK, u"4294967295"},
      {VARIANT::I8(std::numeric_limits<std::int64_t>::min()), S_OK, u"-9223372036854775808"},
      {VARIANT::UI8(std::numeric_limits<std::uint64_t>::max()), S_OK, u"18446744073709551615"},
      {VARIANT::R8(0.1), S_OK, u"0.1"},
      {VARIANT::R8(-2.5), S_OK, u"-2.5"},
      {VARIANT::R8(100.0), S_OK, u"100"},
      {VARIANT::R8(1e20), S_OK, u"1E+20"},
      {VARIANT::R8(1.0 / 3.0), S_OK, u"0.3333333333333333"},
      {VARIANT::Bool(true), S_OK, u"-1"},
      {VARIANT::Bool(false), S_OK, u"0"},
      {VARIANT::Bstr(u"x y"), S_OK, u"x y"},
      {VARIANT::Bstr(u""), S_OK, u""},
      {VARIANT::NullBstr(), S_OK, std::nullopt},
      {VARIANT::Empty(), S_OK, u""},
      {VARIANT::Null(), DISP_E_TYPEMISMATCH, std::nullopt},
      {VARIANT::Date(0), S_OK, u"1899-12-30"},
      {VARIANT::Date(45356), S_OK, u"2024-03-05"},
      {VARIANT::Date(45356 + (7 * 3600 + 8 * 60 + 9) / 86400.0), S_OK, u"2024-03-05 07:08:09"},
      {VARIANT::Date(-1.25), S_OK, u"1899-12-29 06:00:00"},
      {VARIANT::Date(1e9), DISP_E_OVERFLOW, std::nullopt},
  };
  for (const TextCase& c : cases) {
    VARIANT out;
    const HRESULT hr = VariantChangeType(&out, &c.src, 0, VT_BSTR);
    EXPECT_EQ(hr, c.hr) << "from " << Show(c.src);
    if (SUCCEEDED(c.hr) && SUCCEEDED(hr)) {
      EXPECT_EQ(out.vt, VT_BSTR);
      EXPECT_EQ(out.bstrVal, c.value) << "from " << Show(c.src) << " got " << Show(out);
    }
  }
}

TEST(VariantToBstr, ShortestTextReadsBackAsTheSameDouble) {
  for (double v : {0.1 + 0.2, 1e-300, 123456789.123456789, -0.000001234, 5e-324}) {
    VARIANT text;
    const VARIANT src = VARIANT::R8(v);
    ASSERT_EQ(VariantChangeType(&text, &src, 0, VT_BSTR), S_OK);
    VARIANT back;
    ASSERT_EQ(VariantChangeType(&back, &text, 0, VT_R8), S_OK) << AfxToUtf8(*text.bstrVal);
    EXPECT_EQ(back.dblVal, v) << AfxToUtf8(*text.bstrVal);
  }
}

struct DateCase {
  VARIANT src;
  HRESULT hr;
  double value;
};

constexpr double kTime070809 = (7 * 3600 + 8 * 60 + 9) / 86400.0;

TEST(VariantToDate, TakesDaySerialsAndIsoText) {
  const std::vector<DateCase> cases = {
      {VARIANT::UI1(1), S_OK, 1.0},
      {VARIANT::I2(-5), S_OK, -5.0},
      {VARIANT::UI2(40000), S_OK, 40000.0},
      {VARIANT::I4(2958465), S_OK, 2958465.0},
      {VARIANT::I4(3000000), DISP_E_OVERFLOW, 0},
      {VARIANT::UI4(45356), S_OK, 45356.0},
      {VARIANT::I8(-657434), S_OK, -657434.0},
      {VARIANT::I8(-700000), DISP_E_OVERFLOW, 0},
      {VARIANT::UI8(10), S_OK, 10.0},
      {VARIANT::R8(45356.25), S_OK, 45356.25},
      {VARIANT::R8(1e10), DISP_E_OVERFLOW, 0},
      {VARIANT::R8(kNaN), DISP_E_OVERFLOW, 0},
      {VARIANT::Bool(true), S_OK, -1.0},
      {VARIANT::Bool(false), S_OK, 0.0},
      {VARIANT::Date(12.5), S_OK, 12.5},
      {VARIANT::Bstr(u"2024-03-05"), S_OK, 45356.0},
      {VARIANT::Bstr(u" 2024-03-05 07:08:09 "), S_OK, 45356.0 + kTime070809},
      {VARIANT::Bstr(u"2024-03-05T07:08:09"), S_OK, 45356.0 + kTime070809},
      {VARIANT::Bstr(u"2024-3-5 7:08"), S_OK, 45356.0 + (7 * 3600 + 8 * 60) / 86400.0},
      {VARIANT::Bstr(u"07:08:09"), S_OK, kTime070809},
      {VARIANT::Bstr(u"1899-12-29 06:00:00"), S_OK, -1.25},
      {VARIANT::Bstr(u"2024-02-29"), S_OK, 45351.0},
      {VARIANT::Bstr(u"45356.5"), S_OK, 45356.5},
      {VARIANT::Bstr(u"2023-02-29"), DISP_E_TYPEMISMATCH, 0},
      {VARIANT::Bstr(u"2024-13-01"), DISP_E_TYPEMISMATCH, 0},
      {VARIANT::Bstr(u"2024-03-05 24:00"), DISP_E_TYPEMISMATCH, 0},
      {VARIANT::Bstr(u"2024-03-05 07:60"), DISP_E_TYPEMISMATCH, 0},
      {VARIANT::Bstr(u"0099-12-31"), DISP_E_TYPEMISMATCH, 0},
      {VARIANT::Bstr(u"2024-03-05x"), DISP_E_TYPEMISMATCH, 0},
      {VARIANT::Bstr(u"5e9"), DISP_E_OVERFLOW, 0},
      {VARIANT::Bstr(u"abc"), DISP_E_TYPEMISMATCH, 0},
      {VARIANT::Empty(), S_OK, 0.0},
      {VARIANT::Null(), DISP_E_TYPEMISMATCH, 0},
      {VARIANT::NullBstr(), DISP_E_TYPEMISMATCH, 0},
  };
  for (const DateCase& c : cases) {
    VARIANT out;
    const HRESULT hr = VariantChangeType(&out, &c.src, 0, VT_DATE);
    EXPECT_EQ(hr, c.hr) << "from " << Show(c.src);
    if (SUCCEEDED(c.hr) && SUCCEEDED(hr)) {
      EXPECT_EQ(out.vt, VT_DATE);
      EXPECT_DOUBLE_EQ(out.dblVal, c.value) << "from " << Show(c.src);
    }
  }
}

TEST(VariantToDate, TextWrittenFromADateReadsBack) {
  for (double date : {45356.0, 45356.0 + kTime070809, -1.25, -657434.0, 2958465.5}) {
    VARIANT text, back;
    const VARIANT src = VARIANT::Date(date);
    ASSERT_EQ(VariantChangeType(&text, &src, 0, VT_BSTR), S_OK);
    ASSERT_EQ(VariantChangeType(&back, &text, 0, VT_DATE), S_OK) << AfxToUtf8(*text.bstrVal);
    EXPECT_NEAR(back.dblVal, date, 0.5 / 86400) << AfxToUtf8(*text.bstrVal);
  }
}

TEST(VariantChangeType, ConvertsTheValueOfAByReferenceString) {
  BSTR storage = CString(u" 12 ");
  const VARIANT ref = VARIANT::ByRefBstr(&storage);
  VARIANT out;
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_I2), S_OK);
  EXPECT_EQ(out.llVal, 12);
  EXPECT_EQ(storage, CString(u" 12 "));  // the source is not touched
  const VARIANT dangling = VARIANT::ByRefBstr(nullptr);
  EXPECT_EQ(VariantChangeType(&out, &dangling, 0, VT_I2), DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeType, LeavesTheDestinationAloneOnFailure) {
  VARIANT out = VARIANT::I2(99);
  const VARIANT src = VARIANT::Bstr(u"abc");
  ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_I2), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(out.vt, VT_I2);
  EXPECT_EQ(out.llVal, 99);
}

TEST(VariantChangeType, ConvertsInPlace) {
  VARIANT v = VARIANT::Bstr(u"41");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.llVal, 41);
}

TEST(VariantChangeType, RejectsTargetsAndSourcesItDoesNotKnow) {
  VARIANT out;
  const VARIANT five = VARIANT::I2(5);
  EXPECT_EQ(VariantChangeType(&out, &five, 0, VT_UI1), DISP_E_BADVARTYPE);
  VARIANT odd;
  odd.vt = 99;
  EXPECT_EQ(VariantChangeType(&out, &odd, 0, VT_I2), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(nullptr, &five, 0, VT_I2), E_INVALIDARG);
}

}  // namespace
