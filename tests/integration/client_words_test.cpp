// The argument words of mivoctl call and the text form of results (no bus needed).
#include <gtest/gtest.h>

#include "platform/ole/client.h"

namespace mivo::ole {
namespace {

struct Parsed {
  VARIANT value;
  std::vector<std::unique_ptr<BSTR>> storage;
};

Parsed Parse(const std::string& word) {
  Parsed p;
  p.value = ParseArgumentWord(word, p.storage);
  return p;
}

TEST(ArgumentWords, PlainWordsAndUnknownPrefixesAreStrings) {
  for (const std::string word : {"hello", "", "a:b", "http://host/x", "I2x:5", "  spaced  "}) {
    const Parsed p = Parse(word);
    ASSERT_EQ(p.value.vt, VT_BSTR) << word;
    EXPECT_EQ(p.value.bstrVal, AfxFromUtf8(word));
  }
  const Parsed escaped = Parse("str:i2:5");
  EXPECT_EQ(escaped.value.vt, VT_BSTR);
  EXPECT_EQ(escaped.value.bstrVal, CString(u"i2:5"));
  EXPECT_EQ(Parse("Grüße").value.bstrVal, CString(u"Grüße"));
}

TEST(ArgumentWords, IntegersAreCheckedAgainstTheirSize) {
  EXPECT_EQ(Parse("i2:-32768").value.vt, VT_I2);
  EXPECT_EQ(Parse("i2:-32768").value.llVal, -32768);
  EXPECT_EQ(Parse("I2:+5").value.llVal, 5) << "type names in any letter case";
  EXPECT_EQ(Parse("i4:70000").value.vt, VT_I4);
  EXPECT_EQ(Parse("i4:70000").value.llVal, 70000);
  EXPECT_EQ(Parse("ui1:255").value.ullVal, 255u);
  EXPECT_EQ(Parse("ui8:18446744073709551615").value.ullVal, 18446744073709551615u);
  EXPECT_EQ(Parse("i8:-9223372036854775808").value.vt, VT_I8);
  for (const std::string bad :
       {"i2:32768", "i2:", "i2:5x", "i2:0x10", "ui1:256", "ui4:-1", "i4:1.5", "i2: 5"}) {
    EXPECT_THROW(Parse(bad), std::invalid_argument) << bad;
  }
}

TEST(ArgumentWords, DoublesBooleansAndDates) {
  EXPECT_EQ(Parse("r8:1.5").value.vt, VT_R8);
  EXPECT_DOUBLE_EQ(Parse("r8:-2E+3").value.dblVal, -2000.0);
  EXPECT_THROW(Parse("r8:abc"), std::invalid_argument);

  EXPECT_EQ(Parse("bool:TRUE").value.vt, VT_BOOL);
  EXPECT_EQ(Parse("bool:TRUE").value.llVal, VARIANT_TRUE);
  EXPECT_EQ(Parse("bool:0").value.llVal, VARIANT_FALSE);
  EXPECT_THROW(Parse("bool:yes"), std::invalid_argument);

  const Parsed date = Parse("date:2024-03-05 07:08:09");
  EXPECT_EQ(date.value.vt, VT_DATE);
  EXPECT_NEAR(date.value.dblVal, 45356.0 + (7 * 3600 + 8 * 60 + 9) / 86400.0, 1e-9);
  EXPECT_DOUBLE_EQ(Parse("date:1899-12-30").value.dblVal, 0.0);
  EXPECT_THROW(Parse("date:2024-02-30"), std::invalid_argument);
}

TEST(ArgumentWords, ValuelessFormsTakeNoValue) {
  EXPECT_EQ(Parse("null:").value.vt, VT_NULL);
  EXPECT_EQ(Parse("empty:").value.vt, VT_EMPTY);
  const Parsed null_string = Parse("nullstr:");
  EXPECT_EQ(null_string.value.vt, VT_BSTR);
  EXPECT_FALSE(null_string.value.bstrVal.has_value());
  EXPECT_THROW(Parse("null:x"), std::invalid_argument);
  EXPECT_THROW(Parse("nullstr:x"), std::invalid_argument);
}

TEST(ArgumentWords, ARefArgumentPointsAtStorageTheCallerKeeps) {
  std::vector<std::unique_ptr<BSTR>> storage;
  const VARIANT first = ParseArgumentWord("ref:one", storage);
  const VARIANT second = ParseArgumentWord("ref:", storage);
  ASSERT_EQ(storage.size(), 2u);
  EXPECT_EQ(first.vt, VT_BSTR | VT_BYREF);
  EXPECT_EQ(first.pbstrVal, storage[0].get());
  EXPECT_EQ(*storage[0], CString(u"one"));
  EXPECT_EQ(second.pbstrVal, storage[1].get());
  EXPECT_EQ(*storage[1], CString(u""));
}

TEST(ResultText, EachTypeHasOneLineOfText) {
  EXPECT_EQ(FormatVariant(VARIANT::Bool(true)), "true");
  EXPECT_EQ(FormatVariant(VARIANT::Bool(false)), "false");
  EXPECT_EQ(FormatVariant(VARIANT::I2(-204)), "-204");
  EXPECT_EQ(FormatVariant(VARIANT::UI4(4000000000u)), "4000000000");
  EXPECT_EQ(FormatVariant(VARIANT::R8(0.1)), "0.1");
  EXPECT_EQ(FormatVariant(VARIANT::Bstr(u"Привет")), "Привет");
  EXPECT_EQ(FormatVariant(VARIANT::NullBstr()), "(null)");
  EXPECT_EQ(FormatVariant(VARIANT::Null()), "(null)");
  EXPECT_EQ(FormatVariant(VARIANT::Empty()), "(empty)");
  EXPECT_EQ(FormatVariant(VARIANT::Date(45356.5)), "2024-03-05 12:00:00");
}

TEST(BusErrors, TheHresultIsReadFromTheStartOfTheMessage) {
  EXPECT_EQ(static_cast<std::uint32_t>(
                BusError("Mivo.DataBase.Error.TypeMismatch", "0x80020005 Type mismatch").hresult()),
            0x80020005u);
  EXPECT_EQ(BusError("Mivo.DataBase.Error.Overflow", "0x8002000A").ShortName(), "Overflow");
  EXPECT_EQ(BusError("x", "no code here").hresult(), 0);
  EXPECT_EQ(BusError("x", "0x8002000Z bad digit").hresult(), 0);
  EXPECT_EQ(BusError("x", "0x800200051 too long").hresult(), 0);
  EXPECT_EQ(BusError("org.freedesktop.DBus.Error.ServiceUnknown", "").ShortName(),
            "org.freedesktop.DBus.Error.ServiceUnknown");
}

}  // namespace
}  // namespace mivo::ole
