// The double-byte code pages, read from ICU's converter data for the Windows tables.

#include <unicode/ucnv.h>

#include <memory>

#include "platform/win32/codepages_build.h"

namespace mivo::nls {
namespace {

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

struct DoubleBytePage {
  UINT number;
  const char* converters[2];  // ICU names of the Windows table, first choice first
  char16_t unicode_default;
};

constexpr DoubleBytePage kPages[] = {
    {932, {"windows-932", "ibm-943_P15A-2003"}, u'\u30FB'},
    {936, {"windows-936-2000", "windows-936"}, u'?'},
    {949, {"windows-949-2000", "windows-949"}, u'?'},
    {950, {"windows-950-2000", "windows-950"}, u'?'},
};

// Single bytes that Windows decodes but ICU's table for the page leaves out (or, for the controls ICU's
// table of 932 swaps, decodes differently): all four pages have ASCII in 0x00-0x7F.
struct SingleByteFix {
  UINT number;
  BYTE byte;
  char16_t unit;
};
constexpr SingleByteFix kFixes[] = {
    {932, 0x80, u'\u0080'}, {932, 0xA0, u'\uF8F0'}, {932, 0xFD, u'\uF8F1'},
    {932, 0xFE, u'\uF8F2'}, {932, 0xFF, u'\uF8F3'},
};

Converter Open(const DoubleBytePage& page) {
  for (const char* name : page.converters) {
    UErrorCode error = U_ZERO_ERROR;
    Converter converter(ucnv_open(name, &error));
    if (U_SUCCESS(error) && converter && ucnv_getType(converter.get()) == UCNV_MBCS &&
        ucnv_getMaxCharSize(converter.get()) == 2) {
      return converter;
    }
  }
  return nullptr;
}

// The one UTF-16 unit that ICU decodes `length` bytes to, or 0xFFFF when they are no character (or decode to
// anything but a single unit).
char16_t DecodeWithIcu(UConverter* converter, const char* bytes, int length) {
  ucnv_resetToUnicode(converter);
  UErrorCode error = U_ZERO_ERROR;
  UChar out[4];
  UChar* target = out;
  const char* source = bytes;
  ucnv_toUnicode(converter, &target, out + 4, &source, bytes + length, nullptr, true, &error);
  if (U_FAILURE(error) || source != bytes + length || target != out + 1) return u'\uFFFF';
  return out[0];
}

// The code ICU writes for `unit` without fallbacks, or CodePage::kNoCode.
std::uint16_t EncodeWithIcu(UConverter* converter, char16_t unit) {
  ucnv_resetFromUnicode(converter);
  UErrorCode error = U_ZERO_ERROR;
  const UChar in[1] = {unit};
  const UChar* source = in;
  char out[8];
  char* target = out;
  ucnv_fromUnicode(converter, &target, out + sizeof out, &source, in + 1, nullptr, true, &error);
  if (U_FAILURE(error)) return CodePage::kNoCode;
  const auto byte = [&out](int i) { return static_cast<std::uint16_t>(static_cast<unsigned char>(out[i])); };
  if (target == out + 1) return byte(0);
  if (target == out + 2) return static_cast<std::uint16_t>((byte(0) << 8) | byte(1));
  return CodePage::kNoCode;
}

}  // namespace

std::unique_ptr<CodePage> BuildDoubleBytePage(UINT number) {
  const DoubleBytePage* page = nullptr;
  for (const DoubleBytePage& candidate : kPages) {
    if (candidate.number == number) page = &candidate;
  }
  if (page == nullptr) return nullptr;
  Converter converter = Open(*page);
  if (!converter) return nullptr;

  UErrorCode error = U_ZERO_ERROR;
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &error);
  ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &error);
  ucnv_setFallback(converter.get(), false);
  UBool starters[256] = {};
  ucnv_getStarters(converter.get(), starters, &error);
  if (U_FAILURE(error)) return nullptr;

  CodePageBuilder builder(number, true, page->unicode_default);
  for (int b = 0; b < 256; ++b) {
    const BYTE lead = static_cast<BYTE>(b);
    if (b < 0x80) {
      builder.SetSingle(lead, static_cast<char16_t>(b));
    } else if (starters[b]) {
      builder.SetLead(lead);
      for (int t = 0; t < 256; ++t) {
        const char pair[2] = {static_cast<char>(b), static_cast<char>(t)};
        builder.SetPair(lead, static_cast<BYTE>(t), DecodeWithIcu(converter.get(), pair, 2));
      }
    } else {
      const char single[1] = {static_cast<char>(b)};
      builder.SetSingle(lead, DecodeWithIcu(converter.get(), single, 1));
    }
  }
  for (const SingleByteFix& fix : kFixes) {
    if (fix.number == number) builder.SetSingle(fix.byte, fix.unit);
  }
  UConverter* raw = converter.get();
  return builder.Finish([raw](char16_t unit) { return EncodeWithIcu(raw, unit); });
}

}  // namespace mivo::nls
