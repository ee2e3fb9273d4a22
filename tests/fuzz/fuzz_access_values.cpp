// The raw-byte decoders of `mivoctl db convert` (tools/mivoctl/access_values.h) and its query rebuild on
// any bytes. The first byte chooses the decoder (and a scale or code page), the rest is its input.
//
// Checked: nothing reads outside its input (the sanitizers); text decoding yields at most one unit per
// input byte (half for plain UTF-16); a decoded Decimal has exactly its scale's fraction digits and
// re-encodes to the magnitude it came from; a decoded date reads back to the same text; a Date/Time
// Extended value and a GUID have their fixed forms; a calculated value lies within its input; a rebuilt
// query is a SELECT.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "platform/dao/afxdao.h"
#include "tests/fuzz/support.h"
#include "tools/mivoctl/access_query.h"
#include "tools/mivoctl/access_values.h"

namespace {

using mivo::test::Check;
namespace av = mivoctl::access;

void Numeric(std::string_view in, int scale) {
  const auto text = av::DecodeNumeric(in, scale);
  Check(text.has_value() == (in.size() == 17), "a Decimal is 17 bytes");
  if (!text) return;
  const auto dot = text->find('.');
  Check(scale == 0 ? dot == std::string::npos : text->size() - dot - 1 == static_cast<std::size_t>(scale),
        "a Decimal has its scale's fraction digits", *text);
  unsigned __int128 magnitude = 0;
  for (char c : *text) {
    if (c >= '0' && c <= '9') magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
  }
  for (int word = 3; word >= 0; --word, magnitude >>= 32) {
    std::uint32_t v = 0;
    for (int b = 0; b < 4; ++b)
      v |= std::uint32_t{static_cast<unsigned char>(in[1 + 4 * word + b])} << (8 * b);
    Check(v == static_cast<std::uint32_t>(magnitude), "a Decimal re-encodes to its bytes", *text);
  }
}

void Date(std::string_view in) {
  const auto text = av::DecodeDateTime(in);
  if (!text) return;
  const auto back = mivo::dao::OleDateFromText(*text);
  Check(back.has_value(), "a decoded date parses", *text);
  Check(mivo::dao::OleDateText(*back) == *text, "a decoded date reads back to its text", *text);
}

void Query(std::string_view in) {
  // The input as an expression of each clause of a select query over one table.
  av::SavedQuery q{"Q", {}};
  auto row = [&](int attribute, const char* name1, std::optional<std::string> expression) {
    av::QueryRow r;
    r.attribute = attribute;
    r.flag = attribute == 1 ? std::optional<int>(1) : std::nullopt;
    if (name1) r.name1 = name1;
    r.expression = std::move(expression);
    q.rows.push_back(r);
  };
  const std::string e(in);
  row(1, nullptr, std::nullopt);
  row(5, "T", std::nullopt);
  row(6, nullptr, e);
  row(8, nullptr, e);
  row(11, "D", e);
  const auto r =
      av::RebuildSelect(q, {"A", "B"}, [](const std::string& name) { return name.size() < 8 ? "P" : ""; });
  Check(r.ok != r.sql.empty(), "a rebuilt query has SQL, a refused one a reason", r.why);
  if (r.ok) Check(r.sql.rfind("SELECT ", 0) == 0, "a rebuilt query is a SELECT", r.sql);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 64 * 1024) return -1;
  const unsigned choice = data[0];
  const std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (choice % 10) {
    case 0: {
      const CString t = av::DecodeText(in, false, 0);
      const bool compressed = in.size() >= 2 && static_cast<unsigned char>(in[0]) == 0xff &&
                              static_cast<unsigned char>(in[1]) == 0xfe;
      Check(compressed ? t.size() <= in.size() : t.size() == in.size() / 2, "Jet 4 text size");
      break;
    }
    case 1: {
      static const unsigned kPages[] = {1252, 1251, 1250, 932, 936, 949, 950, 1253, 0, 65001};
      const CString t = av::DecodeText(in, true, kPages[(choice / 10) % 10]);
      Check(t.size() <= in.size(), "Jet 3 text has at most one unit per byte");
      break;
    }
    case 2:
      Numeric(in, static_cast<int>(choice / 10) % 29);
      break;
    case 3:
      Date(in);
      break;
    case 4:
      if (const auto t = av::DecodeDateTimeExtended(in)) {
        Check(t->size() == 27 && (*t)[4] == '-' && (*t)[19] == '.', "Date/Time Extended form", *t);
      }
      break;
    case 5:
      if (const auto g = av::DecodeGuid(in)) Check(g->size() == 38 && (*g)[0] == '{', "GUID form", *g);
      break;
    case 6:
      if (const auto c = av::UnwrapCalculated(in)) {
        Check(c->data() >= in.data() && c->data() + c->size() <= in.data() + in.size(),
              "calculated within input");
      }
      break;
    case 7:
      if (const auto a = av::DecodeAttachmentData(in))
        Check(a->size() <= (std::size_t{256} << 20), "attachment size");
      break;
    case 8:
      for (std::size_t n : {1, 2, 4, 8}) {
        const auto v = av::DecodeInteger(in, n);
        Check(v.has_value() == (in.size() == n), "integer size");
      }
      av::DecodeCurrency(in);
      av::DecodeDouble(in);
      av::DecodeSingle(in);
      break;
    default:
      Query(in);
      break;
  }
  return 0;
}
